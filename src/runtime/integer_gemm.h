// Int8 products by pairs of int16: the sums of an ordinary convolution
// taken over a patch of (q − zp) values and weights packed as int16 pairs,
// so that one multiply-add instruction of x86-64's baseline (SSE2) adds two
// products for each of four output channels. The sums are exact int32 sums,
// the same as the plain loops'.
#ifndef SARNIC_RUNTIME_INTEGER_GEMM_H_
#define SARNIC_RUNTIME_INTEGER_GEMM_H_

#include <cstdint>
#include <vector>

namespace sarnic::runtime {

// Weights [K, CO] (int8, output channels innermost) as int16 pairs: entry
// ((k / 2) × channels + oc) × 2 + k % 2, channels CO rounded up to 16 and
// K to even, the rest zero.
struct PackedWeights {
  std::vector<int16_t> data;
  int64_t pairs = 0, channels = 0;
};
PackedWeights PackWeights(const int8_t* w, int64_t K, int64_t CO);

// Whether this build has the paired kernel (x86-64 always does).
bool HasPairedProducts();

// sums[i][c] for c < w.channels, of patches[i] (2 × w.pairs int16 each)
// for i < count (at most kPairedPatches), each the exact sum over k of
// patch[k] × weight[k][c]. Each |patch[k] × weight| stays below 2^15 and
// the caller keeps the sums within int32. Integer sums: the same at every
// instruction set (AVX2 where the machine has it, SSE2 otherwise).
constexpr int kPairedPatches = 4;
void PairedSums(const PackedWeights& w, const int16_t* const* patches,
                int count, int32_t* const* sums);
void PairedSumsAvx2(const PackedWeights& w, const int16_t* const* patches,
                    int count, int32_t* const* sums);

// The requantisation of one row of sums, channel c by multiplier[c],
// left[c] and right[c] (a fixed_point::QuantizedMultiplier's multiplier,
// max(shift, 0) and max(−shift, 0)), with the bias (when not null), the
// zero point and the clamp of the fused activation.
struct RequantiseRow {
  const int32_t* multiplier;
  const int32_t* left;
  const int32_t* right;
  const int32_t* bias;
  int32_t zero, lo, hi;
  bool shifts_left;  // whether any left[c] is above 0
};
void RequantiseSums(const RequantiseRow& q, const int32_t* sums, int64_t n,
                    int8_t* out);
void RequantiseSumsAvx2(const RequantiseRow& q, const int32_t* sums, int64_t n,
                        int8_t* out);

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_INTEGER_GEMM_H_
