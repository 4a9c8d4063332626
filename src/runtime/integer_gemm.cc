#include "runtime/integer_gemm.h"

#include <cstring>

#include "runtime/kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sarnic::runtime {

PackedWeights PackWeights(const int8_t* w, int64_t K, int64_t CO) {
  PackedWeights p;
  p.pairs = (K + 1) / 2;
  p.channels = (CO + 15) / 16 * 16;
  p.data.assign(static_cast<std::size_t>(p.pairs * p.channels * 2), 0);
  for (int64_t k = 0; k < K; ++k) {
    for (int64_t oc = 0; oc < CO; ++oc) {
      p.data[static_cast<std::size_t>(((k / 2) * p.channels + oc) * 2 +
                                      k % 2)] = w[k * CO + oc];
    }
  }
  return p;
}

#if defined(__SSE2__)

bool HasPairedProducts() { return true; }

namespace {

__m128i Pair(const int16_t* patch, int64_t kp) {
  int32_t v;
  std::memcpy(&v, patch + 2 * kp, sizeof v);
  return _mm_set1_epi32(v);
}

// Two patches at a time (the second may be null).
void PairedSums2(const PackedWeights& w, const int16_t* p, const int16_t* q,
                 int32_t* sums_p, int32_t* sums_q) {
  const int64_t stride = w.channels * 2;
  for (int64_t c0 = 0; c0 < w.channels; c0 += 16) {
    __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
    __m128i b0 = a0, b1 = a0, b2 = a0, b3 = a0;
    const int16_t* wp = w.data.data() + c0 * 2;
    for (int64_t kp = 0; kp < w.pairs; ++kp, wp += stride) {
      const auto* row = reinterpret_cast<const __m128i*>(wp);
      const __m128i w0 = _mm_loadu_si128(row), w1 = _mm_loadu_si128(row + 1);
      const __m128i w2 = _mm_loadu_si128(row + 2),
                    w3 = _mm_loadu_si128(row + 3);
      const __m128i x = Pair(p, kp);
      a0 = _mm_add_epi32(a0, _mm_madd_epi16(x, w0));
      a1 = _mm_add_epi32(a1, _mm_madd_epi16(x, w1));
      a2 = _mm_add_epi32(a2, _mm_madd_epi16(x, w2));
      a3 = _mm_add_epi32(a3, _mm_madd_epi16(x, w3));
      if (q != nullptr) {
        const __m128i y = Pair(q, kp);
        b0 = _mm_add_epi32(b0, _mm_madd_epi16(y, w0));
        b1 = _mm_add_epi32(b1, _mm_madd_epi16(y, w1));
        b2 = _mm_add_epi32(b2, _mm_madd_epi16(y, w2));
        b3 = _mm_add_epi32(b3, _mm_madd_epi16(y, w3));
      }
    }
    auto* out = reinterpret_cast<__m128i*>(sums_p + c0);
    _mm_storeu_si128(out, a0);
    _mm_storeu_si128(out + 1, a1);
    _mm_storeu_si128(out + 2, a2);
    _mm_storeu_si128(out + 3, a3);
    if (q != nullptr) {
      auto* out_q = reinterpret_cast<__m128i*>(sums_q + c0);
      _mm_storeu_si128(out_q, b0);
      _mm_storeu_si128(out_q + 1, b1);
      _mm_storeu_si128(out_q + 2, b2);
      _mm_storeu_si128(out_q + 3, b3);
    }
  }
}

}  // namespace

#else

bool HasPairedProducts() { return false; }

namespace {

void PairedSums2(const PackedWeights& w, const int16_t* p, const int16_t* q,
                 int32_t* sums_p, int32_t* sums_q) {
  for (const int16_t* patch : {p, q}) {
    if (patch == nullptr) continue;
    int32_t* sums = patch == p ? sums_p : sums_q;
    for (int64_t c = 0; c < w.channels; ++c) {
      int32_t s = 0;
      for (int64_t k = 0; k < 2 * w.pairs; ++k) {
        s += patch[k] * w.data[static_cast<std::size_t>(
                            ((k / 2) * w.channels + c) * 2 + k % 2)];
      }
      sums[c] = s;
    }
  }
}

}  // namespace

#endif

void PairedSums(const PackedWeights& w, const int16_t* const* patches,
                int count, int32_t* const* sums) {
  if (ActiveKernels() != Kernels::kPortable) {
    PairedSumsAvx2(w, patches, count, sums);
    return;
  }
  for (int i = 0; i < count; i += 2) {
    const bool two = i + 1 < count;
    PairedSums2(w, patches[i], two ? patches[i + 1] : nullptr, sums[i],
                two ? sums[i + 1] : nullptr);
  }
}

namespace {
#include "runtime/requantise_kernel.inc"
}  // namespace

void RequantiseSums(const RequantiseRow& q, const int32_t* sums, int64_t n,
                    int8_t* out) {
  if (ActiveKernels() != Kernels::kPortable) {
    RequantiseSumsAvx2(q, sums, n, out);
    return;
  }
  RequantiseBody(q, sums, n, out);
}

}  // namespace sarnic::runtime
