// Folding's kernels: each computes one ONNX operation on constant values
// at import, or gives nothing when it cannot (a value too large, an index
// out of range, an element type it does not read). The folding pass
// (fold.cc) chooses them by their rows.
#ifndef SARNIC_ONNX_FOLD_KERNELS_H_
#define SARNIC_ONNX_FOLD_KERNELS_H_

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "onnx/converter.h"
#include "onnx/fold.h"

namespace sarnic::onnx_import::folding {

// A folded value: integer elements exactly, real ones as doubles.
struct Arr {
  int type = onnx::TensorProto::FLOAT;
  Shape shape;
  std::vector<double> v;
  bool integer() const {
    return type != onnx::TensorProto::FLOAT &&
           type != onnx::TensorProto::DOUBLE &&
           type != onnx::TensorProto::FLOAT16;
  }
  int64_t at(std::size_t i) const { return Whole(v[i]); }
  // A value as a whole number, saturated (NaN as 0).
  static int64_t Whole(double x) {
    if (!(x == x)) return 0;
    if (x >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (x <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);
  }
};

using FoldFn = std::optional<Arr> (*)(const onnx::NodeProto&,
                                      std::vector<const Arr*>&,
                                      const Converter&);

// Elements of `s`, or kMaxFoldedElements + 1 when there are more.
int64_t Count(const Shape& s);
Arr FromTensor(const onnx::TensorProto& t, const std::string& what);
// Reshape, Flatten, Squeeze, Unsqueeze, Identity: the shape the operation
// gives to `in[0]`'s `count` elements (its values are not read).
std::optional<Shape> NewShape(const onnx::NodeProto& n,
                              std::vector<const Arr*>& in, int64_t count);

// The kernels, by the operations they compute.
#define SARNIC_FOLD_KERNEL(name)                    \
  std::optional<Arr> name(const onnx::NodeProto& n, \
                          std::vector<const Arr*>& in, const Converter& c)
SARNIC_FOLD_KERNEL(FoldShape);
SARNIC_FOLD_KERNEL(FoldReshape);
SARNIC_FOLD_KERNEL(FoldCast);
SARNIC_FOLD_KERNEL(FoldGather);
SARNIC_FOLD_KERNEL(FoldConcat);
SARNIC_FOLD_KERNEL(FoldSlice);
SARNIC_FOLD_KERNEL(FoldTranspose);
SARNIC_FOLD_KERNEL(FoldConstantOfShape);
// fold_logic.cc: Where, Mod, Range, ScatterND.
SARNIC_FOLD_KERNEL(FoldWhere);
SARNIC_FOLD_KERNEL(FoldExpand);
SARNIC_FOLD_KERNEL(FoldMod);
SARNIC_FOLD_KERNEL(FoldRange);
SARNIC_FOLD_KERNEL(FoldScatterND);
#undef SARNIC_FOLD_KERNEL
// Equal (=), Greater (>), Less (<), GreaterOrEqual (g), LessOrEqual (l),
// broadcast, as booleans.
template <char kOp>
std::optional<Arr> FoldCompare(const onnx::NodeProto& n,
                               std::vector<const Arr*>& in, const Converter& c);
// Not (!), And (&), Or (|), Xor (^), broadcast.
template <char kOp>
std::optional<Arr> FoldLogic(const onnx::NodeProto& n,
                             std::vector<const Arr*>& in, const Converter& c);
// Element-wise + - * / with NumPy broadcasting; integer division truncates.
template <char kOp>
std::optional<Arr> FoldArithmetic(const onnx::NodeProto& n,
                                  std::vector<const Arr*>& in,
                                  const Converter& c);

}  // namespace sarnic::onnx_import::folding

#endif  // SARNIC_ONNX_FOLD_KERNELS_H_
