// Shape arithmetic every layer of the library shares: shape text,
// broadcasting, axis normalisation, row-major strides, and how many bytes
// and blocks an output takes in the arena plan. Each returns a value, or
// nothing where the inputs do not allow one, so that each caller says in
// its own words what was wrong and where.
#ifndef SARNIC_SHAPES_H_
#define SARNIC_SHAPES_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sarnic/ndarray.h"

namespace sarnic {

// "[1, 3, 224, 224]"; "[]" for a scalar.
std::string ShapeText(std::span<const int64_t> shape);

// The shape two operands broadcast to, aligned at their last dimension: a
// dimension of 1 stretches to the other's. Nothing when two dimensions
// differ and neither is 1.
std::optional<Shape> BroadcastShapes(const Shape& a, const Shape& b);

// `axis` of a shape of `rank` dimensions, counted from the end when
// negative: in [0, rank). Nothing when it is outside [-rank, rank).
std::optional<int64_t> NormalAxis(int64_t axis, std::size_t rank);

// The strides of a row-major shape, in elements: the last is 1.
std::vector<int64_t> RowMajorStrides(const Shape& shape);

// How the arena plan sizes an output of `elements` elements: 1 byte each
// for the 8-bit types, 4 for every other, in whole blocks of `block_size`
// bytes (no blocks when `block_size` is 0). Nothing when the bytes do not
// fit 64 bits.
struct PlanSize {
  uint64_t bytes = 0;
  uint64_t blocks = 0;
};
std::optional<PlanSize> PlannedSize(uint64_t elements, bool eight_bit,
                                    uint64_t block_size);

}  // namespace sarnic

#endif  // SARNIC_SHAPES_H_
