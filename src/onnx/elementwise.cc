// The element-wise ONNX operations, one row each: the engine's own
// element-wise layers, and the activations and extrema it has no layer for
// decomposed into them. Every row works in any layout.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

#include "onnx/converter.h"
#include "onnx/decompose.h"
#include "onnx/rows.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import {

namespace {

template <const char* kOp>
void Unary(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  c.Add(Out(c, n), kOp, c.ShapeOf(Out(n)), {{"x", Value(x)}}, {x});
}

template <const char* kOp>
void Binary(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0), y = In(c, n, 1);
  c.Add(Out(c, n), kOp, c.ShapeOf(Out(n)), {{"x", Value(x)}, {"y", Value(y)}},
        {x, y});
}

constexpr char kRelu[] = "relu", kSigmoid[] = "sigmoid", kTanh[] = "tanh",
               kExp[] = "exp", kLog[] = "log", kSqrt[] = "sqrt", kAbs[] = "abs",
               kAdd[] = "add", kSub[] = "sub", kMul[] = "mul", kDiv[] = "div",
               kPow[] = "pow";

void Neg(Converter& c, const onnx::NodeProto& n) {
  Scale(c, Out(c, n), In(c, n, 0), -1.0f, c.ShapeOf(Out(n)));
}

void Reciprocal(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const std::string one = c.AddConstant(Part(c, n, "one"), Scalar(1.0f));
  c.Add(Out(c, n), "div", c.ShapeOf(Out(n)),
        {{"x", Value(one)}, {"y", Value(x)}}, {one, x});
}

void LeakyRelu(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  c.Add(
      Out(n), "leaky_relu", c.ShapeOf(Out(n)),
      {{"x", Value(x)}, {"alpha", Value(double{FloatAttr(n, "alpha", 0.01f)})}},
      {x});
}

// The element-wise maximum or minimum of two values as the engine computes
// it exactly: each operand broadcast to the output's shape (adding zeros,
// which changes no value), laid out as one row of its N elements, the two
// rows stacked and reduced over the stacking axis, and the result shaped
// back. Unlike a + relu(b - a), nothing here can overflow or meet inf - inf:
// every output element is one of its inputs'. Written as `name`.
// An operand whose shape is not given is a value or a form of one.
void Extremum(Converter& c, const std::string& name, bool max,
              const std::vector<std::pair<std::string, Shape>>& operands,
              const Shape& shape) {
  int64_t count = 1;
  for (const int64_t d : shape) count *= d;
  std::vector<std::string> rows;
  for (const auto& [x, given] : operands) {
    const NdArray* data = c.ConstantOf(x);
    if (data != nullptr && data->size() == 1) {
      // A scalar (a clip's bound) is its row, filled.
      rows.push_back(c.AddConstant(
          c.Fresh(name + "/row"),
          NdArray::FromValues<float>(
              DType::kFloat32, {1, count},
              std::vector<float>(static_cast<std::size_t>(count),
                                 static_cast<float>(data->GetDouble(0))))));
      continue;
    }
    const Shape xs = data != nullptr ? data->shape()
                     : given.empty() ? c.ShapeOf(x)
                                     : given;
    std::string full = x;
    if (xs != shape) {
      const std::string zeros = c.AddConstant(
          c.Fresh(name + "/zeros"), NdArray::Zeros(DType::kFloat32, shape));
      full = c.Fresh(name + "/broadcast");
      c.Add(full, "add", shape, {{"x", Value(x)}, {"y", Value(zeros)}},
            {x, zeros});
    }
    const std::string row = c.Fresh(name + "/row");
    c.Add(row, "reshape", {1, count}, {{"input", Value(full)}}, {full});
    rows.push_back(row);
  }
  const std::string both = c.Fresh(name + "/rows");
  c.Add(both, "concat", {static_cast<int64_t>(rows.size()), count},
        {{"values", Value::TextList(rows)}, {"axis", Value(int64_t{0})}}, rows);
  const std::string reduced = c.Fresh(name + "/reduced");
  c.Add(reduced, max ? "max_reduce" : "min_reduce", {count},
        {{"input", Value(both)}, {"axes", Value::IntList({0})}}, {both});
  c.Add(name, "reshape", shape, {{"input", Value(reduced)}}, {reduced});
}

// A constant scalar bound as a node.
std::string Bound(Converter& c, const std::string& name, float v) {
  return c.AddConstant(c.Fresh(name + "/bound"), Scalar(v));
}

// clip(x, lo, hi) = min(max(x, lo), hi), written as `name`, as ONNX defines
// it (so with lo > hi every element is hi): relu6 or relu where they are
// the clip, else the exact maximum and minimum above.
void ClipTo(Converter& c, const std::string& name, const std::string& x,
            float lo, float hi, const Shape& shape) {
  const float inf = std::numeric_limits<float>::infinity();
  const float top = std::numeric_limits<float>::max();
  // A relu for an open upper bound: only +inf differs (it stays inf).
  if (lo == 0.0f && (hi == 6.0f || hi == inf || hi == top)) {
    c.Add(name, hi == 6.0f ? "relu6" : "relu", shape, {{"x", Value(x)}}, {x});
    return;
  }
  if (lo == -inf && hi == inf) {
    c.Add(name, "reshape", shape, {{"input", Value(x)}}, {x});
    return;
  }
  std::string low = x;
  if (lo != -inf) {
    low = hi == inf ? name : c.Fresh(name + "/above");
    Extremum(c, low, true, {{x, {}}, {Bound(c, name, lo), {}}}, shape);
  }
  if (hi != inf) {
    Extremum(c, name, false,
             {{low, low == x ? Shape{} : shape}, {Bound(c, name, hi), {}}},
             shape);
  }
}

}  // namespace

std::optional<std::pair<float, float>> ClipBounds(const Converter& c,
                                                  const onnx::NodeProto& n) {
  // Before opset 11 the bounds are attributes; from it on, inputs. An open
  // bound is the float range's end, as ONNX defines it (so +inf becomes the
  // float maximum under an open upper bound).
  const float top = std::numeric_limits<float>::max();
  float bound[2] = {FloatAttr(n, "min", -top), FloatAttr(n, "max", top)};
  for (int i = 1; i <= 2; ++i) {
    if (i >= n.input_size() || n.input(i).empty()) continue;
    const NdArray* a = c.ConstantOf(n.input(i));
    if (a == nullptr || a->size() != 1) return std::nullopt;
    bound[i - 1] = DoubleToFloat(a->GetDouble(0));
  }
  return std::pair{bound[0], bound[1]};
}

namespace {

void Clip(Converter& c, const onnx::NodeProto& n) {
  const auto bounds = ClipBounds(c, n);
  if (!bounds) c.Fail(n, "has a bound that is not a constant scalar");
  ClipTo(c, Out(c, n), In(c, n, 0), bounds->first, bounds->second,
         c.ShapeOf(Out(n)));
}

// clip(alpha × x + beta, 0, 1) = relu6(6 alpha × x + 6 beta) / 6.
void HardSigmoid(Converter& c, const onnx::NodeProto& n) {
  const Shape& shape = c.ShapeOf(Out(n));
  const float alpha = FloatAttr(n, "alpha", 0.2f);
  const float beta = FloatAttr(n, "beta", 0.5f);
  const std::string t =
      Scale(c, Part(c, n, "scaled"), In(c, n, 0), 6.0f * alpha, shape);
  const std::string u = Shift(c, Part(c, n, "shifted"), t, 6.0f * beta, shape);
  const std::string r = Part(c, n, "relu6");
  c.Add(r, "relu6", shape, {{"x", Value(u)}}, {u});
  Scale(c, Out(c, n), r, 1.0f / 6.0f, shape);
}

// x × relu6(x + 3) / 6: the swish layer with "hard".
void HardSwish(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  c.Add(Out(c, n), "swish", c.ShapeOf(Out(n)),
        {{"x", Value(x)}, {"hard", Value(int64_t{1})}, {"beta", Value(1.0)}},
        {x});
}

// The element-wise maximum or minimum of any number of values, exactly.
template <bool kMax>
void Extreme(Converter& c, const onnx::NodeProto& n) {
  if (n.input_size() < 1) c.Fail(n, "has no inputs");
  std::vector<std::pair<std::string, Shape>> operands;
  for (int i = 0; i < n.input_size(); ++i)
    operands.push_back({In(c, n, i), {}});
  Extremum(c, Out(c, n), kMax, operands, c.ShapeOf(Out(n)));
}

// The inputs added in order, ((x0 + x1) + x2) + ..., broadcast; named
// `name`. One input is its own sum.
std::string SumOf(Converter& c, const onnx::NodeProto& n,
                  const std::string& name) {
  if (n.input_size() < 1) c.Fail(n, "has no inputs");
  const Shape& shape = c.ShapeOf(Out(n));
  std::string sum = In(c, n, 0);
  if (n.input_size() == 1) {
    c.Add(name, "reshape", shape, {{"input", Value(sum)}}, {sum});
    return name;
  }
  for (int i = 1; i < n.input_size(); ++i) {
    const std::string y = In(c, n, i);
    const std::string to =
        i + 1 == n.input_size() ? name : Part(c, n, "partial_sum");
    c.Add(to, "add", shape, {{"x", Value(sum)}, {"y", Value(y)}}, {sum, y});
    sum = to;
  }
  return sum;
}

void Sum(Converter& c, const onnx::NodeProto& n) { SumOf(c, n, Out(c, n)); }

void Mean(Converter& c, const onnx::NodeProto& n) {
  const std::string sum = SumOf(c, n, Part(c, n, "sum"));
  Scale(c, Out(c, n), sum, 1.0f / static_cast<float>(n.input_size()),
        c.ShapeOf(Out(n)));
}

}  // namespace

void AddElementwiseRows(std::vector<OnnxOpRow>& rows) {
  const OnnxOpRow own[] = {
      {"Abs", Unary<kAbs>, "abs", true},
      {"Max", Extreme<true>,
       "max_reduce over the inputs stacked (any number; exact)", true},
      {"Mean", Mean, "the inputs added in order, × 1 / their count (add, mul)",
       true},
      {"Min", Extreme<false>,
       "min_reduce over the inputs stacked (any number; exact)", true},
      {"Sum", Sum, "the inputs added in order (add)", true},
      {"Add", Binary<kAdd>, "add", true},
      {"Clip", Clip,
       "relu6 for [0, 6], relu for [0, inf), else min(max(x, lo), hi) as Max "
       "and Min are (constant bounds; lo > hi gives hi everywhere)",
       true},
      {"Div", Binary<kDiv>, "div", true},
      {"Exp", Unary<kExp>, "exp", true},
      {"HardSigmoid", HardSigmoid,
       "clip(alpha × x + beta, 0, 1) as relu6(6 alpha × x + 6 beta) / 6 (mul, "
       "add, relu6, mul)",
       true},
      {"HardSwish", HardSwish, "swish with hard: x × relu6(x + 3) / 6", true},
      {"LeakyRelu", LeakyRelu, "leaky_relu with alpha", true},
      {"Log", Unary<kLog>, "log", true},
      {"Mul", Binary<kMul>, "mul", true},
      {"Neg", Neg, "x × −1 (mul)", true},
      {"Pow", Binary<kPow>, "pow", true},
      {"Reciprocal", Reciprocal, "1 / x (div)", true},
      {"Relu", Unary<kRelu>, "relu", true},
      {"Sigmoid", Unary<kSigmoid>, "sigmoid", true},
      {"Sqrt", Unary<kSqrt>, "sqrt", true},
      {"Sub", Binary<kSub>, "sub", true},
      {"Tanh", Unary<kTanh>, "tanh", true},
  };
  rows.insert(rows.end(), std::begin(own), std::end(own));
}

}  // namespace sarnic::onnx_import
