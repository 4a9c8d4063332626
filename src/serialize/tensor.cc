// Tensor encoding: one Tensor table per parameter or constant, its element
// encoding chosen by the kind of the data.
#include <string>

#include "sarnic/errors.h"
#include "sarnic/exporter.h"
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

}  // namespace

Offset SarnicExporter::export_tensor(BetterBuilder& builder,
                                     std::string_view tensor_name_text,
                                     const std::optional<Shape>& shape,
                                     const Value& data) const {
  const Offset tensor_name = builder.CreateString(tensor_name_text);
  Offset tensor_shape = 0;
  if (shape.has_value()) tensor_shape = ShapeVector(builder, *shape);

  DataKind kind = DataKind::kNone;
  Offset tensor_data = 0;
  switch (data.kind()) {
    case Value::Kind::kNone:
      break;
    case Value::Kind::kText: {
      tensor_shape = ShapeVector(builder, {1});
      const Offset s = builder.CreateString(data.as_text());
      tensor_data = StringVector(builder, {s});
      kind = DataKind::kStr;
      break;
    }
    case Value::Kind::kBool:
    case Value::Kind::kInt: {
      tensor_shape = ShapeVector(builder, {1});
      const int16_t v = CheckedInt16(data.as_int());
      builder.StartVector(2, 1, 2);
      builder.PrependInt16(v);
      tensor_data = builder.EndVector(1);
      kind = DataKind::kI16;
      break;
    }
    case Value::Kind::kReal: {
      tensor_shape = ShapeVector(builder, {1});
      builder.StartVector(4, 1, 4);
      builder.PrependFloat32(DoubleToFloat(data.as_real()));
      tensor_data = builder.EndVector(1);
      kind = DataKind::kF32;
      break;
    }
    case Value::Kind::kArray: {
      const NdArray& a = data.as_array();
      if (type_flags.count(a.dtype()) == 0) {
        throw ValueError("Numpy NDArray has unsupported type:",
                         std::string(DTypeName(a.dtype())));
      }
      kind = KindOfArray(a.dtype());
      if (!shape.has_value()) tensor_shape = ShapeVector(builder, a.shape());
      // The array is contiguous and row-major already: its bytes go into
      // the buffer in one copy, as they are in memory.
      const auto count = static_cast<std::size_t>(a.size());
      builder.StartVector(a.itemsize(), count, Alignment(a.dtype()));
      builder.PrependBytes(a.data(), a.nbytes());
      tensor_data = builder.EndVector(count);
      break;
    }
    case Value::Kind::kList: {
      const List& items = data.as_list();
      tensor_shape = ShapeVector(builder, {static_cast<int64_t>(items.size())});
      if (AllOf(items, &Value::is_text)) {
        std::vector<Offset> offsets;
        offsets.reserve(items.size());
        for (const Value& v : items) {
          offsets.push_back(builder.CreateString(v.as_text()));
        }
        tensor_data = StringVector(builder, offsets);
        kind = DataKind::kStr;
      } else if (AllOf(items, &Value::is_integer)) {
        std::vector<int16_t> values;
        values.reserve(items.size());
        for (const Value& v : items) values.push_back(CheckedInt16(v.as_int()));
        builder.StartVector(2, values.size(), 2);
        for (auto it = values.rbegin(); it != values.rend(); ++it) {
          builder.PrependInt16(*it);
        }
        tensor_data = builder.EndVector(values.size());
        kind = DataKind::kI16;
      } else if (AllOf(items, &Value::is_real)) {
        builder.StartVector(4, items.size(), 4);
        for (auto it = items.rbegin(); it != items.rend(); ++it) {
          builder.PrependFloat32(DoubleToFloat(it->as_real()));
        }
        tensor_data = builder.EndVector(items.size());
        kind = DataKind::kF32;
      } else {
        throw ValueError("Sequence has inconsistent or unsupported data:",
                         data.type_name());
      }
      break;
    }
    case Value::Kind::kDict:
      throw ValueError("Unsupported data type:", data.type_name());
  }

  snxf::TensorStart(builder);
  snxf::TensorAddName(builder, tensor_name);
  if (tensor_shape != 0) snxf::TensorAddShape(builder, tensor_shape);
  switch (kind) {
    case DataKind::kNone:
      break;
    case DataKind::kStr:
      snxf::TensorAddDataStr(builder, tensor_data);
      break;
    case DataKind::kRaw:
      snxf::TensorAddDataRaw(builder, tensor_data);
      break;
    case DataKind::kI8:
      snxf::TensorAddDataI8(builder, tensor_data);
      break;
    case DataKind::kI16:
      snxf::TensorAddDataI16(builder, tensor_data);
      break;
    case DataKind::kI32:
      snxf::TensorAddDataI32(builder, tensor_data);
      break;
    case DataKind::kF32:
      snxf::TensorAddDataF32(builder, tensor_data);
      break;
    case DataKind::kOther:
      throw ValueError(
          "Tensor data is unsupported:",
          "ndarray of " + std::string(DTypeName(data.as_array().dtype())));
  }
  return snxf::TensorEnd(builder);
}

}  // namespace sarnic
