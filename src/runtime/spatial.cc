// Convolutions over the height and width of NHWC activations (as matrix
// products, kernels.h) and transposed convolutions.
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "runtime/kernels.h"
#include "runtime/semantics.h"
#include "runtime/windows.h"
#include "sarnic/value.h"

namespace sarnic::runtime {

namespace {

using RowMatrix =
    Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Strided = Eigen::OuterStride<>;

}  // namespace

namespace {

void CheckBias(const ShapeContext& c, int64_t channels) {
  if (c.inputs.size() < 3) return;
  const int64_t n = Count(c.inputs[2]);
  if (n != channels) {
    c.layer.Fail("its bias holds " + std::to_string(n) + " values for " +
                 std::to_string(channels) + " output channels");
  }
}

Shape ConvShape(const ShapeContext& c) {
  const LayerView& v = c.layer;
  const Shape &x = c.inputs[0], &f = c.inputs[1];
  Require4D(v, x, "input");
  Require4D(v, f, "filter");
  const ConvGeometry g = ConvSettings(v);
  if (f[2] * g.groups != x[3] || f[3] % g.groups != 0) {
    v.Fail("its filter " + ShapeText(f) + " in " + std::to_string(g.groups) +
           " groups does not fit an input of " + std::to_string(x[3]) +
           " channels");
  }
  CheckBias(c, f[3]);
  const int64_t kh = g.dilation.h * (f[0] - 1) + 1;
  const int64_t kw = g.dilation.w * (f[1] - 1) + 1;
  return {
      x[0], OutputSize(v, x[1], g.pads.head.h, g.pads.tail.h, kh, g.stride.h),
      OutputSize(v, x[2], g.pads.head.w, g.pads.tail.w, kw, g.stride.w), f[3]};
}

void AddBias(const KernelContext& c, std::size_t bias_input) {
  if (c.inputs.size() <= bias_input) return;
  const float* bias = c.in(bias_input);
  const int64_t channels = c.output.shape.back();
  if (channels <= 0) return;
  float* y = c.out();
  for (int64_t i = 0, n = c.output.count(); i < n; i += channels) {
    for (int64_t ch = 0; ch < channels; ++ch) y[i + ch] += bias[ch];
  }
}

// A depthwise convolution with one filter per channel: each output channel
// reads its own input channel (kernels.h).
void Depthwise(const KernelContext& c, const ConvGeometry& g, int64_t n,
               int64_t oy, const Epilogue& e) {
  const Tensor &x = c.inputs[0], &f = c.inputs[1];
  const int64_t H = x.shape[1], W = x.shape[2], C = x.shape[3];
  const int64_t OW = c.output.shape[2];
  DepthwiseRow({c.in(0) + n * H * W * C, c.in(1),
                c.out() + (n * c.output.shape[1] + oy) * OW * C, H, W, C,
                f.shape[0], f.shape[1], OW, oy, g.stride.h, g.stride.w,
                g.pads.head.h, g.pads.head.w, g.dilation.h, g.dilation.w,
                e.bias, static_cast<int>(e.clamp)});
}

// Output rows [oy0, oy0 + rows) of a grouped convolution: their patches
// (one row of KH × KW × C_in/groups values per output position) times each
// group's packed filter columns, the bias and the clamp applied as they are
// written.
void ConvRows(const KernelContext& c, const ConvGeometry& g, int64_t n,
              int64_t oy0, int64_t rows, std::vector<float>& patches,
              const std::vector<PackedMatrix>& filters, const Epilogue& e) {
  const Tensor &x = c.inputs[0], &f = c.inputs[1];
  const int64_t H = x.shape[1], W = x.shape[2], C = x.shape[3];
  const int64_t KH = f.shape[0], KW = f.shape[1], CG = f.shape[2];
  const int64_t CO = f.shape[3], OG = CO / g.groups, OW = c.output.shape[2];
  const int64_t K = KH * KW * CG;
  patches.resize(static_cast<std::size_t>(rows * OW * K));
  for (int64_t grp = 0; grp < g.groups; ++grp) {
    for (int64_t r = 0; r < rows * OW; ++r) {
      const int64_t oy = oy0 + r / OW, ox = r % OW;
      float* p = patches.data() + r * K;
      const int64_t x0 = ox * g.stride.w - g.pads.head.w;
      // A window row inside the input, of one group, is one run of KW × C
      // values.
      const bool whole_rows =
          g.groups == 1 && g.dilation.w == 1 && x0 >= 0 && x0 + KW <= W;
      for (int64_t kh = 0; kh < KH; ++kh) {
        const int64_t iy = oy * g.stride.h - g.pads.head.h + kh * g.dilation.h;
        if (whole_rows && iy >= 0 && iy < H) {
          const float* in = c.in(0) + ((n * H + iy) * W + x0) * C;
          for (int64_t i = 0; i < KW * C; ++i) p[i] = in[i];
          p += KW * C;
          continue;
        }
        for (int64_t kw = 0; kw < KW; ++kw, p += CG) {
          const int64_t ix =
              ox * g.stride.w - g.pads.head.w + kw * g.dilation.w;
          if (iy < 0 || iy >= H || ix < 0 || ix >= W) {
            std::fill(p, p + CG, 0.0f);
          } else {
            const float* in = c.in(0) + ((n * H + iy) * W + ix) * C + grp * CG;
            std::copy(in, in + CG, p);
          }
        }
      }
    }
    const Epilogue group{e.bias == nullptr ? nullptr : e.bias + grp * OG,
                         e.clamp};
    filters[static_cast<std::size_t>(grp)].Multiply(
        rows * OW, patches.data(), K,
        c.out() + (n * c.output.shape[1] + oy0) * OW * CO + grp * OG, CO,
        group);
  }
}

bool IsDepthwise(const ConvGeometry& g, const Shape& f) {
  return f[2] == 1 && g.groups == f[3];
}

// Each group's filter columns, packed for the product.
struct PackedFilters : Prepared {
  std::vector<PackedMatrix> groups;
};

void PackFilters(const ConvGeometry& g, const Tensor& f,
                 std::vector<PackedMatrix>& groups) {
  const Shape& s = f.shape;
  const int64_t K = s[0] * s[1] * s[2], OG = s[3] / g.groups;
  for (int64_t grp = 0; grp < g.groups; ++grp) {
    groups.emplace_back(ActiveKernels(), K, OG, f.f() + grp * OG, s[3]);
  }
}

// A constant filter is packed once, at load.
Preparation PrepareConv(const PrepareContext& c) {
  const Tensor& f = c.inputs[1];
  const ConvGeometry g = ConvSettings(c.layer);
  if (f.data == nullptr || IsDepthwise(g, f.shape)) return {};
  const uint64_t bytes =
      static_cast<uint64_t>(g.groups) *
      PackedMatrix::Footprint(ActiveKernels(),
                              f.shape[0] * f.shape[1] * f.shape[2],
                              f.shape[3] / g.groups);
  if (bytes == 0 || bytes > c.budget) return {};
  auto made = std::make_unique<PackedFilters>();
  PackFilters(g, f, made->groups);
  return {std::move(made), bytes};
}

void Conv(const KernelContext& c) {
  const ConvGeometry g = ConvSettings(c.layer);
  const Shape& f = c.inputs[1].shape;
  const bool depthwise = IsDepthwise(g, f);
  // The bias and a relu or relu6 go where the products are written; the
  // other activations apply them after.
  const std::optional<Clamp> clamp = WrittenClamp(c.layer);
  const bool fused = clamp.has_value();
  const Epilogue e{fused && c.inputs.size() > 2 ? c.in(2) : nullptr,
                   fused ? *clamp : Clamp::kNone};
  // Patches for as many output rows as fit in 64 Ki values (256 KiB, within
  // the second-level cache) but at least 96 positions, so that each
  // product is large enough that the filter is read few times.
  const int64_t OH = c.output.shape[1], OW = c.output.shape[2];
  const int64_t patch = f[0] * f[1] * f[2] * std::max<int64_t>(OW, 1);
  const int64_t batch =
      std::clamp<int64_t>(std::max((int64_t{1} << 16) / patch,
                                   (96 + OW - 1) / std::max<int64_t>(OW, 1)),
                          1, std::max<int64_t>(OH, 1));
  std::vector<PackedMatrix> packed_here;
  const auto* prepared = static_cast<const PackedFilters*>(c.prepared);
  if (prepared == nullptr && !depthwise) {
    PackFilters(g, c.inputs[1], packed_here);
  }
  const std::vector<PackedMatrix>& filters =
      prepared != nullptr ? prepared->groups : packed_here;
  const Shape& x = c.inputs[0].shape;
  const bool pointwise = !depthwise && f[0] == 1 && f[1] == 1 &&
                         g.groups == 1 && g.stride.h == 1 && g.stride.w == 1 &&
                         !g.pads.head.h && !g.pads.head.w && !g.pads.tail.h &&
                         !g.pads.tail.w;
  if (pointwise) {
    // A 1 × 1 convolution: the input is its own patch matrix; its rows
    // split over the threads.
    ParallelFor(c.threads, x[0] * x[1] * x[2], 64,
                [&](int64_t begin, int64_t end) {
                  filters[0].Multiply(end - begin, c.in(0) + begin * x[3], x[3],
                                      c.out() + begin * f[3], f[3], e);
                });
  } else {
    // Output rows of every sample, in batches of `batch` rows (each
    // thread with patches of its own).
    const int64_t N = c.output.shape[0];
    const int64_t per_sample = depthwise ? OH : (OH + batch - 1) / batch;
    ParallelFor(c.threads, N * per_sample, 1, [&](int64_t begin, int64_t end) {
      std::vector<float> patches;
      for (int64_t t = begin; t < end; ++t) {
        const int64_t n = t / per_sample, k = t % per_sample;
        if (depthwise) {
          Depthwise(c, g, n, k, e);
          continue;
        }
        const int64_t oy = k * batch;
        ConvRows(c, g, n, oy, std::min(batch, OH - oy), patches, filters, e);
      }
    });
  }
  if (!fused) {
    AddBias(c, 2);
    ApplyActivation(c.layer, c.out(), c.output.count());
  }
}

// A transposed convolution's output height and width are the layer's
// stored ones: output row y gathers input row i through filter row k where
// y = i × stride + k − head.
Shape DeconvShape(const ShapeContext& c) {
  const LayerView& v = c.layer;
  const Shape &x = c.inputs[0], &f = c.inputs[1];
  Require4D(v, x, "input");
  Require4D(v, f, "filter");
  RequirePositive(v, Setting(v, "strides", true), "stride");
  ReadPads(v);
  if (f[3] != x[3]) {
    v.Fail("its filter " + ShapeText(f) + " does not read " +
           std::to_string(x[3]) + " input channels");
  }
  CheckBias(c, f[2]);
  const Shape stored = v.StoredShape();
  if (stored.size() != 4 || stored[1] <= 0 || stored[2] <= 0) {
    v.Fail("its stored shape " + ShapeText(stored) +
           " gives no output height and width");
  }
  return {x[0], stored[1], stored[2], f[2]};
}

// The input positions [first, end) that reach one of `out` output positions
// through filter position k: 0 <= i × stride + k − head < out.
std::pair<int64_t, int64_t> Reaching(int64_t in, int64_t k, int64_t stride,
                                     int64_t head, int64_t out) {
  const int64_t lo = head - k, hi = out - 1 + head - k;
  if (hi < 0) return {0, 0};
  const int64_t first = lo <= 0 ? 0 : (lo + stride - 1) / stride;
  return {first, std::max(first, std::min(in, hi / stride + 1))};
}

// Only what a stored output position reads is computed: for each filter
// position, the input columns that reach the output, multiplied by that
// position's [C_out, C_in] slice and added where they land. Every output
// sums its inputs in order of input row, then column.
void Deconv(const KernelContext& c) {
  const Pair s = Setting(c.layer, "strides", true);
  const Pads pads = ReadPads(c.layer);
  const Tensor &x = c.inputs[0], &f = c.inputs[1];
  const int64_t H = x.shape[1], W = x.shape[2], CI = x.shape[3];
  const int64_t KH = f.shape[0], KW = f.shape[1], CO = f.shape[2];
  const int64_t OH = c.output.shape[1], OW = c.output.shape[2];
  std::fill(c.out(), c.out() + c.output.count(), 0.0f);
  for (int64_t n = 0; n < x.shape[0]; ++n) {
    for (int64_t i = 0; i < H; ++i) {
      const float* row = c.in(0) + (n * H + i) * W * CI;
      for (int64_t kh = 0; kh < KH; ++kh) {
        const int64_t y = i * s.h + kh - pads.head.h;
        if (y < 0 || y >= OH) continue;
        // Columns in ascending order: a later filter column is an earlier
        // input column for the same output.
        for (int64_t kw = KW; kw-- > 0;) {
          const auto [j0, j1] = Reaching(W, kw, s.w, pads.head.w, OW);
          if (j0 >= j1) continue;
          Eigen::Map<const RowMatrix> in(row + j0 * CI, j1 - j0, CI);
          Eigen::Map<const RowMatrix> slice(c.in(1) + (kh * KW + kw) * CO * CI,
                                            CO, CI);
          const int64_t x0 = j0 * s.w + kw - pads.head.w;
          Eigen::Map<RowMatrix, Eigen::Unaligned, Strided> out(
              c.out() + ((n * OH + y) * OW + x0) * CO, j1 - j0, CO,
              Strided(s.w * CO));
          out.noalias() += in * slice.transpose();
        }
      }
    }
  }
  AddBias(c, 2);
  ApplyActivation(c.layer, c.out(), c.output.count());
}

double DeconvCost(const CostContext& c) {
  const Pair s = Setting(c.layer, "strides", true);
  const Pads pads = ReadPads(c.layer);
  const Shape &x = c.inputs[0], &f = c.inputs[1];
  double rows = 0, cols = 0;
  for (int64_t k = 0; k < f[0]; ++k) {
    const auto [a, b] = Reaching(x[1], k, s.h, pads.head.h, c.output[1]);
    rows += static_cast<double>(b - a);
  }
  for (int64_t k = 0; k < f[1]; ++k) {
    const auto [a, b] = Reaching(x[2], k, s.w, pads.head.w, c.output[2]);
    cols += static_cast<double>(b - a);
  }
  return static_cast<double>(x[0]) * rows * cols * static_cast<double>(f[2]) *
             static_cast<double>(f[3]) +
         CountOf(c.output);
}

double ConvCost(const CostContext& c) {
  const Shape& f = c.inputs[1];
  return CountOf(c.output) * static_cast<double>(f[0]) *
         static_cast<double>(f[1]) * static_cast<double>(f[2]);
}

}  // namespace

void AddSpatialRows(std::vector<LayerSemantics>& rows) {
  using enum snxf::Op;
  rows.push_back(
      {conv2d, 2, 3, false, OutputType::kFloat32, Storage::kOwn, ConvShape,
       Conv, "[input, filter] or [input, filter, bias]",
       "input [N, H, W, C_in], filter [KH, KW, C_in / groups, C_out] (a "
       "depthwise filter is [KH, KW, 1, C] with groups = C), bias [C_out]; "
       "\"strides\" and \"dilations\" as [h, w] or [1, h, w, 1] (dilations 1 "
       "when absent), \"head\"/\"tail\" pads on H and W (none unless both "
       "are given); output [N, OH, OW, C_out] with OH = (H + head + tail − "
       "dilation × (KH − 1) − 1) / stride + 1 rounded down; then the fused "
       "\"activation\"",
       ConvCost, nullptr, nullptr, nullptr, PrepareConv});
  rows.push_back(
      {deconv2d, 2, 3, false, OutputType::kFloat32, Storage::kOwn, DeconvShape,
       Deconv, "[input, filter] or [input, filter, bias]",
       "the transpose of a convolution: input [N, H, W, C_in], filter [KH, "
       "KW, C_out, C_in], bias [C_out]; output row y = i × stride + k − head "
       "receives input row i through filter row k (likewise for columns); "
       "the output height and width are the layer's stored ones, positions "
       "no input reaches hold the bias; then the fused \"activation\"",
       DeconvCost});
}

}  // namespace sarnic::runtime
