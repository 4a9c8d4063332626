// Range observers and quantised weights, worked by hand.
#include "quant/observer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "quant/weights.h"
#include "sarnic/errors.h"

namespace sarnic::quant {
namespace {

uint64_t Total(const RangeObserver& o) {
  return std::accumulate(o.bins().begin(), o.bins().end(), uint64_t{0});
}

TEST(Observer, HistogramKeepsEveryCountAsTheRangeGrowsBothWays) {
  RangeObserver o(Method::kPercentile);
  std::mt19937 rng(3);
  std::vector<float> batch(1000);
  uint64_t seen = 0;
  // A first sample of one value has no width; later ones widen the bins
  // downwards and upwards by orders of magnitude.
  for (float spread : {0.0f, 1.0f, 10.0f, 0.01f, 1000.0f}) {
    std::normal_distribution<float> d(spread > 100 ? -spread : 0.5f, spread);
    for (float& v : batch) v = spread == 0 ? 2.0f : d(rng);
    ASSERT_TRUE(o.Observe(batch));
    seen += batch.size();
    if (!o.bins().empty()) {
      EXPECT_EQ(Total(o), seen);
      EXPECT_LE(o.lo(), o.min());
      EXPECT_GE(o.lo() + o.width() * RangeObserver::kBins, o.max());
    }
  }
  EXPECT_EQ(o.bins().size(), std::size_t{RangeObserver::kBins});
}

TEST(Observer, MethodsClipFarOutliersThatMinMaxKeeps) {
  std::mt19937 rng(5);
  std::normal_distribution<float> d(0.0f, 1.0f);
  std::vector<float> values(100000);
  for (float& v : values) v = d(rng);
  values[17] = 1000.0f;  // one far outlier
  for (Method m : {Method::kMinMax, Method::kPercentile, Method::kEntropy}) {
    RangeObserver o(m);
    for (std::size_t i = 0; i < values.size(); i += 1000) {
      ASSERT_TRUE(o.Observe(std::span(values).subspan(i, 1000)));
    }
    const auto [lo, hi] = o.Range(99.99);
    EXPECT_GE(lo, o.min());
    EXPECT_LE(hi, o.max());
    if (m == Method::kMinMax) {
      EXPECT_EQ(hi, 1000.0f);
    } else {
      // Most of the normal distribution stays, the outlier goes.
      EXPECT_LT(hi, 100.0f) << static_cast<int>(m);
      EXPECT_GT(hi, 2.0f) << static_cast<int>(m);
      EXPECT_LT(lo, -2.0f) << static_cast<int>(m);
    }
  }
}

TEST(Observer, RefusesWhatIsNotFiniteAndNamesTheMethods) {
  RangeObserver o(Method::kMinMax);
  const std::vector<float> bad = {1.0f, std::numeric_limits<float>::infinity()};
  EXPECT_FALSE(o.Observe(bad));
  EXPECT_TRUE(o.empty());
  EXPECT_THROW(MethodNamed("kl"), ValueError);
  EXPECT_EQ(MethodNamed("entropy"), Method::kEntropy);
}

TEST(Weights, PerChannelScalesOnTheLastAxisAndAnInt32Bias) {
  // Two output channels on the last axis: [0.5, -1.0 | 0, 0] as [2, 2].
  const NdArray w =
      NdArray::FromValues<float>(DType::kFloat32, {2, 2}, {0.5f, 0, -1.0f, 0});
  const NdArray b =
      NdArray::FromValues<float>(DType::kFloat32, {2}, {0.3f, -2});
  const QuantizedWeights q = QuantizeWeights(w, &b, 0.1f);
  ASSERT_EQ(q.weight_scales.size(), 2u);
  EXPECT_FLOAT_EQ(q.weight_scales[0], 1.0f / 127.0f);
  EXPECT_EQ(q.weight_scales[1], 1.0f);  // a channel of zeros
  const auto* qw = reinterpret_cast<const int8_t*>(q.weights.data());
  EXPECT_EQ(qw[0], 64);  // 0.5 × 127, halves away from zero
  EXPECT_EQ(qw[2], -127);
  EXPECT_EQ(qw[1], 0);
  const auto* qb = reinterpret_cast<const int32_t*>(q.bias.data());
  EXPECT_EQ(qb[0], 381);  // 0.3 / (0.1 / 127)
  EXPECT_EQ(qb[1], -20);  // −2 / (0.1 × 1)
  EXPECT_TRUE(q.notes.empty());
}

TEST(Weights, ABiasBeyondInt32GrowsItsChannelsScaleAndSaysSo) {
  const NdArray w =
      NdArray::FromValues<float>(DType::kFloat32, {1, 1}, {1e-6f});
  const NdArray b = NdArray::FromValues<float>(DType::kFloat32, {1}, {1e6f});
  const QuantizedWeights q = QuantizeWeights(w, &b, 1e-4f);
  ASSERT_EQ(q.notes.size(), 1u);
  EXPECT_NE(q.notes[0].find("channel 0"), std::string::npos);
  const auto qb = reinterpret_cast<const int32_t*>(q.bias.data())[0];
  EXPECT_GT(qb, 2000000000);  // near the top of int32, not clipped to it
  EXPECT_LT(qb, std::numeric_limits<int32_t>::max());
  const double real = static_cast<double>(q.bias_scales[0]) * qb;
  EXPECT_NEAR(real, 1e6, 1e6 * 1e-5);
}

}  // namespace
}  // namespace sarnic::quant
