// The float kernels that take a model's time (the matrix product of the
// convolutions and the dense layers, the depthwise convolution, sigmoid
// and swish), with
// versions for the instructions the machine has, chosen when first used:
// AVX-512, AVX2 with FMA, or the portable ones (Eigen's product, loops at
// the baseline x86-64 width). The binary runs on any x86-64 machine; a kernel
// is used only where the processor reports its instructions.
#ifndef SARNIC_RUNTIME_KERNELS_H_
#define SARNIC_RUNTIME_KERNELS_H_

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>

namespace sarnic::runtime {

enum class Kernels { kPortable, kAvx2, kAvx512 };

// The kernels in use: the widest the processor has, unless the environment
// variable SARNIC_KERNELS says "portable" or "avx2" (a narrower one, for
// tests and for checking the baseline path on a wider machine).
Kernels ActiveKernels();
const char* KernelsName(Kernels k);

// What is applied as C is written: a bias per column (when given), then
// a clamp: relu max(x, 0) or relu6 min(max(x, 0), 6), NaN kept. The same
// operations in the same order as adding the bias and applying the
// activation afterwards.
enum class Clamp { kNone, kRelu, kRelu6 };
struct Epilogue {
  const float* bias = nullptr;
  Clamp clamp = Clamp::kNone;
};

// B[K, N] (row-major, leading dimension ldb) prepared once for the kernels
// `k`, then multiplied by any number of A's: C[M, N] = A[M, K] × B (and the
// epilogue). Every element of C is its products summed in order of k. B
// must outlive it.
class PackedMatrix {
 public:
  PackedMatrix(Kernels k, int64_t K, int64_t N, const float* B, int64_t ldb);
  void Multiply(int64_t M, const float* A, int64_t lda, float* C, int64_t ldc,
                const Epilogue& e = {}) const;
  // The bytes the packing of a K × N matrix for `k` takes (0 for the
  // portable kernels, which read B where it is).
  static uint64_t Footprint(Kernels k, int64_t K, int64_t N);

 private:
  Kernels k_;
  int64_t K_, N_, ldb_;
  const float* B_;
  std::unique_ptr<float, decltype(&std::free)> packed_{nullptr, std::free};
};

// C[M, N] = A[M, K] × B[K, N] with the active kernels.
void Gemm(int64_t M, int64_t N, int64_t K, const float* A, int64_t lda,
          const float* B, int64_t ldb, float* C, int64_t ldc,
          const Epilogue& e = {});

// The kernels for wider instructions (kernels_x86.cc); each needs the
// processor's support, checked by the caller. The floats a packed B takes,
// its packing, and the product.
int64_t PackedFloats(Kernels k, int64_t K, int64_t N);
void Pack(Kernels k, int64_t K, int64_t N, const float* B, int64_t ldb,
          float* packed);
void MultiplyPacked(Kernels k, int64_t M, int64_t N, int64_t K, const float* A,
                    int64_t lda, const float* packed, float* C, int64_t ldc,
                    const Epilogue& e);

// Calls fn(begin, end) over [0, n) split into at most `threads` contiguous
// parts of at least `grain` each, one per thread (the caller's thread among
// them). The kernels compute every element as they would alone, so the
// results do not depend on the split.
void ParallelFor(int threads, int64_t n, int64_t grain,
                 const std::function<void(int64_t, int64_t)>& fn);

// One output row of a depthwise convolution over NHWC data (one filter per
// channel): `in` is the sample's first element, `out` the row's; the bias
// (when given) and the clamp applied as it is written.
struct DepthwiseRowArgs {
  const float* in;
  const float* w;
  float* out;
  int64_t H, W, C, KH, KW, OW, oy;
  int64_t stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w;
  const float* bias = nullptr;
  int clamp = 0;  // Clamp: 0 none, 1 relu, 2 relu6
};
void DepthwiseRow(const DepthwiseRowArgs& a);
void DepthwiseRowAvx2(const DepthwiseRowArgs& a);
void DepthwiseRowAvx512(const DepthwiseRowArgs& a);

// y = sigmoid(x) = 1 / (1 + e^−x) (e^ by ExpOf), or with `swish`
// x × sigmoid(beta x), over n elements (y may be x).
void Sigmoid(const float* x, float* y, int64_t n, float beta, bool swish);
void SigmoidAvx2(const float* x, float* y, int64_t n, float beta, bool swish);
void SigmoidAvx512(const float* x, float* y, int64_t n, float beta, bool swish);

// y = x × relu6(x + 3) / 6 over n elements (y may be x), NaN kept.
void HardSwish(const float* x, float* y, int64_t n);
void HardSwishAvx2(const float* x, float* y, int64_t n);
void HardSwishAvx512(const float* x, float* y, int64_t n);

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_KERNELS_H_
