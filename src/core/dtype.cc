#include "sarnic/dtype.h"

#include <array>

namespace sarnic {

namespace {
struct Info {
  DType dtype;
  std::string_view name;
  std::size_t size;
};
constexpr std::array<Info, 12> kInfo = {{
    {DType::kBool, "bool", 1},
    {DType::kInt8, "int8", 1},
    {DType::kUint8, "uint8", 1},
    {DType::kInt16, "int16", 2},
    {DType::kUint16, "uint16", 2},
    {DType::kInt32, "int32", 4},
    {DType::kUint32, "uint32", 4},
    {DType::kInt64, "int64", 8},
    {DType::kUint64, "uint64", 8},
    {DType::kFloat16, "float16", 2},
    {DType::kFloat32, "float32", 4},
    {DType::kFloat64, "float64", 8},
}};
const Info& InfoOf(DType d) { return kInfo[static_cast<std::size_t>(d)]; }
}  // namespace

std::size_t ItemSize(DType dtype) { return InfoOf(dtype).size; }
std::size_t Alignment(DType dtype) { return InfoOf(dtype).size; }
std::string_view DTypeName(DType dtype) { return InfoOf(dtype).name; }

std::optional<DType> DTypeFromName(std::string_view name) {
  for (const Info& i : kInfo) {
    if (i.name == name) return i.dtype;
  }
  return std::nullopt;
}

bool IsFloating(DType d) {
  return d == DType::kFloat16 || d == DType::kFloat32 || d == DType::kFloat64;
}
bool IsSignedInteger(DType d) {
  return d == DType::kInt8 || d == DType::kInt16 || d == DType::kInt32 ||
         d == DType::kInt64;
}
bool IsUnsignedInteger(DType d) {
  return d == DType::kUint8 || d == DType::kUint16 || d == DType::kUint32 ||
         d == DType::kUint64;
}

}  // namespace sarnic
