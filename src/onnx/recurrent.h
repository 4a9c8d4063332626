// The steps of an unrolled recurrent layer: the checks its converters
// share, its constants (weights in the engine's orientation), and the
// nodes of one step (slices, products, element-wise layers), each named
// after the node.
#ifndef SARNIC_ONNX_RECURRENT_H_
#define SARNIC_ONNX_RECURRENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "onnx/converter.h"

namespace sarnic::onnx_import::recurrent {

// Longer sequences are refused: each step is a dozen layers.
constexpr int64_t kMaxSteps = 4096;

struct Sizes {
  int64_t T, N, I, H, D;
};

// A float matrix of `rows` × `cols`, element (r, k) `at(r, k)`.
template <typename At>
NdArray Matrix(int64_t rows, int64_t cols, At at) {
  std::vector<float> v(static_cast<std::size_t>(rows * cols));
  for (int64_t r = 0; r < rows; ++r) {
    for (int64_t k = 0; k < cols; ++k) {
      v[static_cast<std::size_t>(r * cols + k)] = static_cast<float>(at(r, k));
    }
  }
  return NdArray::FromValues<float>(DType::kFloat32, {rows, cols}, v);
}

// A helper node's name, after the node's first output that has a name.
std::string Name(const Converter& c, const onnx::NodeProto& n,
                 const std::string& what);

// The name of node `what` of step t of direction d.
std::string Step(const Converter& c, const onnx::NodeProto& n, int64_t d,
                 int64_t t, const char* what);

// Rows [r0, r0 + rows) of direction d of a constant [D, R, K], transposed
// to [K, rows] (the operand B of x × B).
NdArray Transposed(const NdArray& a, int64_t d, int64_t r0, int64_t rows);

// Element `i` of the bias of direction d ([D, 2 × gates × H]: the input
// biases, then the recurrent ones), 0 when the node has none.
double Bias(const NdArray* b, int64_t d, int64_t i);

// Input `i` of the node, which must be a constant (or, for the optional
// one, absent).
const NdArray& ConstantInput(Converter& c, const onnx::NodeProto& n, int i,
                             const char* what);

const NdArray* OptionalConstant(Converter& c, const onnx::NodeProto& n, int i,
                                const char* what);

bool AllZero(const NdArray& a);

// What the converters share: the sizes, and the refusals of what they do
// not convert.
Sizes Check(Converter& c, const onnx::NodeProto& n, int gates,
            const std::vector<std::string>& activations);

// The initial state (input `i`, [D, N, H]) of direction d as a [N, H] node,
// or "" when it is zero (absent, or a constant of zeros).
std::string InitialState(Converter& c, const onnx::NodeProto& n, int i,
                         const Sizes& s, int64_t d, const char* what);

// Columns [begin, end) of the [rows, cols] node `x`, or rows when `axis`
// is 0.
std::string Cut(Converter& c, const std::string& name, const std::string& x,
                int64_t axis, int64_t begin, int64_t end, int64_t other);

// Nodes of element-wise operations and of a matrix product.
std::string Binary(Converter& c, const std::string& name, const char* op,
                   const std::string& x, const std::string& y,
                   const Shape& shape);

std::string Unary(Converter& c, const std::string& name, const char* op,
                  const std::string& x, const Shape& shape);

std::string Product(Converter& c, const std::string& name, const std::string& a,
                    const std::string& b, const Shape& shape);

// The input projection of every step for direction d, from the sequence
// as rows [T × N, I]: rows × W_d^T + Wb_d + Rb_d.
std::string Projection(Converter& c, const onnx::NodeProto& n,
                       const std::string& rows, const Sizes& s, int64_t d,
                       int gates);

// The sequence [T, N, I] as rows [T × N, I].
std::string Rows(Converter& c, const onnx::NodeProto& n, const Sizes& s);

// Whether direction d runs from the last step to the first.
bool Reversed(const onnx::NodeProto& n, int64_t d);

// `parts` reshaped to `part` (unless they are so already) and joined along
// `axis` into node `name`, shaped `shape`.
std::string Join(Converter& c, const std::string& name,
                 std::vector<std::string> parts, bool reshape,
                 const Shape& part, int64_t axis, const Shape& shape);

// Output `o` of the node from the states of each direction, each [N, H] in
// the order computed: per step (Y, [T, D, N, H]) or the last ones ([D, N,
// H]).
void Gather(Converter& c, const onnx::NodeProto& n, int o, const Sizes& s,
            const std::vector<std::vector<std::string>>& steps);

}  // namespace sarnic::onnx_import::recurrent

#endif  // SARNIC_ONNX_RECURRENT_H_
