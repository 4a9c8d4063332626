// Layers that resample or extend NHWC data: resize (nearest and bilinear)
// and pad, in float and in int8.
#include <algorithm>
#include <cmath>
#include <vector>

#include "runtime/integer.h"
#include "runtime/semantics.h"
#include "runtime/windows.h"

namespace sarnic::runtime {

namespace {

Shape ResizeShape(const ShapeContext& c) {
  const Shape& x = c.inputs[0];
  Require4D(c.layer, x, "input");
  const int64_t mode = c.layer.Integer("mode");
  if (mode != 0 && mode != 1) {
    c.layer.Fail("has mode " + std::to_string(mode) +
                 ": 0 (nearest) and 1 (bilinear) are declared");
  }
  const Shape stored = c.layer.StoredShape();
  if (stored.size() != 4 || stored[1] <= 0 || stored[2] <= 0) {
    c.layer.Fail("its stored shape " + ShapeText(stored) +
                 " gives no output height and width");
  }
  return {x[0], stored[1], stored[2], x[3]};
}

struct Axis {
  int64_t lo, hi;
  float frac;
};

// Where output position `o` of `out` reads from an axis of `in` positions.
Axis Sample(int64_t o, int64_t in, int64_t out, bool align, bool half,
            bool nearest) {
  const double scale = align && out > 1 ? double(in - 1) / double(out - 1)
                                        : double(in) / double(out);
  double src = half ? (double(o) + 0.5) * scale : double(o) * scale;
  if (nearest) {
    const double at = align ? std::round(src) : std::floor(src);
    const auto i = std::min<int64_t>(std::max<int64_t>(int64_t(at), 0), in - 1);
    return {i, i, 0.0f};
  }
  if (half) src -= 0.5;
  const double f = std::floor(src);
  const int64_t lo = std::max<int64_t>(int64_t(f), 0);
  const int64_t hi = std::min<int64_t>(int64_t(std::ceil(src)), in - 1);
  return {std::min(lo, in - 1), std::max<int64_t>(hi, 0), float(src - f)};
}

void Resize(const KernelContext& c) {
  const bool nearest = c.layer.Number("mode") == 0;
  const bool align = c.layer.NumberOr("align_corners", 0) != 0;
  const bool half = c.layer.NumberOr("half_pixel_centers", 0) != 0;
  const Shape& xs = c.inputs[0].shape;
  const int64_t H = xs[1], W = xs[2], C = xs[3];
  const int64_t OH = c.output.shape[1], OW = c.output.shape[2];
  for (int64_t n = 0; n < xs[0]; ++n) {
    for (int64_t oy = 0; oy < OH; ++oy) {
      const Axis ay = Sample(oy, H, OH, align, half, nearest);
      for (int64_t ox = 0; ox < OW; ++ox) {
        const Axis ax = Sample(ox, W, OW, align, half, nearest);
        auto at = [&](int64_t y, int64_t x) {
          return c.in(0) + ((n * H + y) * W + x) * C;
        };
        const float *a = at(ay.lo, ax.lo), *b = at(ay.lo, ax.hi);
        const float *d = at(ay.hi, ax.lo), *e = at(ay.hi, ax.hi);
        float* o = c.out() + ((n * OH + oy) * OW + ox) * C;
        for (int64_t ch = 0; ch < C; ++ch) {
          const float top = a[ch] + (b[ch] - a[ch]) * ax.frac;
          const float bottom = d[ch] + (e[ch] - d[ch]) * ax.frac;
          o[ch] = top + (bottom - top) * ay.frac;
        }
      }
    }
  }
}

Shape PadShape(const ShapeContext& c) {
  const Shape& x = c.inputs[0];
  const Shape head = c.layer.List("head"), tail = c.layer.List("tail");
  if (head.size() != x.size() || tail.size() != x.size()) {
    c.layer.Fail("pads " + ShapeText(head) + " and " + ShapeText(tail) +
                 " do not hold one entry per dimension of its input " +
                 ShapeText(x));
  }
  Shape out = x;
  for (std::size_t d = 0; d < x.size(); ++d) {
    if (head[d] < 0 || tail[d] < 0) c.layer.Fail("has a negative pad");
    out[d] += head[d] + tail[d];
  }
  return out;
}

// The input copied into the middle of an output filled with `fill`.
template <typename T>
void PadWith(const KernelContext& c, T fill) {
  const Shape head = c.layer.List("head");
  const Shape& in = c.inputs[0].shape;
  const Shape& out = c.output.shape;
  const T* x = reinterpret_cast<const T*>(c.inputs[0].data);
  T* y = reinterpret_cast<T*>(c.output.data);
  std::fill(y, y + c.output.count(), fill);
  const std::size_t rank = in.size();
  if (c.inputs[0].count() == 0) return;
  if (rank == 0) {
    y[0] = x[0];
    return;
  }
  std::vector<int64_t> index(rank, 0);
  const int64_t inner = in[rank - 1];
  const int64_t rows = c.inputs[0].count() / inner;
  for (int64_t r = 0; r < rows; ++r) {
    int64_t o = 0;
    for (std::size_t d = 0; d < rank; ++d) {
      o = o * out[d] + head[d] + (d + 1 < rank ? index[d] : 0);
    }
    std::copy(x + r * inner, x + (r + 1) * inner, y + o);
    for (std::size_t d = rank - 1; d-- > 0;) {
      if (++index[d] < in[d]) break;
      index[d] = 0;
    }
  }
}

void Pad(const KernelContext& c) {
  PadWith(c, static_cast<float>(c.layer.NumberOr("value", 0.0)));
}

}  // namespace

void Int8Pad(const KernelContext& c) {
  const fixed_point::QuantParams p = TensorParams(c.layer, c.layer.layer());
  PadWith(c, static_cast<int8_t>(fixed_point::Quantize(
                 c.layer.NumberOr("value", 0.0), p, -128, 127)));
}

// Nearest resize only (checked at load): each output element is one input
// element.
void Int8Resize(const KernelContext& c) {
  const bool align = c.layer.NumberOr("align_corners", 0) != 0;
  const bool half = c.layer.NumberOr("half_pixel_centers", 0) != 0;
  const Shape& xs = c.inputs[0].shape;
  const int64_t H = xs[1], W = xs[2], C = xs[3];
  const int64_t OH = c.output.shape[1], OW = c.output.shape[2];
  const auto* x = reinterpret_cast<const int8_t*>(c.inputs[0].data);
  auto* y = reinterpret_cast<int8_t*>(c.output.data);
  for (int64_t n = 0; n < xs[0]; ++n) {
    for (int64_t oy = 0; oy < OH; ++oy) {
      const Axis ay = Sample(oy, H, OH, align, half, true);
      for (int64_t ox = 0; ox < OW; ++ox) {
        const Axis ax = Sample(ox, W, OW, align, half, true);
        std::copy_n(x + ((n * H + ay.lo) * W + ax.lo) * C, C,
                    y + ((n * OH + oy) * OW + ox) * C);
      }
    }
  }
}

void Int8ResizeCheck(const LayerView& v, std::span<const snxf::Layer* const> in,
                     std::span<const DType> dtypes) {
  SameParamsCheck(v, in, dtypes);
  if (v.Number("mode") != 0) {
    v.Fail(
        "is int8 but resizes by interpolation, which has no integer rule "
        "(nearest has)");
  }
}

const char kInt8PadMeaning[] =
    "the int8 elements moved as the float layer moves them, the new ones "
    "the pad value quantised by the output's parameters (0.0 is the zero "
    "point); the output keeps its input's scale and zero point";
const char kInt8ResizeMeaning[] =
    "nearest only: each output element the int8 input element the float "
    "layer samples; the output keeps its input's scale and zero point "
    "(linear resizing is refused)";

void AddResamplingRows(std::vector<LayerSemantics>& rows) {
  using enum snxf::Op;
  rows.push_back(
      {resize, 1, 1, false, OutputType::kFloat32, Storage::kOwn, ResizeShape,
       Resize, "[input]",
       "NHWC to the stored height and width; \"mode\" 0 nearest, 1 bilinear; "
       "scale = in / out, or (in − 1) / (out − 1) with \"align_corners\"; "
       "with \"half_pixel_centers\" sampling at (o + 0.5) × scale (− 0.5 "
       "for bilinear); nearest rounds down (to nearest, halves up, with "
       "align_corners)"});
  rows.push_back(
      {pad, 1, 1, false, OutputType::kFloat32, Storage::kOwn, PadShape, Pad,
       "[input]",
       "\"head\" and \"tail\" elements of \"value\" before and after the data "
       "on every axis; \"fusible\" changes nothing"});
}

}  // namespace sarnic::runtime
