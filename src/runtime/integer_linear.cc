// The integer kernels with weights: convolutions (grouped and depthwise)
// and dense layers of int8 activations. Each output channel c sums
// (q_in − zp_in) × q_w in int32 over the positions its window reads
// (padded positions add nothing), adds its int32 bias, and is requantised
// by s_in × s_w[c] / s_out; then the output zero point, and the clamp to
// int8 narrowed by the fused activation.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/integer.h"
#include "runtime/integer_gemm.h"
#include "runtime/windows.h"

namespace sarnic::runtime {

const char kInt8ConvMeaning[] =
    "int32 sums of (q_in − zp_in) × q_w over the window's unpadded positions "
    "(the filter int8 with zero point 0 and one scale per output channel, "
    "axis 3, or one for all), + the int32 bias, saturated to int32, "
    "requantised by s_in × s_w[c] / s_out, + zp_out, clamped to [−128, 127] "
    "or, with a fused relu, [zp_out, 127], relu6 [zp_out, zp_out + round(6 / "
    "s_out)] (6 / s_out in float32)";
const char kInt8DenseMeaning[] =
    "as an int8 conv2d: int32 sums of (q_A − zp_A) × q_B over K (B int8 with "
    "zero point 0 and one scale per column, axis 1, or one for all), + the "
    "int32 bias, requantised per column, + zp_out, clamped by the fused "
    "activation";

namespace {

// The weights' scales, one per output channel along `axis` of the weights
// (`channels` of them), or one for all.
std::vector<float> WeightScales(const LayerView& v, const snxf::Layer& w,
                                int axis, int64_t channels) {
  const auto* scale = w.scale();
  const std::string place = LayerPlace(w);
  if (scale == nullptr ||
      (scale->size() != 1 && static_cast<int64_t>(scale->size()) != channels)) {
    v.Fail("is int8 but its weights " + place + " have " +
           std::to_string(scale ? scale->size() : 0) + " scales for " +
           std::to_string(channels) + " output channels");
  }
  const std::size_t rank = w.shape() != nullptr ? w.shape()->size() : 0;
  if (scale->size() > 1 &&
      (!w.axis().has_value() || sarnic::NormalAxis(*w.axis(), rank) != axis)) {
    v.Fail("is int8 but its weights " + place +
           " do not give their scales along axis " + std::to_string(axis));
  }
  if (w.zero() != nullptr) {
    for (int32_t z : *w.zero()) {
      if (z != 0)
        v.Fail("is int8 but its weights " + place +
               " have a zero point other than 0");
    }
  }
  std::vector<float> out(static_cast<std::size_t>(channels));
  for (int64_t c = 0; c < channels; ++c) {
    out[c] = scale->Get(scale->size() == 1 ? 0 : static_cast<uint32_t>(c));
    if (!(out[c] > 0.0f) || !std::isfinite(out[c])) {
      v.Fail("is int8 but its weights " + place + " have scale " +
             std::to_string(out[c]));
    }
  }
  return out;
}

struct Requantise {
  std::vector<fixed_point::QuantizedMultiplier> m;
  // m's multipliers and shifts split for the row kernels.
  std::vector<int32_t> multiplier, left, right;
  bool shifts_left = false;
  int32_t zero = 0, lo = -128, hi = 127;

  // A row of int32 sums of every channel, with the bias when not null.
  void Row(const int32_t* sums, const int32_t* bias, int8_t* out) const {
    RequantiseSums({multiplier.data(), left.data(), right.data(), bias, zero,
                    lo, hi, shifts_left},
                   sums, static_cast<int64_t>(m.size()), out);
  }

  int8_t operator()(int64_t sum, int64_t c) const {
    const auto acc = static_cast<int32_t>(
        std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(),
                            std::numeric_limits<int32_t>::max()));
    return static_cast<int8_t>(std::clamp<int64_t>(
        int64_t{fixed_point::MultiplyByQuantizedMultiplier(acc, m[c])} + zero,
        lo, hi));
  }
  // The int32 sums of channel c with its bias (none when null) added.
  int8_t operator()(int64_t sum, const int32_t* bias, int64_t c) const {
    return (*this)(sum + (bias != nullptr ? bias[c] : 0), c);
  }
};

Requantise RequantiseOf(const LayerView& v, const snxf::Layer& input,
                        const snxf::Layer& weights, int axis,
                        int64_t channels) {
  const fixed_point::QuantParams in = TensorParams(v, input);
  const fixed_point::QuantParams out = TensorParams(v, v.layer());
  const std::vector<float> ws = WeightScales(v, weights, axis, channels);
  Requantise r;
  for (float w : ws) {
    r.m.push_back(Multiplier(
        v, static_cast<double>(in.scale) * w / static_cast<double>(out.scale)));
    r.multiplier.push_back(r.m.back().multiplier);
    r.left.push_back(std::max(r.m.back().shift, 0));
    r.shifts_left = r.shifts_left || r.left.back() > 0;
    r.right.push_back(std::max(-r.m.back().shift, 0));
  }
  r.zero = out.zero_point;
  const std::string a = v.TextOr("activation", "linear");
  if (a == "relu" || a == "relu6") r.lo = std::max(-128, out.zero_point);
  if (a == "relu6") {
    const int64_t six =
        out.zero_point + fixed_point::RoundHalfAwayFromZero(6.0f / out.scale);
    r.hi = static_cast<int32_t>(std::clamp<int64_t>(six, -128, 127));
  }
  if (a != "linear" && a != "relu" && a != "relu6") {
    v.Fail("is int8 with the fused activation \"" + a +
           "\", which has no integer rule (linear, relu and relu6 have)");
  }
  return r;
}

const int8_t* Q(const Tensor& t) {
  return reinterpret_cast<const int8_t*>(t.data);
}

}  // namespace

void Int8WeightedCheck(const LayerView& v,
                       std::span<const snxf::Layer* const> in,
                       std::span<const DType> dtypes) {
  TensorParams(v, v.layer());
  RequireType(v, in, dtypes, 0, DType::kInt8, "input");
  RequireType(v, in, dtypes, 1, DType::kInt8, "weights");
  if (in.size() > 2) RequireType(v, in, dtypes, 2, DType::kInt32, "bias");
  TensorParams(v, *in[0]);
  const bool conv = v.layer().type() == snxf::Op::conv2d;
  const auto* shape = in[1]->shape();
  const int axis = conv ? 3 : 1;
  if (shape == nullptr || static_cast<int>(shape->size()) <= axis) {
    v.Fail("is int8 but its weights " + LayerPlace(*in[1]) + " have no axis " +
           std::to_string(axis));
  }
  RequantiseOf(v, *in[0], *in[1], axis, shape->Get(axis));
}

namespace {

// Products of (q − zp) in [−255, 255] and an int8 weight: at most 32640 in
// magnitude, so `terms` of them sum exactly in int32 below this count; the
// bias is added in int64 afterwards and the total saturated, as the rule
// says.
bool SumsFitInt32(int64_t terms) {
  return terms * 32640 <= std::numeric_limits<int32_t>::max();
}

// a[o] += u × row[o] for o < n; with int32 sums the products are taken in
// int16 (|u| ≤ 255 and |row[o]| ≤ 128 keep them below 2^15), which the
// compiler turns into vector multiplies on any x86-64.
template <typename Acc>
void AddRow(Acc* __restrict a, const int8_t* __restrict row, int32_t u,
            int64_t n) {
  if constexpr (std::is_same_v<Acc, int32_t>) {
    const auto v = static_cast<int16_t>(u);
    for (int64_t o = 0; o < n; ++o) {
      a[o] += static_cast<int16_t>(v * static_cast<int16_t>(row[o]));
    }
  } else {
    for (int64_t o = 0; o < n; ++o) a[o] += Acc{u} * row[o];
  }
}

// a[o] += (x[o] − zx) × w[o] for o < n: a depthwise tap. With int32 sums
// the product is taken in int16 (|x − zx| ≤ 255 and |w| ≤ 128 keep it below
// 2^15), which vectorises at the baseline width (SSE2 has no 32-bit
// multiply).
template <typename Acc>
void AddProducts(Acc* __restrict a, const int8_t* __restrict x, int32_t zx,
                 const int8_t* __restrict w, int64_t n) {
  if constexpr (std::is_same_v<Acc, int32_t>) {
    const auto z = static_cast<int16_t>(zx);
    for (int64_t o = 0; o < n; ++o) {
      a[o] += static_cast<int16_t>(static_cast<int16_t>(x[o] - z) *
                                   static_cast<int16_t>(w[o]));
    }
  } else {
    for (int64_t o = 0; o < n; ++o) a[o] += Acc{x[o] - zx} * w[o];
  }
}

// The convolution with accumulators of type Acc, output channels innermost
// so that each tap adds one row of weights to a row of sums.
template <typename Acc>
void Int8ConvWith(const KernelContext& c) {
  const Tensor &x = c.inputs[0], &f = c.inputs[1];
  const ConvGeometry g = ConvSettings(c.layer);
  const int64_t N = x.shape[0], H = x.shape[1], W = x.shape[2];
  const int64_t C = x.shape[3];
  const int64_t KH = f.shape[0], KW = f.shape[1], CG = f.shape[2];
  const int64_t CO = f.shape[3], OG = CO / g.groups;
  const int64_t OH = c.output.shape[1], OW = c.output.shape[2];
  const Requantise r = RequantiseOf(c.layer, *x.layer, *f.layer, 3, CO);
  const int32_t zx = TensorParams(c.layer, *x.layer).zero_point;
  const int8_t* in = Q(x);
  const int8_t* w = Q(f);
  const auto* bias = c.inputs.size() > 2
                         ? reinterpret_cast<const int32_t*>(c.inputs[2].data)
                         : nullptr;
  int8_t* y = reinterpret_cast<int8_t*>(c.output.data);
  // One input channel per output channel (depthwise): the channels of a
  // tap line up with the output channels.
  const bool depthwise = CG == 1 && OG == 1;
  std::vector<Acc> acc(static_cast<std::size_t>(CO));
  for (int64_t n = 0; n < N; ++n) {
    for (int64_t oy = 0; oy < OH; ++oy) {
      for (int64_t ox = 0; ox < OW; ++ox) {
        std::fill(acc.begin(), acc.end(), Acc{0});
        for (int64_t ky = 0; ky < KH; ++ky) {
          const int64_t iy =
              oy * g.stride.h + ky * g.dilation.h - g.pads.head.h;
          if (iy < 0 || iy >= H) continue;
          for (int64_t kx = 0; kx < KW; ++kx) {
            const int64_t ix =
                ox * g.stride.w + kx * g.dilation.w - g.pads.head.w;
            if (ix < 0 || ix >= W) continue;
            const int8_t* px = in + ((n * H + iy) * W + ix) * C;
            const int8_t* pw = w + (ky * KW + kx) * CG * CO;
            if (depthwise) {
              AddProducts(acc.data(), px, zx, pw, CO);
              continue;
            }
            for (int64_t group = 0; group < g.groups; ++group) {
              for (int64_t ic = 0; ic < CG; ++ic) {
                AddRow(acc.data() + group * OG, pw + ic * CO + group * OG,
                       px[group * CG + ic] - zx, OG);
              }
            }
          }
        }
        int8_t* out = y + ((n * OH + oy) * OW + ox) * CO;
        if constexpr (std::is_same_v<Acc, int32_t>) {
          r.Row(acc.data(), bias, out);
        } else {
          for (int64_t oc = 0; oc < CO; ++oc) {
            out[oc] = r(acc[oc], bias, oc);
          }
        }
      }
    }
  }
}

// An ordinary convolution (one group) by paired products: for four output
// positions at a time, the patch of (q − zp) under the window (0 where it
// is padded) against the packed weights.
void Int8ConvPaired(const KernelContext& c) {
  const Tensor &x = c.inputs[0], &f = c.inputs[1];
  const ConvGeometry g = ConvSettings(c.layer);
  const int64_t N = x.shape[0], H = x.shape[1], W = x.shape[2];
  const int64_t C = x.shape[3];
  const int64_t KH = f.shape[0], KW = f.shape[1], CO = f.shape[3];
  const int64_t OH = c.output.shape[1], OW = c.output.shape[2];
  const Requantise r = RequantiseOf(c.layer, *x.layer, *f.layer, 3, CO);
  const int32_t zx = TensorParams(c.layer, *x.layer).zero_point;
  const int8_t* in = Q(x);
  const PackedWeights w = PackWeights(Q(f), KH * KW * C, CO);
  const auto* bias = c.inputs.size() > 2
                         ? reinterpret_cast<const int32_t*>(c.inputs[2].data)
                         : nullptr;
  int8_t* y = reinterpret_cast<int8_t*>(c.output.data);
  const auto K2 = static_cast<std::size_t>(2 * w.pairs);
  std::vector<int16_t> patches(kPairedPatches * K2, 0);
  std::vector<int32_t> sums(
      static_cast<std::size_t>(kPairedPatches * w.channels));
  const int16_t* patch_at[kPairedPatches];
  int32_t* sums_at[kPairedPatches];
  for (int i = 0; i < kPairedPatches; ++i) {
    patch_at[i] = patches.data() + i * K2;
    sums_at[i] = sums.data() + i * w.channels;
  }
  // The input as (q − zp) in int16 with its pads around it, where (zp − zp)
  // is 0: a patch row is then one copy of KW × C values (or KW copies of C
  // when dilated).
  const int64_t PH = H + g.pads.head.h + g.pads.tail.h;
  const int64_t PW = W + g.pads.head.w + g.pads.tail.w;
  std::vector<int16_t> padded(static_cast<std::size_t>(N * PH * PW * C), 0);
  for (int64_t n = 0; n < N; ++n) {
    for (int64_t iy = 0; iy < H; ++iy) {
      const int8_t* from = in + (n * H + iy) * W * C;
      int16_t* to = padded.data() +
                    ((n * PH + iy + g.pads.head.h) * PW + g.pads.head.w) * C;
      for (int64_t i = 0; i < W * C; ++i) {
        to[i] = static_cast<int16_t>(from[i] - zx);
      }
    }
  }
  const auto fill = [&](int16_t* patch, int64_t n, int64_t oy, int64_t ox) {
    for (int64_t ky = 0; ky < KH; ++ky) {
      const int16_t* row =
          padded.data() + ((n * PH + oy * g.stride.h + ky * g.dilation.h) * PW +
                           ox * g.stride.w) *
                              C;
      int16_t* to = patch + ky * KW * C;
      if (g.dilation.w == 1) {
        std::copy_n(row, KW * C, to);
        continue;
      }
      for (int64_t kx = 0; kx < KW; ++kx) {
        std::copy_n(row + kx * g.dilation.w * C, C, to + kx * C);
      }
    }
  };
  for (int64_t n = 0; n < N; ++n) {
    for (int64_t oy = 0; oy < OH; ++oy) {
      for (int64_t ox = 0; ox < OW; ox += kPairedPatches) {
        const int count =
            static_cast<int>(std::min<int64_t>(kPairedPatches, OW - ox));
        for (int k = 0; k < count; ++k) {
          fill(patches.data() + k * K2, n, oy, ox + k);
        }
        PairedSums(w, patch_at, count, sums_at);
        for (int k = 0; k < count; ++k) {
          r.Row(sums_at[k], bias, y + ((n * OH + oy) * OW + ox + k) * CO);
        }
      }
    }
  }
}

}  // namespace

void Int8Conv(const KernelContext& c) {
  const Tensor& f = c.inputs[1];
  const Shape& xs = c.inputs[0].shape;
  const ConvGeometry g = ConvSettings(c.layer);
  // The padded int16 copy stays within twice the input (pads of a few
  // positions); a file's pads far beyond that take the plain loops, which
  // need no copy.
  const int64_t padded = (xs[1] + g.pads.head.h + g.pads.tail.h) *
                         (xs[2] + g.pads.head.w + g.pads.tail.w);
  const bool ordinary =
      f.shape[2] == xs[3] && padded <= 2 * xs[1] * xs[2] + 1024;
  if (ordinary && HasPairedProducts() &&
      SumsFitInt32(f.shape[0] * f.shape[1] * f.shape[2])) {
    Int8ConvPaired(c);
  } else if (SumsFitInt32(f.shape[0] * f.shape[1] * f.shape[2])) {
    Int8ConvWith<int32_t>(c);
  } else {
    Int8ConvWith<int64_t>(c);
  }
}

void Int8Dense(const KernelContext& c) {
  const Tensor &a = c.inputs[0], &b = c.inputs[1];
  const int64_t K = b.shape[0], M = b.shape[1];
  const int64_t rows = K > 0 ? a.count() / K : 0;
  const Requantise r = RequantiseOf(c.layer, *a.layer, *b.layer, 1, M);
  const int32_t za = TensorParams(c.layer, *a.layer).zero_point;
  const int8_t* qa = Q(a);
  const int8_t* qb = Q(b);
  const auto* bias = reinterpret_cast<const int32_t*>(c.inputs[2].data);
  int8_t* y = reinterpret_cast<int8_t*>(c.output.data);
  const auto rows_with = [&]<typename Acc>(Acc) {
    std::vector<Acc> sums(static_cast<std::size_t>(M));
    for (int64_t i = 0; i < rows; ++i) {
      std::fill(sums.begin(), sums.end(), Acc{0});
      for (int64_t k = 0; k < K; ++k) {
        AddRow(sums.data(), qb + k * M, qa[i * K + k] - za, M);
      }
      if constexpr (std::is_same_v<Acc, int32_t>) {
        r.Row(sums.data(), bias, y + i * M);
      } else {
        for (int64_t m = 0; m < M; ++m) {
          y[i * M + m] = r(sums[m], bias, m);
        }
      }
    }
  };
  if (SumsFitInt32(K)) {
    rows_with(int32_t{0});
  } else {
    rows_with(int64_t{0});
  }
}

}  // namespace sarnic::runtime
