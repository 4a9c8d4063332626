// The kernels for AVX2 with FMA and for AVX-512: the one body of each
// (gemm_kernel.inc, depthwise_kernel.inc, exp_of.inc, requantise_kernel.inc,
// sigmoid_kernel.inc) compiled for each instruction set in
// a target region of its own and a namespace of its own, so that nothing
// compiled for a wider set is shared with the baseline code. The caller checks
// the processor's support (kernels.cc).
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/integer_gemm.h"
#include "runtime/kernels.h"

namespace sarnic::runtime {

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif
namespace avx2 {
namespace {
#define SARNIC_VEC __m256
#define SARNIC_W 8
#define SARNIC_ROWS 6
#define SARNIC_ZERO() _mm256_setzero_ps()
#define SARNIC_LOAD(p) _mm256_loadu_ps(p)
#define SARNIC_STORE(p, v) _mm256_storeu_ps(p, v)
#define SARNIC_BROADCAST(x) _mm256_set1_ps(x)
#define SARNIC_FMA(a, b, c) _mm256_fmadd_ps(a, b, c)
#define SARNIC_ADD(a, b) _mm256_add_ps(a, b)
#define SARNIC_MAX(a, b) _mm256_max_ps(a, b)
#define SARNIC_MIN(a, b) _mm256_min_ps(a, b)
#include "runtime/depthwise_kernel.inc"
#include "runtime/exp_of.inc"
#include "runtime/gemm_kernel.inc"
#include "runtime/requantise_kernel.inc"
#include "runtime/sigmoid_kernel.inc"

// The paired int8 products (integer_gemm.h) at AVX2 width: sixteen output
// channels in two registers for each of four patches, each pair of weights
// loaded once for the four.
void PairedSumsBody(const PackedWeights& w, const int16_t* const* patches,
                    int count, int32_t* const* sums) {
  const int16_t* p[kPairedPatches];
  for (int i = 0; i < kPairedPatches; ++i) {
    p[i] = patches[i < count ? i : count - 1];
  }
  const int64_t stride = w.channels * 2;
  for (int64_t c0 = 0; c0 < w.channels; c0 += 16) {
    __m256i acc[kPairedPatches][2];
    for (auto& a : acc) a[0] = a[1] = _mm256_setzero_si256();
    const int16_t* wp = w.data.data() + c0 * 2;
    for (int64_t kp = 0; kp < w.pairs; ++kp, wp += stride) {
      const auto* row = reinterpret_cast<const __m256i*>(wp);
      const __m256i w0 = _mm256_loadu_si256(row);
      const __m256i w1 = _mm256_loadu_si256(row + 1);
#pragma GCC unroll 4
      for (int i = 0; i < kPairedPatches; ++i) {
        int32_t v;
        std::memcpy(&v, p[i] + 2 * kp, sizeof v);
        const __m256i x = _mm256_set1_epi32(v);
        acc[i][0] = _mm256_add_epi32(acc[i][0], _mm256_madd_epi16(x, w0));
        acc[i][1] = _mm256_add_epi32(acc[i][1], _mm256_madd_epi16(x, w1));
      }
    }
    for (int i = 0; i < count; ++i) {
      auto* out = reinterpret_cast<__m256i*>(sums[i] + c0);
      _mm256_storeu_si256(out, acc[i][0]);
      _mm256_storeu_si256(out + 1, acc[i][1]);
    }
  }
}

// RequantiseBody eight channels at a time in int32 lanes: the int64 steps
// of the rule with AVX2's instructions (saturations by overflow tests, the
// 64-bit products of even and odd lanes, the division by 2^31 toward zero
// by a bias and a shift whose low 32 bits are the quotient's); the
// channels past the last eight by the plain loop.
void RequantiseEight(const RequantiseRow& q, const int32_t* sums, int64_t n,
                     int8_t* out) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i int_min = _mm256_set1_epi32(INT32_MIN);
  const __m256i int_max = _mm256_set1_epi32(INT32_MAX);
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i nudge_pos = _mm256_set1_epi64x(int64_t{1} << 30);
  const __m256i nudge_neg = _mm256_set1_epi64x(1 - (int64_t{1} << 30));
  const __m256i toward_zero = _mm256_set1_epi64x((int64_t{1} << 31) - 1);
  const __m256i low = _mm256_set1_epi32(q.lo - q.zero);
  const __m256i high = _mm256_set1_epi32(q.hi - q.zero);
  const __m256i zp = _mm256_set1_epi32(q.zero);
  // The saturated value of lanes whose sign is that of `sign` (a byte
  // blend: each lane's sign spread over its bytes first).
  const auto saturated = [&](__m256i sign) {
    return _mm256_blendv_epi8(int_max, int_min, _mm256_srai_epi32(sign, 31));
  };
  // ab / 2^31 rounded as the rule says, in the low 32 bits of each 64-bit
  // lane.
  const auto high_product = [&](__m256i ab) {
    const __m256i neg = _mm256_cmpgt_epi64(zero, ab);
    __m256i t =
        _mm256_add_epi64(ab, _mm256_blendv_epi8(nudge_pos, nudge_neg, neg));
    const __m256i t_neg = _mm256_cmpgt_epi64(zero, t);
    t = _mm256_add_epi64(t, _mm256_and_si256(t_neg, toward_zero));
    return _mm256_srli_epi64(t, 31);
  };
  // Eight channels from c, as int32.
  const auto eight = [&](int64_t c) {
    const auto at = [&](const int32_t* p) {
      return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + c));
    };
    __m256i s = at(sums);
    if (q.bias != nullptr) {
      const __m256i b = at(q.bias);
      const __m256i sum = _mm256_add_epi32(s, b);
      // Overflow: both addends of one sign, the sum of the other.
      const __m256i over =
          _mm256_and_si256(_mm256_xor_si256(s, sum), _mm256_xor_si256(b, sum));
      s = _mm256_blendv_epi8(sum, saturated(s), _mm256_srai_epi32(over, 31));
    }
    __m256i x = s;
    if (q.shifts_left) {
      const __m256i left = at(q.left);
      x = _mm256_sllv_epi32(s, left);
      const __m256i lost =
          _mm256_xor_si256(_mm256_srav_epi32(x, left), s);  // non-zero: over
      x = _mm256_blendv_epi8(x, saturated(s),
                             _mm256_xor_si256(_mm256_cmpeq_epi32(lost, zero),
                                              _mm256_set1_epi32(-1)));
    }
    const __m256i m = at(q.multiplier);
    const __m256i even = high_product(_mm256_mul_epi32(x, m));
    const __m256i odd = high_product(
        _mm256_mul_epi32(_mm256_srli_epi64(x, 32), _mm256_srli_epi64(m, 32)));
    const __m256i h =
        _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
    const __m256i right = at(q.right);
    const __m256i mask = _mm256_sub_epi32(_mm256_sllv_epi32(one, right), one);
    const __m256i threshold = _mm256_sub_epi32(_mm256_srai_epi32(mask, 1),
                                               _mm256_cmpgt_epi32(zero, h));
    const __m256i r = _mm256_sub_epi32(
        _mm256_srav_epi32(h, right),
        _mm256_cmpgt_epi32(_mm256_and_si256(h, mask), threshold));
    // clamp(r + zp, lo, hi) as zp + clamp(r, lo − zp, hi − zp): no overflow.
    return _mm256_add_epi32(_mm256_min_epi32(_mm256_max_epi32(r, low), high),
                            zp);
  };
  int64_t c = 0;
  for (; c + 16 <= n; c += 16) {
    // Values in [−128, 127]: the saturating packs keep them; the packs work
    // within 128-bit halves, so the quarters are put back in order.
    const __m256i words = _mm256_permute4x64_epi64(
        _mm256_packs_epi32(eight(c), eight(c + 8)), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c),
                     _mm_packs_epi16(_mm256_castsi256_si128(words),
                                     _mm256_extracti128_si256(words, 1)));
  }
  if (c < n) {
    RequantiseRow rest = q;
    rest.multiplier += c;
    rest.left += c;
    rest.right += c;
    if (rest.bias != nullptr) rest.bias += c;
    RequantiseBody(rest, sums + c, n - c, out + c);
  }
}
}  // namespace
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), \
                             apply_to = function)
#else
// GCC 12 reports the "undefined" source operand inside its own AVX-512
// max and min intrinsics as maybe uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif
namespace avx512 {
namespace {
#define SARNIC_VEC __m512
#define SARNIC_W 16
#define SARNIC_ROWS 8
#define SARNIC_ZERO() _mm512_setzero_ps()
#define SARNIC_LOAD(p) _mm512_loadu_ps(p)
#define SARNIC_STORE(p, v) _mm512_storeu_ps(p, v)
#define SARNIC_BROADCAST(x) _mm512_set1_ps(x)
#define SARNIC_FMA(a, b, c) _mm512_fmadd_ps(a, b, c)
#define SARNIC_ADD(a, b) _mm512_add_ps(a, b)
#define SARNIC_MAX(a, b) _mm512_max_ps(a, b)
#define SARNIC_MIN(a, b) _mm512_min_ps(a, b)
#include "runtime/depthwise_kernel.inc"
#include "runtime/exp_of.inc"
#include "runtime/gemm_kernel.inc"
#include "runtime/sigmoid_kernel.inc"
}  // namespace
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#pragma GCC diagnostic pop
#endif

void DepthwiseRowAvx2(const DepthwiseRowArgs& a) { avx2::DepthwiseRowBody(a); }
void DepthwiseRowAvx512(const DepthwiseRowArgs& a) {
  avx512::DepthwiseRowBody(a);
}

void SigmoidAvx2(const float* x, float* y, int64_t n, float beta, bool swish) {
  avx2::SigmoidBody(x, y, n, beta, swish);
}
void SigmoidAvx512(const float* x, float* y, int64_t n, float beta,
                   bool swish) {
  avx512::SigmoidBody(x, y, n, beta, swish);
}

void HardSwishAvx2(const float* x, float* y, int64_t n) {
  avx2::HardSwishBody(x, y, n);
}
void HardSwishAvx512(const float* x, float* y, int64_t n) {
  avx512::HardSwishBody(x, y, n);
}

void PairedSumsAvx2(const PackedWeights& w, const int16_t* const* patches,
                    int count, int32_t* const* sums) {
  avx2::PairedSumsBody(w, patches, count, sums);
}

void RequantiseSumsAvx2(const RequantiseRow& q, const int32_t* sums, int64_t n,
                        int8_t* out) {
  avx2::RequantiseEight(q, sums, n, out);
}

int64_t PackedFloats(Kernels k, int64_t K, int64_t N) {
  return k == Kernels::kAvx512 ? avx512::PackedFloats(K, N)
                               : avx2::PackedFloats(K, N);
}

void Pack(Kernels k, int64_t K, int64_t N, const float* B, int64_t ldb,
          float* packed) {
  if (k == Kernels::kAvx512) {
    avx512::Pack(K, N, B, ldb, packed);
  } else {
    avx2::Pack(K, N, B, ldb, packed);
  }
}

void MultiplyPacked(Kernels k, int64_t M, int64_t N, int64_t K, const float* A,
                    int64_t lda, const float* packed, float* C, int64_t ldc,
                    const Epilogue& e) {
  // The bias padded to whole strips (of 32 columns at most).
  std::vector<float> bias;
  if (e.bias != nullptr) {
    bias.assign(static_cast<std::size_t>((N + 31) / 32 * 32), 0.0f);
    std::copy(e.bias, e.bias + N, bias.begin());
  }
  const int clamp = static_cast<int>(e.clamp);
  const float* b = bias.empty() ? nullptr : bias.data();
  if (k == Kernels::kAvx512) {
    avx512::Multiply(M, N, K, A, lda, packed, C, ldc, b, clamp);
  } else {
    avx2::Multiply(M, N, K, A, lda, packed, C, ldc, b, clamp);
  }
}

}  // namespace sarnic::runtime
