// Tensor encoding: one Tensor table per parameter or constant, its element
// encoding chosen by the kind of the data.
#include "serialize/tensor.h"

#include <string>

#include "sarnic/errors.h"
#include "sarnic/schema.h"
#include "serialize/layer_parts.h"

namespace sarnic {

const std::map<DType, NumberType> type_flags = {
    {DType::kInt8, {"Int8Flags", 1}},
    {DType::kUint8, {"Uint8Flags", 1}},
    {DType::kInt16, {"Int16Flags", 2}},
    {DType::kUint16, {"Uint16Flags", 2}},
    {DType::kInt32, {"Int32Flags", 4}},
    {DType::kUint32, {"Uint32Flags", 4}},
    {DType::kInt64, {"Int64Flags", 8}},
    {DType::kUint64, {"Uint64Flags", 8}},
    {DType::kFloat32, {"Float32Flags", 4}},
    {DType::kFloat64, {"Float64Flags", 8}},
};

const std::map<DType, snxf::Datatype> dtype_flags = {
    {DType::kInt8, snxf::Datatype::I8},
    {DType::kUint8, snxf::Datatype::U8},
    {DType::kInt16, snxf::Datatype::I16},
    {DType::kUint16, snxf::Datatype::U16},
    {DType::kInt32, snxf::Datatype::I32},
    {DType::kUint32, snxf::Datatype::U32},
    {DType::kInt64, snxf::Datatype::I64},
    {DType::kUint64, snxf::Datatype::U64},
    {DType::kFloat32, snxf::Datatype::F32},
    {DType::kFloat64, snxf::Datatype::F64},
};

namespace {

enum class DataKind { kNone, kStr, kRaw, kI8, kI16, kI32, kF32, kOther };

Offset ShapeVector(BetterBuilder& b, const Shape& dims) {
  b.StartVector(4, dims.size(), 4);
  for (auto it = dims.rbegin(); it != dims.rend(); ++it) {
    b.PrependInt32(CheckedInt32(*it, "tensor shape"));
  }
  return b.EndVector(dims.size());
}

Offset StringVector(BetterBuilder& b, const std::vector<Offset>& strings) {
  b.StartVector(4, strings.size(), 4);
  for (auto it = strings.rbegin(); it != strings.rend(); ++it) {
    b.PrependUOffsetTRelative(*it);
  }
  return b.EndVector(strings.size());
}

DataKind KindOfArray(DType d) {
  switch (d) {
    case DType::kUint8:
      return DataKind::kRaw;
    case DType::kInt8:
      return DataKind::kI8;
    case DType::kInt16:
      return DataKind::kI16;
    case DType::kInt32:
      return DataKind::kI32;
    case DType::kFloat32:
      return DataKind::kF32;
    default:
      return DataKind::kOther;
  }
}

bool AllOf(const List& l, bool (Value::*test)() const) {
  for (const Value& v : l) {
    if (!(v.*test)()) return false;
  }
  return true;
}

// A data vector and the field it goes into.
struct Data {
  DataKind kind = DataKind::kNone;
  Offset vector = 0;
};

Data OneInt16(BetterBuilder& b, int64_t value) {
  const int16_t v = CheckedInt16(value);
  b.StartVector(2, 1, 2);
  b.PrependInt16(v);
  return {DataKind::kI16, b.EndVector(1)};
}

Data OneFloat32(BetterBuilder& b, double value) {
  b.StartVector(4, 1, 4);
  b.PrependFloat32(DoubleToFloat(value));
  return {DataKind::kF32, b.EndVector(1)};
}

// The array's bytes in one copy, as they are in memory (the array is
// contiguous and row-major already). `shape` receives the array's own
// dimensions unless a shape was given.
Data ArrayData(BetterBuilder& b, const NdArray& a, bool shape_given,
               Offset& shape) {
  if (type_flags.count(a.dtype()) == 0) {
    std::string detail(DTypeName(a.dtype()));
    if (!a.origin().empty()) detail += " (" + a.origin() + ")";
    // Half-precision weights are common; the model holds float32.
    if (a.dtype() == DType::kFloat16) detail += "; convert it to float32";
    throw ValueError("Numpy NDArray has unsupported type:", detail);
  }
  if (!shape_given) shape = ShapeVector(b, a.shape());
  const auto count = static_cast<std::size_t>(a.size());
  b.StartVector(a.itemsize(), count, Alignment(a.dtype()));
  b.PrependBytes(a.data(), a.nbytes());
  return {KindOfArray(a.dtype()), b.EndVector(count)};
}

// Texts, integers (as int16) or reals (as float32), each all of one kind.
Data SequenceData(BetterBuilder& b, const Value& data) {
  const List& items = data.as_list();
  if (AllOf(items, &Value::is_text)) {
    std::vector<Offset> offsets;
    offsets.reserve(items.size());
    for (const Value& v : items) offsets.push_back(b.CreateString(v.as_text()));
    return {DataKind::kStr, StringVector(b, offsets)};
  }
  if (AllOf(items, &Value::is_integer)) {
    std::vector<int16_t> values;
    values.reserve(items.size());
    for (const Value& v : items) values.push_back(CheckedInt16(v.as_int()));
    b.StartVector(2, values.size(), 2);
    for (auto it = values.rbegin(); it != values.rend(); ++it) {
      b.PrependInt16(*it);
    }
    return {DataKind::kI16, b.EndVector(values.size())};
  }
  if (AllOf(items, &Value::is_real)) {
    b.StartVector(4, items.size(), 4);
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
      b.PrependFloat32(DoubleToFloat(it->as_real()));
    }
    return {DataKind::kF32, b.EndVector(items.size())};
  }
  throw ValueError("Sequence has inconsistent or unsupported data:",
                   data.type_name());
}

// Writes the data vector of `data` by its kind; every kind but an array
// (and absent data) replaces `shape` by its own one-dimensional shape.
Data WriteData(BetterBuilder& b, const Value& data, bool shape_given,
               Offset& shape) {
  switch (data.kind()) {
    case Value::Kind::kNone:
      return {};
    case Value::Kind::kText: {
      shape = ShapeVector(b, {1});
      const Offset s = b.CreateString(data.as_text());
      return {DataKind::kStr, StringVector(b, {s})};
    }
    case Value::Kind::kBool:
    case Value::Kind::kInt:
      shape = ShapeVector(b, {1});
      return OneInt16(b, data.as_int());
    case Value::Kind::kReal:
      shape = ShapeVector(b, {1});
      return OneFloat32(b, data.as_real());
    case Value::Kind::kArray:
      return ArrayData(b, data.as_array(), shape_given, shape);
    case Value::Kind::kList:
      shape = ShapeVector(b, {static_cast<int64_t>(data.as_list().size())});
      return SequenceData(b, data);
    case Value::Kind::kDict:
      break;
  }
  throw ValueError("Unsupported data type:", data.type_name());
}

void AddData(BetterBuilder& b, const Data& d, const Value& data) {
  switch (d.kind) {
    case DataKind::kNone:
      return;
    case DataKind::kStr:
      return snxf::TensorAddDataStr(b, d.vector);
    case DataKind::kRaw:
      return snxf::TensorAddDataRaw(b, d.vector);
    case DataKind::kI8:
      return snxf::TensorAddDataI8(b, d.vector);
    case DataKind::kI16:
      return snxf::TensorAddDataI16(b, d.vector);
    case DataKind::kI32:
      return snxf::TensorAddDataI32(b, d.vector);
    case DataKind::kF32:
      return snxf::TensorAddDataF32(b, d.vector);
    case DataKind::kOther:
      break;
  }
  throw ValueError(
      "Tensor data is unsupported:",
      "ndarray of " + std::string(DTypeName(data.as_array().dtype())));
}

}  // namespace

Offset export_tensor(BetterBuilder& builder, std::string_view tensor_name_text,
                     const std::optional<Shape>& shape, const Value& data) {
  const Offset tensor_name = builder.CreateString(tensor_name_text);
  Offset tensor_shape = 0;
  if (shape.has_value()) tensor_shape = ShapeVector(builder, *shape);
  const Data d = WriteData(builder, data, shape.has_value(), tensor_shape);
  snxf::TensorStart(builder);
  snxf::TensorAddName(builder, tensor_name);
  if (tensor_shape != 0) snxf::TensorAddShape(builder, tensor_shape);
  AddData(builder, d, data);
  return snxf::TensorEnd(builder);
}

}  // namespace sarnic
