// ONNX tensors read as arrays.
#ifndef SARNIC_ONNX_TENSORS_H_
#define SARNIC_ONNX_TENSORS_H_

#include <onnx/onnx_pb.h>

#include <memory>
#include <span>
#include <string>

#include "sarnic/ndarray.h"

namespace sarnic::onnx_import {

// An ONNX tensor's data as an array (float32, float64 as float32, and the
// integer types), from its raw bytes or its typed fields; `external` gives
// the bytes of data stored outside the model.
NdArray TensorArray(const onnx::TensorProto& t, const std::string& what,
                    std::span<const std::byte> external = {});

// The same over bytes kept alive by `owner` (a mapped file, the parsed
// model), viewed in place when they are aligned for the element type.
NdArray ViewTensorArray(const onnx::TensorProto& t, const std::string& what,
                        std::shared_ptr<const void> owner,
                        std::span<const std::byte> bytes);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_TENSORS_H_
