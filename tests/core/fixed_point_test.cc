// The integer rules against an independent implementation of the same
// fixed-point functions (gemmlowp's, a test-only header) on their edge
// cases and a million random draws, and the parameter rules worked by hand.
#include "sarnic/fixed_point.h"

#include <gemmlowp/fixedpoint/fixedpoint.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace sarnic::fixed_point {
namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

const std::vector<int32_t> kEdges = {kMin,
                                     kMin + 1,
                                     -(1 << 30) - 1,
                                     -(1 << 30),
                                     -(1 << 30) + 1,
                                     -3,
                                     -2,
                                     -1,
                                     0,
                                     1,
                                     2,
                                     3,
                                     1 << 30,
                                     (1 << 30) + 1,
                                     kMax - 1,
                                     kMax,
                                     12345,
                                     -12345,
                                     1 << 15,
                                     -(1 << 15)};

TEST(FixedPoint, HighMulAgreesWithTheReferenceOnEdgesAndRandomDraws) {
  for (int32_t a : kEdges) {
    for (int32_t b : kEdges) {
      EXPECT_EQ(SaturatingRoundingDoublingHighMul(a, b),
                gemmlowp::SaturatingRoundingDoublingHighMul(a, b))
          << a << " × " << b;
    }
  }
  std::mt19937 rng(1);
  std::uniform_int_distribution<int32_t> any(kMin, kMax);
  for (int i = 0; i < 1'000'000; ++i) {
    const int32_t a = any(rng), b = any(rng);
    ASSERT_EQ(SaturatingRoundingDoublingHighMul(a, b),
              gemmlowp::SaturatingRoundingDoublingHighMul(a, b))
        << a << " × " << b;
  }
  // Halves: +0.5 goes up, −0.5 toward zero (2^30 × 1 / 2^31 = 0.5).
  EXPECT_EQ(SaturatingRoundingDoublingHighMul(1 << 30, 1), 1);
  EXPECT_EQ(SaturatingRoundingDoublingHighMul(-(1 << 30), 1), 0);
  EXPECT_EQ(SaturatingRoundingDoublingHighMul(kMin, kMin), kMax);
}

TEST(FixedPoint, DivideByPowerOfTwoAgreesWithTheReferenceForEveryShift) {
  for (int32_t x : kEdges) {
    for (int e = 0; e <= 31; ++e) {
      EXPECT_EQ(RoundingDivideByPOT(x, e), gemmlowp::RoundingDivideByPOT(x, e))
          << x << " / 2^" << e;
    }
  }
  std::mt19937 rng(2);
  std::uniform_int_distribution<int32_t> any(kMin, kMax);
  std::uniform_int_distribution<int> shift(0, 31);
  for (int i = 0; i < 1'000'000; ++i) {
    const int32_t x = any(rng);
    const int e = shift(rng);
    ASSERT_EQ(RoundingDivideByPOT(x, e), gemmlowp::RoundingDivideByPOT(x, e))
        << x << " / 2^" << e;
  }
  // Ties at ±0.5 go away from zero.
  EXPECT_EQ(RoundingDivideByPOT(3, 1), 2);
  EXPECT_EQ(RoundingDivideByPOT(-3, 1), -2);
  EXPECT_EQ(RoundingDivideByPOT(1, 1), 1);
  EXPECT_EQ(RoundingDivideByPOT(-1, 1), -1);
}

TEST(FixedPoint, MultipliersFollowTheFrexpRule) {
  const struct {
    double real;
    int32_t multiplier;
    int shift;
  } rows[] = {
      {0.5, 1 << 30, 0},
      {0.75, 3 << 29, 0},
      {1.0, 1 << 30, 1},
      {3.0, 3 << 29, 2},
      {1.0 - std::ldexp(1.0, -33), 1 << 30, 1},  // rounds to 2^31: one up
      {std::ldexp(1.0, -32), 1 << 30, -31},      // the smallest kept
      {std::ldexp(1.0, -33), 0, 0},              // below 2^-31: none
  };
  for (const auto& r : rows) {
    const auto m = QuantizeMultiplier(r.real);
    ASSERT_TRUE(m.has_value()) << r.real;
    EXPECT_EQ(m->multiplier, r.multiplier) << r.real;
    EXPECT_EQ(m->shift, r.shift) << r.real;
  }
  for (double bad : {0.0, -1.0, std::nan(""), HUGE_VAL, 1073741824.0}) {
    EXPECT_FALSE(QuantizeMultiplier(bad).has_value()) << bad;
  }
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> exponent(-30, 20);
  for (int i = 0; i < 100'000; ++i) {
    const double real = std::exp2(exponent(rng));
    const auto m = QuantizeMultiplier(real);
    ASSERT_TRUE(m.has_value());
    const double back =
        std::ldexp(static_cast<double>(m->multiplier), m->shift - 31);
    ASSERT_LE(std::abs(back - real), real * std::ldexp(1.0, -30)) << real;
  }
}

TEST(FixedPoint, RequantisationIsTheComposedReferenceAndWithinOneOfExact) {
  std::mt19937 rng(4);
  std::uniform_int_distribution<int32_t> acc(-(1 << 24), 1 << 24);
  std::uniform_real_distribution<double> exponent(-20, 3);
  for (int i = 0; i < 1'000'000; ++i) {
    const int32_t x = acc(rng);
    const double real = std::exp2(exponent(rng));
    const QuantizedMultiplier m = *QuantizeMultiplier(real);
    const int left = std::max(m.shift, 0), right = std::max(-m.shift, 0);
    const int64_t shifted =
        std::clamp<int64_t>(int64_t{x} * (int64_t{1} << left), kMin, kMax);
    const int32_t reference = gemmlowp::RoundingDivideByPOT(
        gemmlowp::SaturatingRoundingDoublingHighMul(
            static_cast<int32_t>(shifted), m.multiplier),
        right);
    const int32_t got = MultiplyByQuantizedMultiplier(x, m);
    ASSERT_EQ(got, reference) << x << " × " << real;
    ASSERT_LE(std::abs(static_cast<double>(got) - x * real), 1.0 + 1e-6)
        << x << " × " << real;
  }
  // The left shift saturates instead of overflowing: 4 is 2^30 × 2^(3 −
  // 31), so x is shifted by 3 (to INT32_MAX at most), then halved.
  const QuantizedMultiplier four = *QuantizeMultiplier(4.0);
  EXPECT_EQ(four.shift, 3);
  EXPECT_EQ(MultiplyByQuantizedMultiplier(kMax, four), 1 << 30);
  EXPECT_EQ(MultiplyByQuantizedMultiplier(1 << 29, four), 1 << 30);
  EXPECT_EQ(MultiplyByQuantizedMultiplier(100, four), 400);
  EXPECT_EQ(MultiplyByQuantizedMultiplier(-100, four), -400);
}

TEST(FixedPoint, ActivationParametersHoldZeroExactly) {
  const struct {
    float min, max;
    float scale;
    int32_t zero_point;
  } rows[] = {
      // The float32 scale is a little above 2/255: −1 / scale is −127.4999…,
      // which rounds to −127, so the zero point is −1.
      {-1.0f, 1.0f, 2.0f / 255.0f, -1},      {0.0f, 6.0f, 6.0f / 255.0f, -128},
      {2.0f, 5.0f, 5.0f / 255.0f, -128},   // widened to [0, 5]
      {-3.0f, -1.0f, 3.0f / 255.0f, 127},  // widened to [−3, 0]
      {0.0f, 0.0f, 1.0f / 1048576.0f, -128},
  };
  for (const auto& r : rows) {
    const auto p = ActivationParams(r.min, r.max);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->scale, r.scale) << r.min << " " << r.max;
    EXPECT_EQ(p->zero_point, r.zero_point) << r.min << " " << r.max;
    EXPECT_EQ(Quantize(0.0, *p, -128, 127), p->zero_point);
  }
  EXPECT_FALSE(ActivationParams(-INFINITY, 1.0f).has_value());
  EXPECT_FALSE(ActivationParams(0.0f, NAN).has_value());
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> bound(-100, 100);
  for (int i = 0; i < 10'000; ++i) {
    const float a = bound(rng), b = bound(rng);
    const auto p = *ActivationParams(std::min(a, b), std::max(a, b));
    ASSERT_EQ(Quantize(0.0, p, -128, 127), p.zero_point);
    // The range's ends land within one step of the int8 ends.
    const float lo = std::min({a, b, 0.0f}), hi = std::max({a, b, 0.0f});
    ASSERT_LE(Quantize(lo, p, -128, 127), -127);
    ASSERT_GE(Quantize(hi, p, -128, 127), 126);
  }
  EXPECT_EQ(WeightScale(0.0f), 1.0f);
  EXPECT_EQ(WeightScale(12.7f), 0.1f);
  EXPECT_EQ(Quantize(1e30, {1.0f, 0}, -128, 127), 127);
  EXPECT_EQ(Quantize(-2.5, {1.0f, 0}, -128, 127), -3);
  EXPECT_EQ(Quantize(2.5, {1.0f, 0}, -128, 127), 3);
}

}  // namespace
}  // namespace sarnic::fixed_point
