// The matrix product's kernels for wider instructions against the portable
// one and against fused multiply-add chains in order of k, over the shapes
// where blocking and edges could go wrong, with the bias and clamps
// applied as the products are written.
#include "runtime/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "runtime/exp_of.h"
#include "runtime/integer_gemm.h"
#include "sarnic/fixed_point.h"

namespace sarnic::runtime {
namespace {

bool Supported(Kernels k) {
  switch (k) {
    case Kernels::kAvx512:
      return __builtin_cpu_supports("avx512f");
    case Kernels::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Kernels::kPortable:
      break;
  }
  return true;
}

struct Case {
  int64_t M, N, K, extra;  // extra: leading dimensions past the row
  Clamp clamp;
  bool bias;
};

class Kernel : public testing::TestWithParam<Case> {};

// C with the kernels `k` (or, with `chains`, each element a std::fma chain
// in order of k, then the bias and the clamp), A and B random in [−1, 1]
// (A's element (1, 0) NaN when asked), the rows of each matrix `extra`
// elements longer.
std::vector<float> Product(Kernels k, const Case& c, bool nan,
                           bool chains = false) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-1, 1);
  const int64_t lda = c.K + c.extra, ldb = c.N + c.extra, ldc = c.N + c.extra;
  std::vector<float> a(static_cast<std::size_t>(c.M * lda)),
      b(static_cast<std::size_t>(c.K * ldb)),
      bias(static_cast<std::size_t>(c.N));
  for (float& v : a) v = d(rng);
  for (float& v : b) v = d(rng);
  for (float& v : bias) v = 4 * d(rng);
  if (nan && c.M > 1) a[static_cast<std::size_t>(lda)] = std::nanf("");
  std::vector<float> out(static_cast<std::size_t>(c.M * ldc), -7.0f);
  if (chains) {
    for (int64_t i = 0; i < c.M; ++i) {
      for (int64_t j = 0; j < c.N; ++j) {
        float acc = 0;
        for (int64_t q = 0; q < c.K; ++q) {
          acc = std::fma(a[static_cast<std::size_t>(i * lda + q)],
                         b[static_cast<std::size_t>(q * ldb + j)], acc);
        }
        if (c.bias) acc += bias[static_cast<std::size_t>(j)];
        if (c.clamp != Clamp::kNone) acc = std::max(acc, 0.0f);
        if (c.clamp == Clamp::kRelu6) acc = std::min(acc, 6.0f);
        out[static_cast<std::size_t>(i * ldc + j)] = acc;
      }
    }
    return out;
  }
  PackedMatrix(k, c.K, c.N, b.data(), ldb)
      .Multiply(c.M, a.data(), lda, out.data(), ldc,
                {c.bias ? bias.data() : nullptr, c.clamp});
  return out;
}

TEST_P(Kernel, AgreesWithThePortableProductAndWithFusedChainsInOrderOfK) {
  const Case c = GetParam();
  const std::vector<float> portable = Product(Kernels::kPortable, c, false);
  const std::vector<float> chains = Product(Kernels::kPortable, c, false, true);
  for (const Kernels k : {Kernels::kAvx2, Kernels::kAvx512}) {
    if (!Supported(k)) continue;
    const std::vector<float> got = Product(k, c, false);
    const int64_t ldc = c.N + c.extra;
    for (int64_t i = 0; i < c.M; ++i) {
      for (int64_t j = 0; j < ldc; ++j) {
        const std::size_t at = static_cast<std::size_t>(i * ldc + j);
        if (j >= c.N) {  // past the row: untouched
          ASSERT_EQ(got[at], -7.0f);
          continue;
        }
        ASSERT_NEAR(got[at], portable[at],
                    2e-6f * static_cast<float>(c.K) + 1e-6f)
            << KernelsName(k) << " at " << i << ", " << j;
      }
    }
    // Every element is one chain of fused multiply-adds in order of k,
    // whatever the vector width and blocking.
    ASSERT_EQ(got, chains) << KernelsName(k);
  }
}

TEST_P(Kernel, KeepsNanThroughTheClamp) {
  const Case c = GetParam();
  if (c.M < 2) return;
  for (const Kernels k :
       {Kernels::kPortable, Kernels::kAvx2, Kernels::kAvx512}) {
    if (!Supported(k)) continue;
    const std::vector<float> got = Product(k, c, true);
    const int64_t ldc = c.N + c.extra;
    for (int64_t j = 0; j < c.N; ++j) {
      EXPECT_TRUE(std::isnan(got[static_cast<std::size_t>(ldc + j)]))
          << KernelsName(k) << " column " << j;
    }
    for (int64_t j = 0; j < c.N && c.clamp != Clamp::kNone; ++j) {
      const float v = got[static_cast<std::size_t>(j)];
      EXPECT_TRUE(v >= 0.0f && (c.clamp == Clamp::kRelu || v <= 6.0f)) << v;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Kernel,
    testing::Values(Case{1, 1, 1, 0, Clamp::kNone, false},
                    Case{7, 15, 3, 2, Clamp::kRelu, true},
                    Case{9, 17, 255, 0, Clamp::kNone, true},
                    Case{13, 33, 256, 5, Clamp::kRelu6, true},
                    Case{8, 32, 257, 0, Clamp::kRelu, false},
                    Case{50, 64, 600, 3, Clamp::kNone, false},
                    Case{6, 100, 9, 0, Clamp::kRelu6, false},
                    Case{3, 512, 40, 1, Clamp::kNone, true}));

TEST(Kernels, ThePortableOnesAreChosenWhenAsked) {
  // The choice is made once per process from SARNIC_KERNELS (the tests of
  // whole models run the tools with each); here only its names.
  EXPECT_STREQ(KernelsName(Kernels::kPortable), "portable");
  EXPECT_STREQ(KernelsName(Kernels::kAvx512), "avx512");
}

}  // namespace
}  // namespace sarnic::runtime

namespace sarnic::runtime {
namespace {

TEST(Kernels, HardSwishIsTheSameBitsAtEveryWidth) {
  std::vector<float> x;
  for (float v = -8.0f; v <= 8.0f; v += 0.013f) x.push_back(v);
  for (const float v :
       {-3.0f, 3.0f, 0.0f, -0.0f, 1e30f, std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::quiet_NaN()}) {
    x.push_back(v);
  }
  const auto n = static_cast<int64_t>(x.size());
  std::vector<float> want(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    want[i] = x[i] * std::min(std::max(x[i] + 3.0f, 0.0f), 6.0f) / 6.0f;
  }
  for (const Kernels k :
       {Kernels::kPortable, Kernels::kAvx2, Kernels::kAvx512}) {
    if (!Supported(k)) continue;
    std::vector<float> got = x;  // in place
    if (k == Kernels::kPortable) {
      if (ActiveKernels() != Kernels::kPortable) continue;
      HardSwish(got.data(), got.data(), n);
    } else {
      (k == Kernels::kAvx2 ? HardSwishAvx2 : HardSwishAvx512)(got.data(),
                                                              got.data(), n);
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (std::isnan(want[i])) {
        EXPECT_TRUE(std::isnan(got[i])) << KernelsName(k);
      } else {
        EXPECT_EQ(got[i], want[i]) << KernelsName(k) << " at " << x[i];
      }
    }
  }
  EXPECT_EQ(want[want.size() - 7], 0.0f);          // x = −3
  EXPECT_EQ(want[want.size() - 6], 3.0f);          // x = 3
  EXPECT_TRUE(std::isinf(want[want.size() - 2]));  // ∞ × 6 / 6
}

TEST(Kernels, SigmoidAndSwishAreTheSameBitsAtEveryWidth) {
  std::vector<float> x;
  for (float v = -100.0f; v <= 100.0f; v += 0.37f) x.push_back(v);
  for (const float v : {0.0f, -0.0f, 88.5f, -88.5f, 1e-30f,
                        std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN()}) {
    x.push_back(v);
  }
  const auto n = static_cast<int64_t>(x.size());
  for (const bool swish : {false, true}) {
    std::vector<float> want(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      const float s = 1.0f / (1.0f + ExpOf(-(swish ? 1.5f * x[i] : x[i])));
      want[i] = swish ? x[i] * s : s;
      if (std::isfinite(x[i]) && std::fabs(x[i]) < 80) {  // e^ within 1 ulp
        const double exact =
            1 /
            (1 + std::exp(-static_cast<double>(swish ? 1.5f * x[i] : x[i])));
        EXPECT_NEAR(s, exact, 2e-7 * exact + 1e-38) << x[i];
      }
    }
    EXPECT_EQ(want[x.size() - 3],
              swish ? std::numeric_limits<float>::infinity() : 1.0f);
    // −inf × sigmoid(−inf) = −inf × 0: NaN, as the product in a graph gives.
    if (swish) {
      EXPECT_TRUE(std::isnan(want[x.size() - 2]));
    } else {
      EXPECT_EQ(want[x.size() - 2], 0.0f);
    }
    EXPECT_TRUE(std::isnan(want.back()));
    for (const Kernels k : {Kernels::kAvx2, Kernels::kAvx512}) {
      if (!Supported(k)) continue;
      std::vector<float> got = x;  // in place, as a planned layer may be
      (k == Kernels::kAvx2 ? SigmoidAvx2 : SigmoidAvx512)(
          got.data(), got.data(), n, swish ? 1.5f : 1.0f, swish);
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::isnan(want[i])) {
          EXPECT_TRUE(std::isnan(got[i]));
        } else {
          EXPECT_EQ(got[i], want[i]) << KernelsName(k) << " at " << x[i];
        }
      }
    }
  }
}

}  // namespace
}  // namespace sarnic::runtime

namespace sarnic::runtime {
namespace {

// A depthwise convolution's output row as the kernels declare it: per
// channel the products in order of kh then kw, each rounded and added to a
// sum from 0, then the bias and the clamp.
struct DepthwiseCase {
  int64_t C, KH, KW, stride, dilation, pad;
  Clamp clamp;
};

class Depthwise : public testing::TestWithParam<DepthwiseCase> {};

TEST_P(Depthwise, EveryWidthGivesTheDeclaredSumsBitForBit) {
  const DepthwiseCase c = GetParam();
  const int64_t H = 7, W = 19;
  const int64_t OW =
      (W + 2 * c.pad - c.dilation * (c.KW - 1) - 1) / c.stride + 1;
  const int64_t OH =
      (H + 2 * c.pad - c.dilation * (c.KH - 1) - 1) / c.stride + 1;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> d(-1, 1);
  std::vector<float> in(static_cast<std::size_t>(H * W * c.C)),
      w(static_cast<std::size_t>(c.KH * c.KW * c.C)),
      bias(static_cast<std::size_t>(c.C));
  for (float& v : in) v = d(rng);
  for (float& v : w) v = d(rng);
  for (float& v : bias) v = 4 * d(rng);
  in[5] = std::nanf("");
  const auto at = [](std::vector<float>& v, int64_t i) -> float& {
    return v[static_cast<std::size_t>(i)];
  };
  for (const Kernels k :
       {Kernels::kPortable, Kernels::kAvx2, Kernels::kAvx512}) {
    if (!Supported(k)) continue;
    for (int64_t oy = 0; oy < OH; ++oy) {
      std::vector<float> got(static_cast<std::size_t>(OW * c.C), -7.0f);
      const DepthwiseRowArgs a{
          in.data(),  w.data(),    got.data(),
          H,          W,           c.C,
          c.KH,       c.KW,        OW,
          oy,         c.stride,    c.stride,
          c.pad,      c.pad,       c.dilation,
          c.dilation, bias.data(), static_cast<int>(c.clamp)};
      if (k == Kernels::kAvx2) {
        DepthwiseRowAvx2(a);
      } else if (k == Kernels::kAvx512) {
        DepthwiseRowAvx512(a);
      } else if (ActiveKernels() == Kernels::kPortable) {
        DepthwiseRow(a);
      } else {
        continue;
      }
      for (int64_t ox = 0; ox < OW; ++ox) {
        for (int64_t ch = 0; ch < c.C; ++ch) {
          float sum = 0.0f;
          for (int64_t kh = 0; kh < c.KH; ++kh) {
            const int64_t iy = oy * c.stride - c.pad + kh * c.dilation;
            for (int64_t kw = 0; kw < c.KW; ++kw) {
              const int64_t ix = ox * c.stride - c.pad + kw * c.dilation;
              if (iy < 0 || iy >= H || ix < 0 || ix >= W) continue;
              const float p = at(in, (iy * W + ix) * c.C + ch) *
                              at(w, (kh * c.KW + kw) * c.C + ch);
              sum = sum + p;
            }
          }
          sum = sum + at(bias, ch);
          if (c.clamp != Clamp::kNone) sum = std::max(sum, 0.0f);
          if (c.clamp == Clamp::kRelu6) sum = std::min(sum, 6.0f);
          const float g = at(got, ox * c.C + ch);
          if (std::isnan(sum)) {
            EXPECT_TRUE(std::isnan(g)) << KernelsName(k);
          } else {
            ASSERT_EQ(g, sum) << KernelsName(k) << " row " << oy << " position "
                              << ox << " channel " << ch;
          }
        }
      }
    }
  }
}

// Channel counts with whole vectors, fours and single channels left over;
// windows that run past every edge; strides and dilations that leave the
// eight-position runs short.
INSTANTIATE_TEST_SUITE_P(
    Shapes, Depthwise,
    testing::Values(DepthwiseCase{16, 3, 3, 1, 1, 1, Clamp::kNone},
                    DepthwiseCase{21, 3, 3, 1, 1, 1, Clamp::kRelu6},
                    DepthwiseCase{40, 3, 3, 2, 1, 1, Clamp::kRelu},
                    DepthwiseCase{3, 5, 5, 1, 1, 2, Clamp::kNone},
                    DepthwiseCase{72, 5, 5, 2, 1, 2, Clamp::kRelu6},
                    DepthwiseCase{37, 3, 3, 1, 2, 2, Clamp::kNone},
                    DepthwiseCase{8, 3, 1, 1, 1, 0, Clamp::kRelu},
                    DepthwiseCase{33, 1, 9, 3, 1, 4, Clamp::kNone}));

}  // namespace
}  // namespace sarnic::runtime

namespace sarnic::runtime {
namespace {

// The int8 row kernels at AVX2 width against the integer rule itself:
// requantisation (saturations at both ends, every shift, multipliers of 0)
// and the paired sums of one to four patches.
TEST(IntegerKernels, RequantisationIsTheRuleBitForBit) {
  if (!Supported(Kernels::kAvx2)) GTEST_SKIP() << "no AVX2";
  std::mt19937 rng(5);
  constexpr int64_t kN = 203;
  std::vector<int32_t> sums(kN), bias(kN), multiplier(kN), left(kN), right(kN);
  std::vector<fixed_point::QuantizedMultiplier> m(kN);
  const int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -1,       0,
                              1,         INT32_MAX - 1, INT32_MAX};
  for (int trial = 0; trial < 200; ++trial) {
    for (int64_t c = 0; c < kN; ++c) {
      const auto pick = [&](int32_t spread) {
        return rng() % 4 == 0
                   ? extremes[rng() % 7]
                   : static_cast<int32_t>(rng() % (2 * spread + 1)) - spread;
      };
      sums[c] = pick(trial % 2 ? 1 << 20 : INT32_MAX / 2);
      bias[c] = pick(1 << 16);
      const double real =
          std::ldexp(0.5 + static_cast<double>(rng() % 1000) / 2000.0,
                     static_cast<int>(rng() % 40) - (trial % 2 ? 40 : 32));
      m[c] = rng() % 50 == 0 ? fixed_point::QuantizedMultiplier{}
                             : *fixed_point::QuantizeMultiplier(real);
      multiplier[c] = m[c].multiplier;
      left[c] = std::max(m[c].shift, 0);
      right[c] = std::max(-m[c].shift, 0);
    }
    const int32_t zero = static_cast<int32_t>(rng() % 256) - 128;
    const int32_t lo = trial % 3 == 0 ? -128 : std::max(-128, zero);
    const int32_t hi = trial % 5 == 0 ? std::min(127, zero + 40) : 127;
    for (const bool with_bias : {true, false}) {
      // Every multiplier below 1 (no left shift) on odd trials.
      const bool shifts_left = std::any_of(left.begin(), left.end(),
                                           [](int32_t l) { return l > 0; });
      EXPECT_EQ(shifts_left, trial % 2 == 0) << "trial " << trial;
      const RequantiseRow q{multiplier.data(),
                            left.data(),
                            right.data(),
                            with_bias ? bias.data() : nullptr,
                            zero,
                            lo,
                            hi,
                            shifts_left};
      std::vector<int8_t> got(kN);
      RequantiseSumsAvx2(q, sums.data(), kN, got.data());
      for (int64_t c = 0; c < kN; ++c) {
        const int64_t s = std::clamp<int64_t>(
            int64_t{sums[c]} + (with_bias ? bias[c] : 0), INT32_MIN, INT32_MAX);
        const int64_t want = std::clamp<int64_t>(
            int64_t{fixed_point::MultiplyByQuantizedMultiplier(
                static_cast<int32_t>(s), m[c])} +
                zero,
            lo, hi);
        ASSERT_EQ(got[c], want)
            << "trial " << trial << " channel " << c << " sum " << sums[c]
            << " shift " << m[c].shift << " bias " << (with_bias ? bias[c] : 0);
      }
    }
  }
}

TEST(IntegerKernels, PairedSumsOfOneToFourPatches) {
  if (!Supported(Kernels::kAvx2)) GTEST_SKIP() << "no AVX2";
  std::mt19937 rng(6);
  const int64_t K = 37, CO = 21;
  std::vector<int8_t> w(K * CO);
  for (auto& v : w)
    v = static_cast<int8_t>(static_cast<int>(rng() % 256) - 128);
  const PackedWeights packed = PackWeights(w.data(), K, CO);
  std::vector<std::vector<int16_t>> patches(
      kPairedPatches, std::vector<int16_t>(2 * packed.pairs, 0));
  for (auto& p : patches) {
    for (int64_t k = 0; k < K; ++k) {
      p[k] = static_cast<int16_t>(static_cast<int>(rng() % 511) - 255);
    }
  }
  for (int count = 1; count <= kPairedPatches; ++count) {
    std::vector<std::vector<int32_t>> sums(
        kPairedPatches, std::vector<int32_t>(packed.channels, -1));
    const int16_t* in[kPairedPatches];
    int32_t* out[kPairedPatches];
    for (int i = 0; i < kPairedPatches; ++i) {
      in[i] = patches[i].data();
      out[i] = sums[i].data();
    }
    PairedSumsAvx2(packed, in, count, out);
    for (int i = 0; i < kPairedPatches; ++i) {
      for (int64_t oc = 0; oc < CO; ++oc) {
        int32_t want = 0;
        for (int64_t k = 0; k < K; ++k) want += patches[i][k] * w[k * CO + oc];
        if (i < count) {
          ASSERT_EQ(sums[i][oc], want)
              << count << " patches, " << i << ", " << oc;
        } else {
          EXPECT_EQ(sums[i][oc], -1) << "patch " << i << " is not asked for";
        }
      }
    }
  }
}

}  // namespace
}  // namespace sarnic::runtime
