#include <string>
#include <vector>

#include "onnx/converter.h"
#include "onnx/decompose.h"
#include "onnx/recurrent.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import::recurrent {

// A helper node's name, after the node's first output that has a name.
std::string Name(const Converter& c, const onnx::NodeProto& n,
                 const std::string& what) {
  std::string base = n.name();
  for (const std::string& v : n.output()) {
    if (!v.empty()) {
      base = v;
      break;
    }
  }
  return c.Fresh(base + "/" + what);
}

std::string Step(const Converter& c, const onnx::NodeProto& n, int64_t d,
                 int64_t t, const char* what) {
  return Name(c, n,
              "d" + std::to_string(d) + "/t" + std::to_string(t) + "/" + what);
}

// Rows [r0, r0 + rows) of direction d of a constant [D, R, K], transposed
// to [K, rows] (the operand B of x × B).
NdArray Transposed(const NdArray& a, int64_t d, int64_t r0, int64_t rows) {
  const int64_t R = a.shape()[1], K = a.shape()[2];
  return Matrix(K, rows, [&](int64_t k, int64_t r) {
    return a.GetDouble((d * R + r0 + r) * K + k);
  });
}

// Element `i` of the bias of direction d ([D, 2 × gates × H]: the input
// biases, then the recurrent ones), 0 when the node has none.
double Bias(const NdArray* b, int64_t d, int64_t i) {
  return b == nullptr ? 0.0 : b->GetDouble(d * b->shape()[1] + i);
}

const NdArray& ConstantInput(Converter& c, const onnx::NodeProto& n, int i,
                             const char* what) {
  const NdArray* a = c.ConstantOf(n.input(i));
  if (a == nullptr) c.Fail(n, std::string("has ") + what + " not constant");
  return *a;
}

const NdArray* OptionalConstant(Converter& c, const onnx::NodeProto& n, int i,
                                const char* what) {
  if (n.input_size() <= i || n.input(i).empty()) return nullptr;
  return &ConstantInput(c, n, i, what);
}

bool AllZero(const NdArray& a) {
  for (int64_t i = 0; i < a.size(); ++i) {
    if (a.GetDouble(i) != 0) return false;
  }
  return true;
}

// What the converters share: the sizes, and the refusals of what they do
// not convert.
Sizes Check(Converter& c, const onnx::NodeProto& n, int gates,
            const std::vector<std::string>& activations) {
  if (IntAttr(n, "layout", 0) != 0) {
    c.Fail(n, "has layout 1 (batch first), which is not converted");
  }
  for (const auto& a : n.attribute()) {
    if (a.name() == "clip") c.Fail(n, "clips its cell, which is not converted");
    if (a.name() == "activations") {
      for (int i = 0; i < a.strings_size(); ++i) {
        const std::size_t k = static_cast<std::size_t>(i) % activations.size();
        if (a.strings(i) != activations[k]) {
          c.Fail(n, "has the activation '" + Printable(a.strings(i)) +
                        "' where only " + activations[k] + " is converted");
        }
      }
    }
  }
  const Shape& x = c.OnnxShapeOf(n.input(0));
  const NdArray& w = ConstantInput(c, n, 1, "weights W");
  const NdArray& r = ConstantInput(c, n, 2, "recurrent weights R");
  const std::string direction = TextAttr(n, "direction", "forward");
  const int64_t D = direction == "bidirectional" ? 2 : 1;
  if (direction != "forward" && direction != "reverse" && D != 2) {
    c.Fail(n, "has the direction '" + Printable(direction) + "'");
  }
  if (x.size() != 3 || w.ndim() != 3 || r.ndim() != 3) {
    c.Fail(n, "has an input, W or R not of 3 dimensions");
  }
  const Sizes s{x[0], x[1], x[2], r.shape()[2], D};
  if (w.shape() != Shape{D, gates * s.H, s.I} ||
      r.shape() != Shape{D, gates * s.H, s.H} ||
      IntAttr(n, "hidden_size", s.H) != s.H) {
    c.Fail(n, "has W " + ShapeText(w.shape()) + " and R " +
                  ShapeText(r.shape()) + " that do not match its input " +
                  ShapeText(x) + " and hidden size");
  }
  if (const NdArray* b = OptionalConstant(c, n, 3, "biases B")) {
    if (b->shape() != Shape{D, 2 * gates * s.H}) {
      c.Fail(n, "has biases B " + ShapeText(b->shape()) + ", not " +
                    ShapeText(Shape{D, 2 * gates * s.H}));
    }
  }
  if (s.T > kMaxSteps) {
    c.Fail(n, "has " + std::to_string(s.T) + " steps, more than the " +
                  std::to_string(kMaxSteps) + " the importer unrolls");
  }
  if (const NdArray* lens = OptionalConstant(c, n, 4, "sequence lengths")) {
    for (int64_t i = 0; i < lens->size(); ++i) {
      if (lens->GetInt(i) != s.T) {
        c.Fail(n, "has a sequence length of " +
                      std::to_string(lens->GetInt(i)) +
                      " where the input has " + std::to_string(s.T) +
                      " steps; only full-length sequences are converted");
      }
    }
  }
  return s;
}

// The initial state (input `i`, [D, N, H]) of direction d as a [N, H] node,
// or "" when it is zero (absent, or a constant of zeros).
std::string InitialState(Converter& c, const onnx::NodeProto& n, int i,
                         const Sizes& s, int64_t d, const char* what) {
  if (n.input_size() <= i || n.input(i).empty()) return "";
  const std::string name = Name(c, n, "d" + std::to_string(d) + "/" + what);
  if (const NdArray* k = c.ConstantOf(n.input(i))) {
    if (k->shape() != Shape{s.D, s.N, s.H}) {
      c.Fail(n, std::string("has an initial ") + what + " " +
                    ShapeText(k->shape()) + ", not " +
                    ShapeText(Shape{s.D, s.N, s.H}));
    }
    if (AllZero(*k)) return "";
    return c.AddConstant(name, Matrix(s.N, s.H, [&](int64_t r, int64_t j) {
                           return k->GetDouble((d * s.N + r) * s.H + j);
                         }));
  }
  const std::string x = In(c, n, i);
  const std::string one = Name(c, n, "d" + std::to_string(d) + "/slice");
  AxisSlice(c, one, x, 0, d, d + 1, {1, s.N, s.H});
  c.Add(name, "reshape", {s.N, s.H}, {{"input", Value(one)}}, {one});
  return name;
}

// Columns [begin, end) of the [rows, cols] node `x`, or rows when `axis`
// is 0.
std::string Cut(Converter& c, const std::string& name, const std::string& x,
                int64_t axis, int64_t begin, int64_t end, int64_t other) {
  AxisSlice(c, name, x, axis, begin, end,
            axis == 0 ? Shape{end - begin, other} : Shape{other, end - begin});
  return name;
}

std::string Binary(Converter& c, const std::string& name, const char* op,
                   const std::string& x, const std::string& y,
                   const Shape& shape) {
  c.Add(name, op, shape, {{"x", Value(x)}, {"y", Value(y)}}, {x, y});
  return name;
}

std::string Unary(Converter& c, const std::string& name, const char* op,
                  const std::string& x, const Shape& shape) {
  c.Add(name, op, shape, {{"x", Value(x)}}, {x});
  return name;
}

std::string Product(Converter& c, const std::string& name, const std::string& a,
                    const std::string& b, const Shape& shape) {
  c.Add(name, "matmul", shape,
        {{"A", Value(a)},
         {"B", Value(b)},
         {"transposeA", Value("False")},
         {"transposeB", Value("False")}},
        {a, b});
  return name;
}

// The input projection of every step for direction d, from the sequence
// as rows [T × N, I]: rows × W_d^T + Wb_d + Rb_d.
std::string Projection(Converter& c, const onnx::NodeProto& n,
                       const std::string& rows, const Sizes& s, int64_t d,
                       int gates) {
  const NdArray& w = *c.ConstantOf(n.input(1));
  const NdArray* b = OptionalConstant(c, n, 3, "biases B");
  const int64_t G = gates * s.H;
  std::vector<float> bias(static_cast<std::size_t>(G));
  for (int64_t i = 0; i < G; ++i) {
    bias[static_cast<std::size_t>(i)] =
        static_cast<float>(Bias(b, d, i) + Bias(b, d, G + i));
  }
  const std::string prefix = "d" + std::to_string(d) + "/";
  const std::string wt =
      c.AddConstant(Name(c, n, prefix + "W"), Transposed(w, d, 0, G));
  const std::string bt =
      c.AddConstant(Name(c, n, prefix + "bias"),
                    NdArray::FromValues<float>(DType::kFloat32, {G}, bias));
  const std::string out = Name(c, n, prefix + "input_gates");
  c.Add(out, "dense", {s.T * s.N, G},
        {{"A", Value(rows)}, {"B", Value(wt)}, {"bias", Value(bt)}},
        {rows, wt, bt});
  return out;
}

std::string Rows(Converter& c, const onnx::NodeProto& n, const Sizes& s) {
  const std::string x = In(c, n, 0);
  const std::string rows = Name(c, n, "rows");
  c.Add(rows, "reshape", {s.T * s.N, s.I}, {{"input", Value(x)}}, {x});
  return rows;
}

bool Reversed(const onnx::NodeProto& n, int64_t d) {
  return d == 1 || TextAttr(n, "direction", "forward") == "reverse";
}

// `parts` reshaped to `part` (unless they are so already) and joined along
// `axis` into node `name`, shaped `shape`.
std::string Join(Converter& c, const std::string& name,
                 std::vector<std::string> parts, bool reshape,
                 const Shape& part, int64_t axis, const Shape& shape) {
  if (parts.size() == 1) {
    c.Add(name, "reshape", shape, {{"input", Value(parts[0])}}, {parts[0]});
    return name;
  }
  if (reshape) {
    for (std::string& p : parts) {
      const std::string r = c.Fresh(p + "/" + std::to_string(axis));
      c.Add(r, "reshape", part, {{"input", Value(p)}}, {p});
      p = r;
    }
  }
  c.Add(name, "concat", shape,
        {{"values", Value::TextList(parts)}, {"axis", Value(axis)}}, parts);
  return name;
}

// Output `o` of the node from the states of each direction, each [N, H] in
// the order computed: per step (Y, [T, D, N, H]) or the last ones ([D, N,
// H]).
void Gather(Converter& c, const onnx::NodeProto& n, int o, const Sizes& s,
            const std::vector<std::vector<std::string>>& steps) {
  if (n.output_size() <= o || !c.IsUsed(n.output(o))) return;
  const std::string out = c.NchwName(n.output(o));
  if (o != 0) {
    std::vector<std::string> last;
    for (const auto& states : steps) last.push_back(states.back());
    Join(c, out, last, true, {1, s.N, s.H}, 0, {s.D, s.N, s.H});
    return;
  }
  std::vector<std::string> times;
  for (int64_t t = 0; t < s.T; ++t) {
    std::vector<std::string> dirs;
    for (int64_t d = 0; d < s.D; ++d) {
      const auto k = static_cast<std::size_t>(Reversed(n, d) ? s.T - 1 - t : t);
      dirs.push_back(steps[static_cast<std::size_t>(d)][k]);
    }
    times.push_back(s.D == 1
                        ? dirs[0]
                        : Join(c, Name(c, n, "t" + std::to_string(t)), dirs,
                               true, {1, 1, s.N, s.H}, 1, {1, s.D, s.N, s.H}));
  }
  Join(c, out, times, s.D == 1, {1, s.D, s.N, s.H}, 0, {s.T, s.D, s.N, s.H});
}

}  // namespace sarnic::onnx_import::recurrent
