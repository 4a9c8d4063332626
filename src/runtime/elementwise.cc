// Element-wise layers: one input mapped element by element, two inputs
// broadcast as NumPy broadcasts, batch normalization over the last axis,
// and quantization.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "runtime/broadcast.h"
#include "runtime/kernels.h"
#include "runtime/semantics.h"

namespace sarnic::runtime {

namespace {

// y[i] = fn(x[i]) in blocks through a buffer of the stack, so that the
// loop vectorises when the output is the input (a layer planned in place,
// where the compiler's check for overlap would take the scalar loop).
template <typename Fn>
void Map(const float* x, float* y, int64_t n, Fn fn) {
  constexpr int64_t kBlock = 256;
  alignas(64) float buffer[kBlock];
  for (int64_t i = 0; i < n; i += kBlock) {
    const int64_t m = std::min(kBlock, n - i);
    for (int64_t j = 0; j < m; ++j) buffer[j] = fn(x[i + j]);
    std::copy(buffer, buffer + m, y + i);
  }
}

template <float (*kFn)(float)>
void Unary(const KernelContext& c) {
  Map(c.in(0), c.out(), c.output.count(), [](float v) { return kFn(v); });
}

float Abs(float x) { return std::fabs(x); }
float Exp(float x) { return std::exp(x); }
float Log(float x) { return std::log(x); }
float Sqrt(float x) { return std::sqrt(x); }
// NaN stays NaN, as in the fused activation.
float Relu(float x) { return std::max(x, 0.0f); }
float Relu6(float x) { return std::min(std::max(x, 0.0f), 6.0f); }
float Tanh(float x) { return std::tanh(x); }

void Rsqrt(const KernelContext& c) {
  const auto eps = static_cast<float>(c.layer.NumberOr("epsilon", 0.0));
  const float* x = c.in(0);
  float* y = c.out();
  for (int64_t i = 0, n = c.output.count(); i < n; ++i) {
    y[i] = 1.0f / std::sqrt(x[i] + eps);
  }
}

void LeakyRelu(const KernelContext& c) {
  const auto alpha = static_cast<float>(c.layer.Number("alpha"));
  const float* x = c.in(0);
  float* y = c.out();
  for (int64_t i = 0, n = c.output.count(); i < n; ++i) {
    y[i] = x[i] < 0.0f ? alpha * x[i] : x[i];
  }
}

void SigmoidLayer(const KernelContext& c) {
  runtime::Sigmoid(c.in(0), c.out(), c.output.count(), 1.0f, false);
}

void Swish(const KernelContext& c) {
  const bool hard = c.layer.NumberOr("hard", 0.0) != 0.0;
  const auto beta = static_cast<float>(c.layer.NumberOr("beta", 1.0));
  const float* x = c.in(0);
  float* y = c.out();
  const int64_t n = c.output.count();
  if (hard) {
    runtime::HardSwish(x, y, n);
  } else {
    runtime::Sigmoid(x, y, n, beta, true);
  }
}

template <float (*kFn)(float, float)>
void Binary(const KernelContext& c) {
  const float* a = c.in(0);
  const float* b = c.in(1);
  float* y = c.out();
  if (c.inputs[0].shape == c.inputs[1].shape) {
    for (int64_t i = 0, n = c.output.count(); i < n; ++i)
      y[i] = kFn(a[i], b[i]);
    return;
  }
  ForEachBroadcast(
      c.output.shape, c.inputs[0].shape, c.inputs[1].shape,
      [&](int64_t o, int64_t i, int64_t j) { y[o] = kFn(a[i], b[j]); });
}

float Add(float a, float b) { return a + b; }
float Sub(float a, float b) { return a - b; }
float Mul(float a, float b) { return a * b; }
float Div(float a, float b) { return a / b; }
float Pow(float a, float b) { return std::pow(a, b); }
float Prelu(float x, float s) { return x < 0.0f ? s * x : x; }

Shape BroadcastTwo(const ShapeContext& c) {
  return BroadcastShapes(c.layer, c.inputs[0], c.inputs[1]);
}

// Per-channel values over the last axis: `count` is 1 or the channels.
Shape BatchnormShape(const ShapeContext& c) {
  const Shape& x = c.inputs[0];
  const int64_t channels = x.empty() ? 1 : x.back();
  static const char* const kNames[] = {"mean", "variance", "offset", "scale"};
  for (std::size_t i = 1; i <= 4; ++i) {
    const int64_t n = Count(c.inputs[i]);
    if (n != 1 && n != channels) {
      c.layer.Fail(std::string("its ") + kNames[i - 1] + " holds " +
                   std::to_string(n) + " values for " +
                   std::to_string(channels) + " channels");
    }
  }
  if (Count(c.inputs[5]) != 1) {
    c.layer.Fail("its epsilon holds more than one value");
  }
  return x;
}

void Batchnorm(const KernelContext& c) {
  const int64_t channels = c.output.shape.empty() ? 1 : c.output.shape.back();
  auto at = [&](std::size_t input, int64_t ch) {
    return c.inputs[input].count() == 1 ? c.in(input)[0] : c.in(input)[ch];
  };
  const float eps = c.in(5)[0];
  std::vector<float> mul(channels), add(channels);
  std::vector<float> mean(channels), denom(channels);
  const float* x = c.in(0);
  float* y = c.out();
  for (int64_t ch = 0; ch < channels; ++ch) {
    mean[ch] = at(1, ch);
    denom[ch] = std::sqrt(at(2, ch) + eps);
    mul[ch] = at(4, ch);
    add[ch] = at(3, ch);
  }
  // Row by row over the channels (no index arithmetic per element), so
  // that the inner loop vectorises.
  for (int64_t row = 0, n = c.output.count(); row < n; row += channels) {
    const float* xr = x + row;
    float* yr = y + row;
    for (int64_t ch = 0; ch < channels; ++ch) {
      yr[ch] = (xr[ch] - mean[ch]) / denom[ch] * mul[ch] + add[ch];
    }
  }
}

// The scale and zero point of element `i`: per the layer's axis when it
// has one and more than one scale, else the first.
struct QuantParams {
  std::vector<float> scale;
  std::vector<int32_t> zero;
  int64_t inner = 1, channels = 1;

  QuantParams(const LayerView& v, const Shape& shape) {
    const snxf::Layer& l = v.layer();
    if (l.scale() == nullptr || l.scale()->size() == 0) {
      v.Fail("has no quantization scale");
    }
    scale.assign(l.scale()->begin(), l.scale()->end());
    if (l.zero() != nullptr) zero.assign(l.zero()->begin(), l.zero()->end());
    if (scale.size() == 1) return;
    if (!l.axis().has_value()) {
      v.Fail("has " + std::to_string(scale.size()) + " scales but no axis");
    }
    const int64_t axis = NormalAxis(v, *l.axis(), shape.size());
    channels = shape[axis];
    for (std::size_t d = axis + 1; d < shape.size(); ++d) inner *= shape[d];
    if (static_cast<int64_t>(scale.size()) != channels ||
        (zero.size() > 1 && zero.size() != scale.size())) {
      v.Fail("has " + std::to_string(scale.size()) + " scales for " +
             std::to_string(channels) + " entries of axis " +
             std::to_string(axis));
    }
  }
  std::size_t At(int64_t i) const {
    return scale.size() == 1 ? 0
                             : static_cast<std::size_t>((i / inner) % channels);
  }
  float Scale(int64_t i) const { return scale[At(i)]; }
  int32_t Zero(int64_t i) const {
    if (zero.empty()) return 0;
    return zero.size() == 1 ? zero[0] : zero[At(i)];
  }
};

template <typename T>
void QuantizeTo(const KernelContext& c, const QuantParams& q) {
  const float* x = c.in(0);
  T* y = reinterpret_cast<T*>(c.output.data);
  constexpr double lo = std::numeric_limits<T>::min();
  constexpr double hi = std::numeric_limits<T>::max();
  for (int64_t i = 0, n = c.output.count(); i < n; ++i) {
    const double v = std::nearbyint(double(x[i]) / q.Scale(i)) + q.Zero(i);
    y[i] = static_cast<T>(std::clamp(std::isnan(v) ? 0.0 : v, lo, hi));
  }
}

void Quant(const KernelContext& c) {
  const QuantParams q(c.layer, c.output.shape);
  switch (c.output.dtype) {
    case DType::kInt8:
      return QuantizeTo<int8_t>(c, q);
    case DType::kUint8:
      return QuantizeTo<uint8_t>(c, q);
    case DType::kInt16:
      return QuantizeTo<int16_t>(c, q);
    case DType::kUint16:
      return QuantizeTo<uint16_t>(c, q);
    case DType::kInt32:
      return QuantizeTo<int32_t>(c, q);
    default:
      c.layer.Fail(std::string("quantizes to ") +
                   std::string(DTypeName(c.output.dtype)) +
                   ", which is not an integer type of 32 bits or fewer");
  }
}

template <typename T>
void DequantizeFrom(const KernelContext& c, const QuantParams& q) {
  const T* x = reinterpret_cast<const T*>(c.inputs[0].data);
  float* y = c.out();
  for (int64_t i = 0, n = c.output.count(); i < n; ++i) {
    y[i] =
        q.Scale(i) * static_cast<float>(static_cast<double>(x[i]) - q.Zero(i));
  }
}

void Dequant(const KernelContext& c) {
  const QuantParams q(c.layer, c.output.shape);
  switch (c.inputs[0].dtype) {
    case DType::kInt8:
      return DequantizeFrom<int8_t>(c, q);
    case DType::kUint8:
      return DequantizeFrom<uint8_t>(c, q);
    case DType::kInt16:
      return DequantizeFrom<int16_t>(c, q);
    case DType::kUint16:
      return DequantizeFrom<uint16_t>(c, q);
    case DType::kInt32:
      return DequantizeFrom<int32_t>(c, q);
    case DType::kFloat32:
      return DequantizeFrom<float>(c, q);
    default:
      c.layer.Fail("reads " + std::string(DTypeName(c.inputs[0].dtype)) +
                   " data, which it does not dequantize");
  }
}

}  // namespace

void AddElementwiseRows(std::vector<LayerSemantics>& rows) {
  using enum snxf::Op;
  auto unary = [&](snxf::Op op, KernelFn fn, const char* meaning) {
    rows.push_back({op, 1, 1, false, OutputType::kFloat32, Storage::kOwn,
                    SameAsFirst, fn, "[x]", meaning});
  };
  unary(abs, Unary<Abs>, "the absolute value of x");
  unary(exp, Unary<Exp>, "e^x");
  unary(log, Unary<Log>, "the natural logarithm of x");
  unary(sqrt, Unary<Sqrt>, "the square root of x");
  unary(rsqrt, Rsqrt, "1 / sqrt(x + epsilon), epsilon 0 when absent");
  unary(relu, Unary<Relu>, "max(x, 0); NaN for NaN");
  unary(relu6, Unary<Relu6>, "min(max(x, 0), 6); NaN for NaN");
  unary(sigmoid, SigmoidLayer, "1 / (1 + e^-x), e^-x within 1 ulp");
  unary(tanh, Unary<Tanh>, "the hyperbolic tangent of x");
  unary(leaky_relu, LeakyRelu, "x when x >= 0, alpha × x otherwise");
  unary(swish, Swish,
        "x × sigmoid(beta × x); with \"hard\" non-zero, x × relu6(x + 3) / 6");
  auto binary = [&](snxf::Op op, KernelFn fn, const char* meaning) {
    rows.push_back({op, 2, 2, false, OutputType::kFloat32, Storage::kOwn,
                    BroadcastTwo, fn, "[x, y]", meaning});
  };
  binary(add, Binary<Add>, "x + y, broadcast as NumPy broadcasts");
  binary(subtract, Binary<Sub>, "x − y, broadcast");
  binary(multiply, Binary<Mul>, "x × y, broadcast");
  binary(divide, Binary<Div>, "x / y, broadcast");
  binary(pow, Binary<Pow>, "x to the power y, broadcast");
  rows.push_back({prelu, 2, 2, false, OutputType::kFloat32, Storage::kOwn,
                  BroadcastTwo, Binary<Prelu>, "[x, scales]",
                  "x when x >= 0, scales × x otherwise, broadcast"});
  rows.push_back(
      {batchnorm, 6, 6, false, OutputType::kFloat32, Storage::kOwn,
       BatchnormShape, Batchnorm,
       "[input, mean, variance, offset, scale, epsilon]",
       "(x − mean) / sqrt(variance + epsilon) × scale + offset over the last "
       "axis; mean, variance, offset and scale hold one value per channel or "
       "one for all, epsilon one value"});
  rows.push_back(
      {quant, 1, 1, false, OutputType::kLayerDatatype, Storage::kOwn,
       SameAsFirst, Quant, "[x]",
       "q = round(x / scale) + zero (halves to even), clamped to the range of "
       "the layer's datatype; scale and zero from the layer's quantization "
       "fields, per entry of its axis when it has several"});
  rows.push_back(
      {dequant, 1, 1, true, OutputType::kFloat32, Storage::kOwn, SameAsFirst,
       Dequant, "[x]",
       "real = scale × (q − zero), with the layer's own quantization fields"});
}

}  // namespace sarnic::runtime
