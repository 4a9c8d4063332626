// Element types of n-dimensional arrays, named as numpy names them.
#ifndef SARNIC_DTYPE_H_
#define SARNIC_DTYPE_H_

#include <cstddef>
#include <optional>
#include <string_view>

namespace sarnic {

enum class DType {
  kBool,
  kInt8,
  kUint8,
  kInt16,
  kUint16,
  kInt32,
  kUint32,
  kInt64,
  kUint64,
  kFloat16,
  kFloat32,
  kFloat64,
};

inline constexpr DType kAllDTypes[] = {
    DType::kBool,   DType::kInt8,    DType::kUint8,   DType::kInt16,
    DType::kUint16, DType::kInt32,   DType::kUint32,  DType::kInt64,
    DType::kUint64, DType::kFloat16, DType::kFloat32, DType::kFloat64};

// Bytes per element.
std::size_t ItemSize(DType dtype);
// Required alignment of an element in bytes (equal to its size here).
std::size_t Alignment(DType dtype);
// "bool", "int8", ..., "float64".
std::string_view DTypeName(DType dtype);
// The element type of a numpy name, or nothing for an unknown name.
std::optional<DType> DTypeFromName(std::string_view name);

bool IsFloating(DType dtype);
bool IsSignedInteger(DType dtype);
bool IsUnsignedInteger(DType dtype);

}  // namespace sarnic

#endif  // SARNIC_DTYPE_H_
