// NumPy broadcasting of two operands over an output, for the element-wise
// kernels of every element type.
#ifndef SARNIC_RUNTIME_BROADCAST_H_
#define SARNIC_RUNTIME_BROADCAST_H_

#include <cstdint>
#include <vector>

#include "sarnic/ndarray.h"

namespace sarnic::runtime {

// Element strides of `shape` aligned at the last dimension of a result of
// `rank` dimensions; a dimension of 1 that is broadcast gets stride 0.
inline std::vector<int64_t> BroadcastStrides(const Shape& shape,
                                             std::size_t rank) {
  std::vector<int64_t> strides(rank, 0);
  int64_t stride = 1;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const std::size_t s = shape.size() - 1 - i, r = rank - 1 - i;
    strides[r] = shape[s] == 1 ? 0 : stride;
    stride *= shape[s];
  }
  return strides;
}

// Calls fn(out_index, a_index, b_index) for every element of `out`.
template <typename Fn>
void ForEachBroadcast(const Shape& out, const Shape& a, const Shape& b,
                      Fn&& fn) {
  const std::size_t rank = out.size();
  if (rank == 0) return fn(0, 0, 0);
  const auto sa = BroadcastStrides(a, rank), sb = BroadcastStrides(b, rank);
  std::vector<int64_t> index(rank, 0);
  const int64_t inner = out[rank - 1];
  int64_t rows = 1;
  for (std::size_t d = 0; d + 1 < rank; ++d) rows *= out[d];
  int64_t o = 0;
  for (int64_t r = 0; r < rows; ++r) {
    int64_t ia = 0, ib = 0;
    for (std::size_t d = 0; d + 1 < rank; ++d) {
      ia += index[d] * sa[d];
      ib += index[d] * sb[d];
    }
    // The common strides of the last axis get loops of their own, which
    // the compiler can vectorise.
    const int64_t ka = sa[rank - 1], kb = sb[rank - 1];
    if (ka == 1 && kb == 0) {
      for (int64_t j = 0; j < inner; ++j) fn(o + j, ia + j, ib);
    } else if (ka == 0 && kb == 1) {
      for (int64_t j = 0; j < inner; ++j) fn(o + j, ia, ib + j);
    } else if (ka == 1 && kb == 1) {
      for (int64_t j = 0; j < inner; ++j) fn(o + j, ia + j, ib + j);
    } else {
      for (int64_t j = 0; j < inner; ++j) fn(o + j, ia + j * ka, ib + j * kb);
    }
    o += inner;
    for (std::size_t d = rank - 1; d-- > 0;) {
      if (++index[d] < out[d]) break;
      index[d] = 0;
    }
  }
}

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_BROADCAST_H_
