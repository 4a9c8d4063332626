// ONNX tensors as arrays: float32, float64 read as float32, and the
// integer types, from raw bytes (viewed in place when aligned) or from the
// typed fields.
#include "onnx/tensors.h"

#include <cstring>

#include "sarnic/errors.h"

namespace sarnic::onnx_import {

namespace {

template <typename T>
NdArray FromTyped(DType dtype, const Shape& shape, const auto& values,
                  int64_t count, const std::string& what) {
  if (static_cast<int64_t>(values.size()) != count) {
    throw FormatError(what, "",
                      "holds " + std::to_string(values.size()) +
                          " values for a shape of " + std::to_string(count));
  }
  NdArray a = NdArray::Zeros(dtype, shape);
  T* out = reinterpret_cast<T*>(a.mutable_data());
  for (int64_t i = 0; i < count; ++i)
    out[i] = static_cast<T>(values[static_cast<int>(i)]);
  return a;
}

DType DTypeOf(int type, const std::string& what) {
  switch (type) {
    case onnx::TensorProto::FLOAT:
    case onnx::TensorProto::DOUBLE:  // read as float32: the model holds it
      return DType::kFloat32;
    case onnx::TensorProto::INT64:
      return DType::kInt64;
    case onnx::TensorProto::INT32:
      return DType::kInt32;
    case onnx::TensorProto::INT8:
      return DType::kInt8;
    case onnx::TensorProto::UINT8:
    case onnx::TensorProto::BOOL:  // 0 and 1, one byte each (a flag)
      return DType::kUint8;
    default:
      throw FormatError(what, "",
                        "holds elements of ONNX type " + std::to_string(type) +
                            ", which the importer does not read");
  }
}

}  // namespace

NdArray TensorArray(const onnx::TensorProto& t, const std::string& what,
                    std::span<const std::byte> external) {
  const Shape shape(t.dims().begin(), t.dims().end());
  const int64_t count = ElementCount(shape, what);
  const DType dtype = DTypeOf(t.data_type(), what);
  const bool is_double = t.data_type() == onnx::TensorProto::DOUBLE;
  std::span<const std::byte> raw = external;
  if (raw.empty() && !t.raw_data().empty()) {
    raw = {reinterpret_cast<const std::byte*>(t.raw_data().data()),
           t.raw_data().size()};
  }
  if (!raw.empty() || (count > 0 && t.has_raw_data())) {
    const std::size_t item = is_double ? 8 : ItemSize(dtype);
    if (raw.size() != static_cast<std::size_t>(count) * item) {
      throw FormatError(what, "",
                        "holds " + std::to_string(raw.size()) + " bytes for " +
                            std::to_string(count) + " elements");
    }
    NdArray a = NdArray::Zeros(dtype, shape);
    if (!is_double) {
      if (!raw.empty()) std::memcpy(a.mutable_data(), raw.data(), raw.size());
      return a;
    }
    float* out = reinterpret_cast<float*>(a.mutable_data());
    for (int64_t i = 0; i < count; ++i) {
      double d;
      std::memcpy(&d, raw.data() + 8 * i, 8);
      out[i] = DoubleToFloat(d);
    }
    return a;
  }
  switch (t.data_type()) {
    case onnx::TensorProto::FLOAT:
      return FromTyped<float>(dtype, shape, t.float_data(), count, what);
    case onnx::TensorProto::DOUBLE:
      return FromTyped<float>(dtype, shape, t.double_data(), count, what);
    case onnx::TensorProto::INT64:
      return FromTyped<int64_t>(dtype, shape, t.int64_data(), count, what);
    case onnx::TensorProto::INT32:
      return FromTyped<int32_t>(dtype, shape, t.int32_data(), count, what);
    case onnx::TensorProto::INT8:
      return FromTyped<int8_t>(dtype, shape, t.int32_data(), count, what);
    default:
      return FromTyped<uint8_t>(dtype, shape, t.int32_data(), count, what);
  }
}

NdArray ViewTensorArray(const onnx::TensorProto& t, const std::string& what,
                        std::shared_ptr<const void> owner,
                        std::span<const std::byte> bytes) {
  const DType dtype = DTypeOf(t.data_type(), what);
  const bool aligned =
      reinterpret_cast<std::uintptr_t>(bytes.data()) % ItemSize(dtype) == 0;
  const Shape shape(t.dims().begin(), t.dims().end());
  if (t.data_type() == onnx::TensorProto::DOUBLE || !aligned ||
      bytes.size() != static_cast<std::size_t>(ElementCount(shape, what)) *
                          ItemSize(dtype)) {
    return TensorArray(t, what, bytes);  // converts, or names the mismatch
  }
  return NdArray::View(dtype, shape, std::move(owner), bytes);
}

}  // namespace sarnic::onnx_import
