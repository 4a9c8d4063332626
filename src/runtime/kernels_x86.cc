// The kernels for AVX2 with FMA and for AVX-512: the one body of each
// (gemm_kernel.inc, depthwise_kernel.inc, exp_of.inc,
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
#include "runtime/sigmoid_kernel.inc"
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
