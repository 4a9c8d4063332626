#include "sarnic/shapes.h"

#include <algorithm>
#include <limits>

namespace sarnic {

std::string ShapeText(std::span<const int64_t> shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(shape[i]);
  }
  return out + "]";
}

std::optional<Shape> BroadcastShapes(const Shape& a, const Shape& b) {
  Shape out(std::max(a.size(), b.size()));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int64_t x = i < a.size() ? a[a.size() - 1 - i] : 1;
    const int64_t y = i < b.size() ? b[b.size() - 1 - i] : 1;
    if (x != y && x != 1 && y != 1) return std::nullopt;
    out[out.size() - 1 - i] = x == 1 ? y : x;
  }
  return out;
}

std::optional<int64_t> NormalAxis(int64_t axis, std::size_t rank) {
  const auto r = static_cast<int64_t>(rank);
  if (axis < -r || axis >= r) return std::nullopt;
  return axis < 0 ? axis + r : axis;
}

std::vector<int64_t> RowMajorStrides(const Shape& shape) {
  std::vector<int64_t> strides(shape.size(), 1);
  for (std::size_t d = shape.size(); d-- > 1;) {
    strides[d - 1] = strides[d] * shape[d];
  }
  return strides;
}

std::optional<PlanSize> PlannedSize(uint64_t elements, bool eight_bit,
                                    uint64_t block_size) {
  const uint64_t each = eight_bit ? 1 : 4;
  if (elements > std::numeric_limits<uint64_t>::max() / each) {
    return std::nullopt;
  }
  PlanSize s;
  s.bytes = elements * each;
  if (block_size > 0) {
    s.blocks = s.bytes / block_size + (s.bytes % block_size != 0 ? 1 : 0);
  }
  return s;
}

}  // namespace sarnic
