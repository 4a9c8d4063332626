#include "sarnic/fixed_point.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sarnic::fixed_point {

int64_t RoundHalfAwayFromZero(double x) {
  return static_cast<int64_t>(std::round(x));
}

std::optional<QuantizedMultiplier> QuantizeMultiplier(double real) {
  if (!std::isfinite(real) || real <= 0 || real >= 1073741824.0) {
    return std::nullopt;
  }
  int shift = 0;
  const double q = std::frexp(real, &shift);
  int64_t fixed = RoundHalfAwayFromZero(q * 2147483648.0);
  if (fixed == (int64_t{1} << 31)) {
    fixed /= 2;
    ++shift;
  }
  if (shift < -31) return QuantizedMultiplier{0, 0};
  return QuantizedMultiplier{static_cast<int32_t>(fixed), shift};
}

std::optional<QuantParams> ActivationParams(float min, float max) {
  if (!std::isfinite(min) || !std::isfinite(max)) return std::nullopt;
  min = std::min(min, 0.0f);
  max = std::max(max, 0.0f);
  if (max == min) return QuantParams{1.0f / 1048576.0f, -128};
  const float scale = (max - min) / 255.0f;
  const int64_t zero =
      -128 - RoundHalfAwayFromZero(static_cast<double>(min) / scale);
  return QuantParams{
      scale, static_cast<int32_t>(std::clamp<int64_t>(zero, -128, 127))};
}

float WeightScale(float max_abs) {
  return max_abs > 0.0f ? max_abs / 127.0f : 1.0f;
}

int64_t Quantize(double x, QuantParams p, int64_t lo, int64_t hi) {
  const double q = x / static_cast<double>(p.scale);
  // Beyond int64 the clamp decides: no conversion of an out-of-range real.
  if (!(q < 9.2e18)) return hi;
  if (!(q > -9.2e18)) return lo;
  return std::clamp<int64_t>(RoundHalfAwayFromZero(q) + p.zero_point, lo, hi);
}

std::string IntegerRulesMarkdown() {
  return R"(## Integer arithmetic

The integer arithmetic of int8 models, declared once: the choice of
scales and zero points and what integer kernels compute, the same on every
machine. A tensor's real value is scale × (q − zero point).

- **Rounding of reals**: half away from zero (2.5 → 3, −2.5 → −3).
- **SaturatingRoundingDoublingHighMul(a, b)** of two int32: (a × b + n) /
  2^31 truncated toward zero, with n = 2^30 when a × b ≥ 0 and 1 − 2^30
  otherwise; INT32_MIN × INT32_MIN gives INT32_MAX.
- **RoundingDivideByPOT(x, e)**: x / 2^e to the nearest integer, halves away
  from zero, for e in [0, 31].
- **Multipliers**: a real multiplier M > 0 (below 2^30) is m × 2^(s − 31):
  M = f × 2^s with f in [0.5, 1), m = round(f × 2^31) (2^31 becomes 2^30
  with s + 1); below 2^−31 it is m = 0.
- **Requantisation** of an int32 x by M: RoundingDivideByPOT(
  SaturatingRoundingDoublingHighMul(x × 2^max(s, 0), m), max(−s, 0)), with
  x × 2^max(s, 0) saturated to int32; then the output zero point is added
  and the result clamped to [−128, 127].
- **Activation parameters** from a calibrated range [min, max]: the range
  widened to hold 0; scale = (max − min) / 255 in float32; zero point =
  −128 − round(min / scale), clamped to [−128, 127]; a range of zero width
  takes scale 2^−20 and zero point −128.
- **Weights**: int8 in [−127, 127], zero point 0, one scale per output
  channel, max |w| / 127 (1 for a channel of zeros).
- **Quantising a real** x when the parameters are chosen (weights, biases,
  bounds): clamp(round(x / scale) + zero point) to the type's range. The
  `quant` layer keeps its own rule above (halves to even).
)";
}

}  // namespace sarnic::fixed_point
