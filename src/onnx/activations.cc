// Activations the engine has no layer for, decomposed into its layers so
// that each stays within float rounding of the function everywhere (large
// magnitudes and infinities included): Elu, Selu, Softplus, Softsign,
// PRelu and Erf; and Where over a constant condition.
#include <string>
#include <vector>

#include "onnx/converter.h"
#include "onnx/decompose.h"
#include "onnx/rows.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import {

namespace {

// −relu(−x) = min(x, 0), exactly (negation is exact).
std::string NegativePart(Converter& c, const onnx::NodeProto& n,
                         const std::string& x, const Shape& shape) {
  const std::string flipped = Scale(c, Part(c, n, "negated"), x, -1.0f, shape);
  const std::string r = Part(c, n, "relu_of_negated");
  c.Add(r, "relu", shape, {{"x", Value(flipped)}}, {flipped});
  return Scale(c, Part(c, n, "negative_part"), r, -1.0f, shape);
}

// x for x > 0, alpha × (exp(x) − 1) otherwise: relu(x) + alpha × (exp(min(x,
// 0)) − 1), each term exact where the other is 0 (no exp of a large x).
std::string EluOf(Converter& c, const onnx::NodeProto& n, const std::string& x,
                  float alpha, const std::string& name) {
  const Shape& shape = c.ShapeOf(Out(n));
  const std::string neg = NegativePart(c, n, x, shape);
  const std::string e = Part(c, n, "exp");
  c.Add(e, "exp", shape, {{"x", Value(neg)}}, {neg});
  const std::string em1 =
      Shift(c, Part(c, n, "exp_minus_one"), e, -1.0f, shape);
  const std::string scaled = Scale(c, Part(c, n, "alpha"), em1, alpha, shape);
  const std::string pos = Part(c, n, "relu");
  c.Add(pos, "relu", shape, {{"x", Value(x)}}, {x});
  c.Add(name, "add", shape, {{"x", Value(pos)}, {"y", Value(scaled)}},
        {pos, scaled});
  return name;
}

void Elu(Converter& c, const onnx::NodeProto& n) {
  EluOf(c, n, In(c, n, 0), FloatAttr(n, "alpha", 1.0f), Out(c, n));
}

void Selu(Converter& c, const onnx::NodeProto& n) {
  const std::string elu = EluOf(
      c, n, In(c, n, 0), FloatAttr(n, "alpha", 1.67326319217681884765625f),
      Part(c, n, "elu"));
  Scale(c, Out(c, n), elu, FloatAttr(n, "gamma", 1.05070102214813232421875f),
        c.ShapeOf(Out(n)));
}

// log(1 + exp(x)) = relu(x) + log(1 + exp(−|x|)): exp never overflows.
std::string SoftplusOf(Converter& c, const onnx::NodeProto& n,
                       const std::string& x, const std::string& name) {
  const Shape& shape = c.ShapeOf(Out(n));
  const std::string a = Part(c, n, "abs");
  c.Add(a, "abs", shape, {{"x", Value(x)}}, {x});
  const std::string na = Scale(c, Part(c, n, "negated_abs"), a, -1.0f, shape);
  const std::string e = Part(c, n, "exp");
  c.Add(e, "exp", shape, {{"x", Value(na)}}, {na});
  const std::string e1 = Shift(c, Part(c, n, "one_plus_exp"), e, 1.0f, shape);
  const std::string l = Part(c, n, "log");
  c.Add(l, "log", shape, {{"x", Value(e1)}}, {e1});
  const std::string r = Part(c, n, "relu");
  c.Add(r, "relu", shape, {{"x", Value(x)}}, {x});
  c.Add(name, "add", shape, {{"x", Value(r)}, {"y", Value(l)}}, {r, l});
  return name;
}

void Softplus(Converter& c, const onnx::NodeProto& n) {
  SoftplusOf(c, n, In(c, n, 0), Out(c, n));
}

// x / (1 + |x|).
void Softsign(Converter& c, const onnx::NodeProto& n) {
  const Shape& shape = c.ShapeOf(Out(n));
  const std::string x = In(c, n, 0);
  const std::string a = Part(c, n, "abs");
  c.Add(a, "abs", shape, {{"x", Value(x)}}, {x});
  const std::string d = Shift(c, Part(c, n, "one_plus_abs"), a, 1.0f, shape);
  c.Add(Out(c, n), "div", shape, {{"x", Value(x)}, {"y", Value(d)}}, {x, d});
}

// relu(x) + slope × min(x, 0), the slope broadcast as ONNX broadcasts it.
void PRelu(Converter& c, const onnx::NodeProto& n) {
  const Shape& shape = c.ShapeOf(Out(n));
  const std::string x = In(c, n, 0), slope = In(c, n, 1);
  const std::string neg = NegativePart(c, n, x, shape);
  const std::string sloped = Part(c, n, "sloped");
  c.Add(sloped, "mul", shape, {{"x", Value(neg)}, {"y", Value(slope)}},
        {neg, slope});
  const std::string pos = Part(c, n, "relu");
  c.Add(pos, "relu", shape, {{"x", Value(x)}}, {x});
  c.Add(Out(c, n), "add", shape, {{"x", Value(pos)}, {"y", Value(sloped)}},
        {pos, sloped});
}

// erf(x) = sign(x) × (1 − (a1 t + a2 t² + a3 t³ + a4 t⁴ + a5 t⁵) ×
// exp(−x²)), t = 1 / (1 + p |x|) (Abramowitz and Stegun 7.1.26: within
// 1.5e−7 of erf everywhere, below float32's step at 1); the sign as
// a relu6 of x scaled far up, so that ±inf gives ±1.
void Erf(Converter& c, const onnx::NodeProto& n) {
  const Shape& shape = c.ShapeOf(Out(n));
  const std::string x = In(c, n, 0);
  const std::string a = Part(c, n, "abs");
  c.Add(a, "abs", shape, {{"x", Value(x)}}, {x});
  const std::string pa = Scale(c, Part(c, n, "p_abs"), a, 0.3275911f, shape);
  const std::string den =
      Shift(c, Part(c, n, "one_plus_p_abs"), pa, 1.0f, shape);
  const std::string one = c.AddConstant(Part(c, n, "one"), Scalar(1.0f));
  const std::string t = Part(c, n, "t");
  c.Add(t, "div", shape, {{"x", Value(one)}, {"y", Value(den)}}, {one, den});
  // Horner: ((((a5 t + a4) t + a3) t + a2) t + a1) t.
  const float coefficients[] = {1.061405429f, -1.453152027f, 1.421413741f,
                                -0.284496736f, 0.254829592f};
  std::string poly = Scale(c, Part(c, n, "horner"), t, coefficients[0], shape);
  for (int i = 1; i < 5; ++i) {
    const std::string shifted =
        Shift(c, Part(c, n, "horner_add"), poly, coefficients[i], shape);
    poly = Part(c, n, "horner_mul");
    c.Add(poly, "mul", shape, {{"x", Value(shifted)}, {"y", Value(t)}},
          {shifted, t});
  }
  const std::string sq = Part(c, n, "square");
  c.Add(sq, "mul", shape, {{"x", Value(a)}, {"y", Value(a)}}, {a});
  const std::string nsq =
      Scale(c, Part(c, n, "negated_square"), sq, -1.0f, shape);
  const std::string e = Part(c, n, "exp");
  c.Add(e, "exp", shape, {{"x", Value(nsq)}}, {nsq});
  const std::string pe = Part(c, n, "tail");
  c.Add(pe, "mul", shape, {{"x", Value(poly)}, {"y", Value(e)}}, {poly, e});
  const std::string neg =
      Scale(c, Part(c, n, "negated_tail"), pe, -1.0f, shape);
  const std::string f = Shift(c, Part(c, n, "magnitude"), neg, 1.0f, shape);
  // sign(x) = relu6(3 × 2^100 × x + 3) / 3 − 1: ±1 from |x| ≥ 2^−100 on
  // (and at ±inf), 0 at 0.
  const std::string big =
      Scale(c, Part(c, n, "sign_scaled"), x, 3.0f * 0x1p100f, shape);
  const std::string lifted =
      Shift(c, Part(c, n, "sign_lifted"), big, 3.0f, shape);
  const std::string r6 = Part(c, n, "sign_clipped");
  c.Add(r6, "relu6", shape, {{"x", Value(lifted)}}, {lifted});
  const std::string third =
      Scale(c, Part(c, n, "sign_third"), r6, 1.0f / 3.0f, shape);
  const std::string sign = Shift(c, Part(c, n, "sign"), third, -1.0f, shape);
  c.Add(Out(c, n), "mul", shape, {{"x", Value(sign)}, {"y", Value(f)}},
        {sign, f});
}

// Element `flat` of `out` (row-major strides `strides`) read from `a`
// broadcast to it.
double Broadcast(const NdArray& a, const Shape& out,
                 const std::vector<int64_t>& strides, int64_t flat) {
  const Shape& s = a.shape();
  int64_t i = 0, stride = 1;
  for (std::size_t d = 0; d < s.size(); ++d) {
    const std::size_t k = s.size() - 1 - d, o = out.size() - 1 - d;
    if (s[k] != 1) i += (flat / strides[o]) % out[o] * stride;
    stride *= s[k];
  }
  return a.GetDouble(i);
}

// An array of `shape` holding fn(condition, fill) at each element, the two
// broadcast to it.
template <typename Fn>
NdArray Masked(Converter& c, const onnx::NodeProto& n, const NdArray& cond,
               const NdArray* fill, const Shape& shape, Fn fn) {
  const std::vector<int64_t> strides = RowMajorStrides(shape);
  const int64_t count = shape.empty() ? 1 : strides[0] * shape[0];
  c.AddFoldedBytes(n, static_cast<uint64_t>(count) * 4);
  std::vector<float> v(static_cast<std::size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    v[static_cast<std::size_t>(i)] = static_cast<float>(
        fn(Broadcast(cond, shape, strides, i) != 0,
           fill == nullptr ? 0.0 : Broadcast(*fill, shape, strides, i)));
  }
  return NdArray::FromValues<float>(DType::kFloat32, shape, v);
}

// Where with a constant condition (masks in attention): x ⊙ c + y ⊙ (1 −
// c), the masks of 0s and 1s, exact wherever the value not selected is
// finite; a constant operand (a fill, such as −inf) becomes one constant
// added: v ⊙ mask + where(mask, 0, fill).
void Where(Converter& c, const onnx::NodeProto& n) {
  const NdArray* cond = c.ConstantOf(n.input(0));
  if (cond == nullptr) {
    c.Fail(n, "has a condition the model computes, which is not converted");
  }
  const Shape& shape = c.ShapeOf(Out(n));
  const NdArray* kx = c.ConstantOf(n.input(1));
  const NdArray* ky = c.ConstantOf(n.input(2));
  const auto masked = [&](const std::string& v, bool selected_when,
                          const char* what) {
    const std::string m = c.AddConstant(
        Part(c, n, what),
        Masked(c, n, *cond, nullptr, shape,
               [&](bool k, double) { return k == selected_when ? 1.0 : 0.0; }));
    const std::string r = Part(c, n, (std::string(what) + "ed").c_str());
    c.Add(r, "mul", shape, {{"x", Value(v)}, {"y", Value(m)}}, {v, m});
    return r;
  };
  std::string left, right;
  if (kx == nullptr && ky == nullptr) {
    left = masked(In(c, n, 1), true, "mask");
    right = masked(In(c, n, 2), false, "inverse_mask");
  } else {
    const bool x_runs = kx == nullptr;
    left = masked(In(c, n, x_runs ? 1 : 2), x_runs, "mask");
    right = c.AddConstant(
        Part(c, n, "fill"),
        Masked(c, n, *cond, x_runs ? ky : kx, shape,
               [&](bool k, double fill) { return k == x_runs ? 0.0 : fill; }));
  }
  c.Add(Out(c, n), "add", shape, {{"x", Value(left)}, {"y", Value(right)}},
        {left, right});
}

}  // namespace

void AddActivationRows(std::vector<OnnxOpRow>& rows) {
  const OnnxOpRow own[] = {
      {"Elu", Elu,
       "relu(x) + alpha × (exp(min(x, 0)) − 1) (relu, mul, exp, add; exact "
       "where each term is 0)",
       true},
      {"Selu", Selu, "gamma × Elu(x, alpha) (as Elu, then mul)", true},
      {"Softplus", Softplus,
       "relu(x) + log(1 + exp(−|x|)) (abs, mul, exp, add, log, relu; exp "
       "never overflows)",
       true},
      {"Softsign", Softsign, "x / (1 + |x|) (abs, add, div)", true},
      {"PRelu", PRelu,
       "relu(x) + slope × −relu(−x), the slope broadcast as ONNX broadcasts "
       "it (mul, relu, add)",
       true},
      {"Erf", Erf,
       "sign(x) × (1 − poly(t) × exp(−x²)), t = 1 / (1 + 0.3275911 |x|), "
       "poly of degree 5 (Abramowitz and Stegun 7.1.26, within 1.5e−7 of erf; "
       "the sign as relu6(3 × 2^100 × x + 3) / 3 − 1): abs, mul, add, div, "
       "exp, relu6",
       true},
      {"Where", Where,
       "with a constant condition: x × mask + y × (1 − mask), or with a "
       "constant operand v × mask + where(mask, 0, fill) (mul, add; exact "
       "wherever the value not selected is finite); a condition the model "
       "computes is refused"},
  };
  rows.insert(rows.end(), std::begin(own), std::end(own));
}

}  // namespace sarnic::onnx_import
