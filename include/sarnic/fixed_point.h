// The integer arithmetic of int8 models, declared once: what the quantiser
// uses to choose scales and zero points and what the interpreter's integer
// kernels compute with, bit for bit on every machine. Each rule is stated
// beside its function; IntegerRulesMarkdown() prints them for the
// semantics page.
#ifndef SARNIC_FIXED_POINT_H_
#define SARNIC_FIXED_POINT_H_

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace sarnic::fixed_point {

// Half away from zero: 2.5 → 3, −2.5 → −3. The one rounding of reals to
// integers in the integer rules.
int64_t RoundHalfAwayFromZero(double x);

// (a × b + nudge) / 2^31 truncated toward zero, the nudge 2^30 for a
// product of 0 or more and 1 − 2^30 for a negative one: a × b / 2^31 to
// the nearest integer, halves toward +∞. The one product that does not fit,
// INT32_MIN × INT32_MIN, gives INT32_MAX.
// (Defined here, inline: the integer kernels call it for every output.)
inline int32_t SaturatingRoundingDoublingHighMul(int32_t a, int32_t b) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  if (a == kMin && b == kMin) return std::numeric_limits<int32_t>::max();
  const int64_t ab = int64_t{a} * int64_t{b};
  const int64_t nudge = ab >= 0 ? (int64_t{1} << 30) : 1 - (int64_t{1} << 30);
  return static_cast<int32_t>((ab + nudge) / (int64_t{1} << 31));
}

// x / 2^exponent rounded to nearest, ties away from zero; `exponent` in
// [0, 31].
inline int32_t RoundingDivideByPOT(int32_t x, int exponent) {
  const int32_t mask =
      static_cast<int32_t>((int64_t{1} << exponent) - 1);  // exponent ≤ 31
  const int32_t remainder = x & mask;
  const int32_t threshold = (mask >> 1) + (x < 0 ? 1 : 0);
  return (x >> exponent) + (remainder > threshold ? 1 : 0);
}

// A positive real multiplier M as multiplier × 2^(shift − 31), multiplier
// in [2^30, 2^31): M = q × 2^shift with q in [0.5, 1) (frexp), multiplier
// = round(q × 2^31) half away from zero (2^31 becomes 2^30 with shift + 1).
// A multiplier below 2^−31 is 0 with shift 0.
struct QuantizedMultiplier {
  int32_t multiplier = 0;
  int shift = 0;
};
// Nothing for M not finite, not positive, or of 2^30 or more (no
// requantisation of int8 data needs one).
std::optional<QuantizedMultiplier> QuantizeMultiplier(double real);

// x × M as the requantisation computes it: RoundingDivideByPOT(
// SaturatingRoundingDoublingHighMul(x × 2^max(shift, 0), multiplier),
// max(−shift, 0)), where x × 2^max(shift, 0) saturates to int32.
inline int32_t MultiplyByQuantizedMultiplier(int32_t x, QuantizedMultiplier m) {
  const int left = std::max(m.shift, 0);
  const int right = std::max(-m.shift, 0);
  const int64_t shifted = std::clamp<int64_t>(
      int64_t{x} * (int64_t{1} << left), std::numeric_limits<int32_t>::min(),
      std::numeric_limits<int32_t>::max());
  return RoundingDivideByPOT(SaturatingRoundingDoublingHighMul(
                                 static_cast<int32_t>(shifted), m.multiplier),
                             right);
}

// An int8 tensor's parameters: real = scale × (q − zero_point).
struct QuantParams {
  float scale = 1.0f;
  int32_t zero_point = 0;
};

// The parameters of an activation calibrated to [min, max]: the range is
// widened to hold 0.0; scale = (max − min) / 255 in float32; zero_point =
// clamp(−128 − round_half_away(min / scale), −128, 127), so that 0.0 is
// exactly the zero point. A range of zero width (both 0) takes scale 2^−20.
// Nothing for a bound that is not finite.
std::optional<QuantParams> ActivationParams(float min, float max);

// The scale of a weight channel whose largest magnitude is `max_abs`:
// max_abs / 127, or 1 for a channel of zeros (symmetric, zero point 0).
float WeightScale(float max_abs);

// clamp(round_half_away(x / scale) + zero_point, lo, hi): a real as int8
// (lo −128, hi 127), or as an int32 bias (the int32 range).
int64_t Quantize(double x, QuantParams p, int64_t lo, int64_t hi);

// The rules above as the semantics page states them.
std::string IntegerRulesMarkdown();

}  // namespace sarnic::fixed_point

#endif  // SARNIC_FIXED_POINT_H_
