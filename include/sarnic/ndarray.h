// A row-major, contiguous n-dimensional array. Its bytes live in shared
// storage: copies of an NdArray share them, and the storage may be anything
// that keeps the bytes alive (a heap block, a memory-mapped weights file), so
// large weights are never copied on their way into the model.
#ifndef SARNIC_NDARRAY_H_
#define SARNIC_NDARRAY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sarnic/dtype.h"

namespace sarnic {

using Shape = std::vector<int64_t>;

// Number of elements of a shape. Refuses negative dimensions and products
// that overflow 64 bits with a ValueError naming `what`.
int64_t ElementCount(const Shape& shape, const std::string& what = "array");

// Bytes of `count` elements of `dtype`, refusing overflow.
std::size_t ByteSize(DType dtype, int64_t count,
                     const std::string& what = "array");

class NdArray {
 public:
  // A zero-dimensional float32 array holding 0.
  NdArray();

  // A new array of zeros.
  static NdArray Zeros(DType dtype, Shape shape);

  // An array over bytes kept alive by `owner`; `bytes` must hold exactly the
  // array's byte size (checked).
  static NdArray View(DType dtype, Shape shape,
                      std::shared_ptr<const void> owner,
                      std::span<const std::byte> bytes);

  // A new array holding a copy of `values`, read as elements of `dtype`.
  template <typename T>
  static NdArray FromValues(DType dtype, Shape shape,
                            const std::vector<T>& values) {
    NdArray a = Zeros(dtype, std::move(shape));
    a.CheckSize(values.size() * sizeof(T));
    if (!values.empty()) {
      std::memcpy(a.mutable_data(), values.data(), values.size() * sizeof(T));
    }
    return a;
  }

  DType dtype() const { return dtype_; }
  const Shape& shape() const { return shape_; }
  int ndim() const { return static_cast<int>(shape_.size()); }
  int64_t size() const { return size_; }
  std::size_t itemsize() const { return ItemSize(dtype_); }
  std::size_t nbytes() const { return bytes_.size(); }
  std::span<const std::byte> bytes() const { return bytes_; }
  const std::byte* data() const { return bytes_.data(); }
  // What keeps the bytes alive, for a view that outlives this array.
  const std::shared_ptr<const void>& owner() const { return owner_; }

  // Writable bytes. Only arrays made by Zeros/FromValues/AsType own their
  // bytes; the others are views and refuse writing.
  std::byte* mutable_data();

  // Element `i` (row-major) converted to double / int64.
  double GetDouble(int64_t i) const;
  int64_t GetInt(int64_t i) const;

  // A copy converted element by element to `dtype`, with numpy's rules for
  // the representable cases. Reals that do not fit an integer target (NaN,
  // infinite, out of range) are refused with a ValueError instead of being
  // converted to an arbitrary value.
  NdArray AsType(DType dtype) const;

  // A view of the same bytes with another shape of the same element count.
  NdArray Reshaped(Shape shape) const;

  // Where the array was read from, for messages ("weights file w.st tensor
  // 'k'"); empty for arrays made in memory. Not part of the array's value.
  const std::string& origin() const { return origin_; }
  void set_origin(std::string origin) { origin_ = std::move(origin); }

  bool operator==(const NdArray& other) const;

 private:
  NdArray(DType dtype, Shape shape);
  void CheckSize(std::size_t bytes) const;

  DType dtype_ = DType::kFloat32;
  Shape shape_;
  int64_t size_ = 1;
  std::shared_ptr<const void> owner_;
  std::span<const std::byte> bytes_;
  bool writable_ = false;
  std::string origin_;
};

// A double as the nearest float; beyond the float range, an infinity.
float DoubleToFloat(double d);

// IEEE 754 binary16 conversions.
float HalfToFloat(uint16_t h);
uint16_t FloatToHalf(float f);

}  // namespace sarnic

#endif  // SARNIC_NDARRAY_H_
