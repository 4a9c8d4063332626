// What the integer kernels share: each tensor's one scale and zero point,
// the multipliers of the requantisation, and the kernels over filters and
// matrices (integer_linear.cc).
#ifndef SARNIC_RUNTIME_INTEGER_H_
#define SARNIC_RUNTIME_INTEGER_H_

#include <span>

#include "runtime/semantics.h"
#include "sarnic/fixed_point.h"

namespace sarnic::runtime {

// The one scale and zero point of an int8 tensor written by `of`, read by
// layer `v` (a failure naming both otherwise).
fixed_point::QuantParams TensorParams(const LayerView& v,
                                      const snxf::Layer& of);
// Every tensor of the layer is int8 with one scale and zero point.
void PerTensor(const LayerView& v, std::span<const snxf::Layer* const> in,
               std::span<const DType> dtypes);
// Input `i` holds `want` data (a failure naming it otherwise).
void RequireType(const LayerView& v, std::span<const snxf::Layer* const> in,
                 std::span<const DType> dtypes, std::size_t i, DType want,
                 const char* what);
// The requantisation multiplier of `real`, or a failure naming the layer.
fixed_point::QuantizedMultiplier Multiplier(const LayerView& v, double real);

// conv2d (grouped and depthwise) and dense of int8 activations, int8
// weights with one scale per output channel and an int32 bias.
void Int8Conv(const KernelContext& c);
void Int8Dense(const KernelContext& c);
void Int8WeightedCheck(const LayerView& v,
                       std::span<const snxf::Layer* const> in,
                       std::span<const DType> dtypes);
// pool2d of int8 activations (pooling.cc): the output's scale and zero
// point are its input's.
void Int8Pool(const KernelContext& c);
void SameParamsCheck(const LayerView& v, std::span<const snxf::Layer* const> in,
                     std::span<const DType> dtypes);
extern const char kInt8PoolMeaning[];
// pad and nearest resize of int8 (pooling.cc), reduce_mean (layout.cc):
// the output keeps its input's parameters.
void Int8Pad(const KernelContext& c);
void Int8Resize(const KernelContext& c);
void Int8ResizeCheck(const LayerView& v, std::span<const snxf::Layer* const> in,
                     std::span<const DType> dtypes);
void Int8ReduceMean(const KernelContext& c);
extern const char kInt8PadMeaning[];
extern const char kInt8ResizeMeaning[];
extern const char kInt8ReduceMeanMeaning[];
// shuffle, slice and concat of int8 (layout.cc): the elements moved.
KernelFn Int8Shuffle();
KernelFn Int8Slice();
KernelFn Int8Concat();
extern const char kInt8MoveMeaning[];
extern const char kInt8ConvMeaning[];
extern const char kInt8DenseMeaning[];

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_INTEGER_H_
