#include "sarnic/ndarray.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "sarnic/errors.h"

namespace sarnic {

int64_t ElementCount(const Shape& shape, const std::string& what) {
  int64_t count = 1;
  for (int64_t d : shape) {
    if (d < 0) {
      throw ValueError("Negative dimension in the shape of", what);
    }
    if (d != 0 && count > std::numeric_limits<int64_t>::max() / d) {
      throw ValueError("Element count overflows 64 bits in", what);
    }
    count *= d;
  }
  return count;
}

std::size_t ByteSize(DType dtype, int64_t count, const std::string& what) {
  const auto item = static_cast<uint64_t>(ItemSize(dtype));
  if (count < 0 || static_cast<uint64_t>(count) >
                       std::numeric_limits<uint64_t>::max() / item) {
    throw ValueError("Byte size overflows 64 bits in", what);
  }
  return static_cast<std::size_t>(static_cast<uint64_t>(count) * item);
}

NdArray::NdArray() : NdArray(DType::kFloat32, Shape{}) {}

NdArray::NdArray(DType dtype, Shape shape) {
  dtype_ = dtype;
  size_ = ElementCount(shape);
  shape_ = std::move(shape);
  const std::size_t n = ByteSize(dtype, size_);
  // One allocation that both owns and holds the bytes.
  auto block = std::make_shared<std::byte[]>(n == 0 ? 1 : n);
  bytes_ = std::span<const std::byte>(block.get(), n);
  owner_ = std::shared_ptr<const void>(block, block.get());
  writable_ = true;
}

NdArray NdArray::Zeros(DType dtype, Shape shape) {
  return NdArray(dtype, std::move(shape));
}

NdArray NdArray::View(DType dtype, Shape shape,
                      std::shared_ptr<const void> owner,
                      std::span<const std::byte> bytes) {
  NdArray a(dtype, {});
  a.dtype_ = dtype;
  a.size_ = ElementCount(shape);
  a.shape_ = std::move(shape);
  a.CheckSize(bytes.size());
  a.owner_ = std::move(owner);
  a.bytes_ = bytes;
  a.writable_ = false;
  return a;
}

void NdArray::CheckSize(std::size_t bytes) const {
  const std::size_t want = ByteSize(dtype_, size_);
  if (bytes != want) {
    throw ValueError("Array data has the wrong length:",
                     std::to_string(bytes) + " bytes for " +
                         std::to_string(size_) + " elements of " +
                         std::string(DTypeName(dtype_)));
  }
}

std::byte* NdArray::mutable_data() {
  if (!writable_) throw TypeError("array is a read-only view");
  return const_cast<std::byte*>(bytes_.data());
}

NdArray NdArray::Reshaped(Shape shape) const {
  NdArray a = *this;
  a.size_ = ElementCount(shape);
  if (a.size_ != size_) {
    throw ValueError("Cannot reshape array of size",
                     std::to_string(size_) + " into " +
                         std::to_string(a.size_) + " elements");
  }
  a.shape_ = std::move(shape);
  return a;
}

bool NdArray::operator==(const NdArray& other) const {
  return dtype_ == other.dtype_ && shape_ == other.shape_ &&
         bytes_.size() == other.bytes_.size() &&
         (bytes_.empty() ||
          std::memcmp(bytes_.data(), other.bytes_.data(), bytes_.size()) == 0);
}

namespace {

template <typename T>
T Load(const std::byte* p, int64_t i) {
  T v;
  std::memcpy(&v, p + static_cast<std::size_t>(i) * sizeof(T), sizeof(T));
  return v;
}

template <typename T>
void Store(std::byte* p, int64_t i, T v) {
  std::memcpy(p + static_cast<std::size_t>(i) * sizeof(T), &v, sizeof(T));
}

// One element, read in the widest form of its family.
struct Element {
  enum { kReal, kSigned, kUnsigned } family;
  double real;
  int64_t s;
  uint64_t u;
};

Element Read(DType d, const std::byte* p, int64_t i) {
  switch (d) {
    case DType::kBool:
      return {Element::kUnsigned, 0, 0, Load<uint8_t>(p, i) != 0 ? 1u : 0u};
    case DType::kInt8:
      return {Element::kSigned, 0, Load<int8_t>(p, i), 0};
    case DType::kUint8:
      return {Element::kUnsigned, 0, 0, Load<uint8_t>(p, i)};
    case DType::kInt16:
      return {Element::kSigned, 0, Load<int16_t>(p, i), 0};
    case DType::kUint16:
      return {Element::kUnsigned, 0, 0, Load<uint16_t>(p, i)};
    case DType::kInt32:
      return {Element::kSigned, 0, Load<int32_t>(p, i), 0};
    case DType::kUint32:
      return {Element::kUnsigned, 0, 0, Load<uint32_t>(p, i)};
    case DType::kInt64:
      return {Element::kSigned, 0, Load<int64_t>(p, i), 0};
    case DType::kUint64:
      return {Element::kUnsigned, 0, 0, Load<uint64_t>(p, i)};
    case DType::kFloat16:
      return {Element::kReal, HalfToFloat(Load<uint16_t>(p, i)), 0, 0};
    case DType::kFloat32:
      return {Element::kReal, Load<float>(p, i), 0, 0};
    case DType::kFloat64:
      return {Element::kReal, Load<double>(p, i), 0, 0};
  }
  return {Element::kReal, 0, 0, 0};
}

double AsDouble(const Element& e) {
  switch (e.family) {
    case Element::kReal:
      return e.real;
    case Element::kSigned:
      return static_cast<double>(e.s);
    case Element::kUnsigned:
      return static_cast<double>(e.u);
  }
  return 0;
}

// The integer bit pattern of an element for an integer target. Reals are
// truncated toward zero and must fit the target's range.
template <typename T>
T ToInteger(const Element& e) {
  if (e.family == Element::kSigned) return static_cast<T>(e.s);
  if (e.family == Element::kUnsigned) return static_cast<T>(e.u);
  const double t = std::trunc(e.real);
  const double lo = static_cast<double>(std::numeric_limits<T>::min());
  // 2^bits for unsigned, 2^(bits-1) for signed: exactly representable.
  const double hi = std::ldexp(1.0, std::numeric_limits<T>::digits);
  if (!(t >= lo && t < hi)) {
    throw ValueError("Value does not fit the integer type:",
                     std::to_string(e.real));
  }
  return static_cast<T>(t);
}

float ToFloat(double d) {
  if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
    // Beyond the largest float after rounding: IEEE gives an infinity.
    const double limit = static_cast<double>(std::numeric_limits<float>::max());
    const double ulp_half =
        std::ldexp(1.0, std::numeric_limits<float>::max_exponent - 25);
    if (std::fabs(d) >= limit + ulp_half) {
      return d > 0 ? std::numeric_limits<float>::infinity()
                   : -std::numeric_limits<float>::infinity();
    }
    return d > 0 ? std::numeric_limits<float>::max()
                 : -std::numeric_limits<float>::max();
  }
  return static_cast<float>(d);
}

void Write(DType d, std::byte* p, int64_t i, const Element& e) {
  switch (d) {
    case DType::kBool:
      Store<uint8_t>(p, i, AsDouble(e) != 0 || e.u != 0 || e.s != 0);
      return;
    case DType::kInt8:
      Store(p, i, ToInteger<int8_t>(e));
      return;
    case DType::kUint8:
      Store(p, i, ToInteger<uint8_t>(e));
      return;
    case DType::kInt16:
      Store(p, i, ToInteger<int16_t>(e));
      return;
    case DType::kUint16:
      Store(p, i, ToInteger<uint16_t>(e));
      return;
    case DType::kInt32:
      Store(p, i, ToInteger<int32_t>(e));
      return;
    case DType::kUint32:
      Store(p, i, ToInteger<uint32_t>(e));
      return;
    case DType::kInt64:
      Store(p, i, ToInteger<int64_t>(e));
      return;
    case DType::kUint64:
      Store(p, i, ToInteger<uint64_t>(e));
      return;
    case DType::kFloat16:
      Store(p, i, FloatToHalf(ToFloat(AsDouble(e))));
      return;
    case DType::kFloat32:
      Store(p, i, ToFloat(AsDouble(e)));
      return;
    case DType::kFloat64:
      Store(p, i, AsDouble(e));
      return;
  }
}

}  // namespace

float DoubleToFloat(double d) { return ToFloat(d); }

double NdArray::GetDouble(int64_t i) const {
  return AsDouble(Read(dtype_, data(), i));
}

int64_t NdArray::GetInt(int64_t i) const {
  return ToInteger<int64_t>(Read(dtype_, data(), i));
}

NdArray NdArray::AsType(DType dtype) const {
  NdArray out = Zeros(dtype, shape_);
  std::byte* dst = out.mutable_data();
  if (dtype == dtype_) {
    if (!bytes_.empty()) std::memcpy(dst, bytes_.data(), bytes_.size());
    return out;
  }
  for (int64_t i = 0; i < size_; ++i) {
    Write(dtype, dst, i, Read(dtype_, data(), i));
  }
  return out;
}

float HalfToFloat(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  uint32_t exp = (h >> 10) & 0x1fu;
  uint32_t mant = h & 0x3ffu;
  uint32_t bits;
  if (exp == 0) {
    if (mant == 0) {
      bits = sign;
    } else {  // subnormal: normalise
      exp = 127 - 15 + 1;
      while ((mant & 0x400u) == 0) {
        mant <<= 1;
        --exp;
      }
      mant &= 0x3ffu;
      bits = sign | (exp << 23) | (mant << 13);
    }
  } else if (exp == 0x1f) {
    bits = sign | 0x7f800000u | (mant << 13);
  } else {
    bits = sign | ((exp - 15 + 127) << 23) | (mant << 13);
  }
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

uint16_t FloatToHalf(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  const uint32_t exp = (bits >> 23) & 0xffu;
  uint32_t mant = bits & 0x7fffffu;
  if (exp == 0xff) {  // inf or nan
    return static_cast<uint16_t>(sign | 0x7c00u | (mant != 0 ? 0x200u : 0u));
  }
  const int e = static_cast<int>(exp) - 127 + 15;
  if (e >= 0x1f) return static_cast<uint16_t>(sign | 0x7c00u);
  if (e <= 0) {
    if (e < -10) return sign;
    mant |= 0x800000u;
    const int shift = 14 - e;
    uint32_t half = mant >> shift;
    const uint32_t rem = mant & ((1u << shift) - 1);
    const uint32_t mid = 1u << (shift - 1);
    if (rem > mid || (rem == mid && (half & 1u))) ++half;
    return static_cast<uint16_t>(sign | half);
  }
  uint32_t half = (static_cast<uint32_t>(e) << 10) | (mant >> 13);
  const uint32_t rem = mant & 0x1fffu;
  if (rem > 0x1000u || (rem == 0x1000u && (half & 1u))) ++half;
  return static_cast<uint16_t>(sign | half);
}

}  // namespace sarnic
