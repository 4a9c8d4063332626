#include "runtime/kernels.h"

#include <Eigen/Core>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/exp_of.h"

namespace sarnic::runtime {

namespace {

using RowMatrix =
    Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Strided = Eigen::OuterStride<>;

Kernels Detect() {
  Kernels best = Kernels::kPortable;
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    best = Kernels::kAvx2;
  }
  if (__builtin_cpu_supports("avx512f")) best = Kernels::kAvx512;
#endif
  const char* asked = std::getenv("SARNIC_KERNELS");
  if (asked == nullptr) return best;
  if (std::strcmp(asked, "portable") == 0) return Kernels::kPortable;
  if (std::strcmp(asked, "avx2") == 0 && best != Kernels::kPortable) {
    return Kernels::kAvx2;
  }
  return best;
}

void Portable(int64_t M, int64_t N, int64_t K, const float* A, int64_t lda,
              const float* B, int64_t ldb, float* C, int64_t ldc) {
  Eigen::Map<const RowMatrix, 0, Strided> a(A, M, K, Strided(lda));
  Eigen::Map<const RowMatrix, 0, Strided> b(B, K, N, Strided(ldb));
  Eigen::Map<RowMatrix, 0, Strided> c(C, M, N, Strided(ldc));
  c.noalias() = a * b;
}

#include "runtime/depthwise_kernel.inc"
#include "runtime/sigmoid_kernel.inc"

}  // namespace

Kernels ActiveKernels() {
  static const Kernels k = Detect();
  return k;
}

const char* KernelsName(Kernels k) {
  switch (k) {
    case Kernels::kAvx512:
      return "avx512";
    case Kernels::kAvx2:
      return "avx2";
    case Kernels::kPortable:
      break;
  }
  return "portable";
}

namespace {

// At most 16 columns fill one AVX2 strip and half an AVX-512 one: the
// narrower kernel computes the same chains with no columns to waste.
Kernels PackingFor(Kernels k, int64_t N) {
  return k == Kernels::kAvx512 && N <= 16 ? Kernels::kAvx2 : k;
}

}  // namespace

uint64_t PackedMatrix::Footprint(Kernels k, int64_t K, int64_t N) {
  if (k == Kernels::kPortable || K <= 0 || N <= 0) return 0;
  return static_cast<uint64_t>(PackedFloats(PackingFor(k, N), K, N) * 4 + 63) /
         64 * 64;
}

PackedMatrix::PackedMatrix(Kernels k, int64_t K, int64_t N, const float* B,
                           int64_t ldb)
    : k_(PackingFor(k, N)), K_(K), N_(N), ldb_(ldb), B_(B) {
  const uint64_t bytes = Footprint(k_, K, N);
  if (bytes == 0) return;
  packed_.reset(static_cast<float*>(
      std::aligned_alloc(64, static_cast<std::size_t>(bytes))));
  if (!packed_) throw std::bad_alloc();
  Pack(k_, K, N, B, ldb, packed_.get());
}

void PackedMatrix::Multiply(int64_t M, const float* A, int64_t lda, float* C,
                            int64_t ldc, const Epilogue& e) const {
  if (M <= 0 || N_ <= 0) return;
  if (K_ <= 0) {
    for (int64_t i = 0; i < M; ++i)
      std::fill(C + i * ldc, C + i * ldc + N_, 0.0f);
  } else if (packed_) {
    MultiplyPacked(k_, M, N_, K_, A, lda, packed_.get(), C, ldc, e);
    return;
  } else {
    Portable(M, N_, K_, A, lda, B_, ldb_, C, ldc);
  }
  for (int64_t i = 0; i < M; ++i) {
    float* row = C + i * ldc;
    if (e.bias != nullptr) {
      for (int64_t j = 0; j < N_; ++j) row[j] += e.bias[j];
    }
    if (e.clamp == Clamp::kRelu) {
      for (int64_t j = 0; j < N_; ++j) row[j] = std::max(row[j], 0.0f);
    } else if (e.clamp == Clamp::kRelu6) {
      for (int64_t j = 0; j < N_; ++j) {
        row[j] = std::min(std::max(row[j], 0.0f), 6.0f);
      }
    }
  }
}

void Gemm(int64_t M, int64_t N, int64_t K, const float* A, int64_t lda,
          const float* B, int64_t ldb, float* C, int64_t ldc,
          const Epilogue& e) {
  PackedMatrix(ActiveKernels(), K, N, B, ldb).Multiply(M, A, lda, C, ldc, e);
}

void ParallelFor(int threads, int64_t n, int64_t grain,
                 const std::function<void(int64_t, int64_t)>& fn) {
  const int64_t parts =
      std::clamp<int64_t>(n / std::max<int64_t>(grain, 1), 1, threads);
  if (parts <= 1) {
    if (n > 0) fn(0, n);
    return;
  }
  std::vector<std::thread> workers;
  std::vector<std::exception_ptr> errors(static_cast<std::size_t>(parts));
  const auto part = [&](int64_t p) {
    try {
      fn(n * p / parts, n * (p + 1) / parts);
    } catch (...) {
      errors[static_cast<std::size_t>(p)] = std::current_exception();
    }
  };
  for (int64_t p = 1; p < parts; ++p) workers.emplace_back(part, p);
  part(0);
  for (std::thread& t : workers) t.join();
  for (const auto& e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

namespace {

// Calls the version of a kernel for the active kernels.
template <typename... Args, typename... Given>
void Dispatch(void (*portable)(Args...), void (*avx2)(Args...),
              void (*avx512)(Args...), Given&&... args) {
  switch (ActiveKernels()) {
    case Kernels::kAvx512:
      return avx512(std::forward<Given>(args)...);
    case Kernels::kAvx2:
      return avx2(std::forward<Given>(args)...);
    case Kernels::kPortable:
      break;
  }
  portable(std::forward<Given>(args)...);
}

}  // namespace

void DepthwiseRow(const DepthwiseRowArgs& a) {
  Dispatch(DepthwiseRowBody, DepthwiseRowAvx2, DepthwiseRowAvx512, a);
}

void Sigmoid(const float* x, float* y, int64_t n, float beta, bool swish) {
  Dispatch(SigmoidBody, SigmoidAvx2, SigmoidAvx512, x, y, n, beta, swish);
}

void HardSwish(const float* x, float* y, int64_t n) {
  Dispatch(HardSwishBody, HardSwishAvx2, HardSwishAvx512, x, y, n);
}

}  // namespace sarnic::runtime
