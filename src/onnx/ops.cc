// The ONNX operations the importer converts, one row each with the rule it
// follows: here the products, softmax and the operations on shapes (the
// element-wise ones in elementwise.cc, the spatial ones in spatial.cc). The
// rows marked for any layout (element-wise operations, and Concat with its
// axis remapped) are converted in NHWC when their 4-D inputs are held so;
// the others read and write the model's own order.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string_view>

#include "onnx/converter.h"
#include "onnx/decompose.h"
#include "onnx/rows.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import {

namespace {

void MatMulNode(Converter& c, const std::string& name, const std::string& a,
                const std::string& b, bool ta, bool tb, const Shape& shape) {
  c.Add(name, "matmul", shape,
        {{"A", Value(a)},
         {"B", Value(b)},
         {"transposeA", Value(ta ? "True" : "False")},
         {"transposeB", Value(tb ? "True" : "False")}},
        {a, b});
}

void MatMul(Converter& c, const onnx::NodeProto& n) {
  if (c.ShapeOf(In(c, n, 0)).size() < 2 || c.ShapeOf(In(c, n, 1)).size() < 2) {
    c.Fail(n, "multiplies a vector; both operands need 2 dimensions or more");
  }
  MatMulNode(c, Out(c, n), In(c, n, 0), In(c, n, 1), false, false,
             c.ShapeOf(Out(n)));
}

// alpha × op(A) × op(B) + beta × C.
void Gemm(Converter& c, const onnx::NodeProto& n) {
  const Shape& shape = c.ShapeOf(Out(n));
  const float alpha = FloatAttr(n, "alpha", 1.0f);
  const float beta = FloatAttr(n, "beta", 1.0f);
  const bool has_c = n.input_size() > 2 && !n.input(2).empty();
  std::string product = Out(c, n);
  if (has_c || alpha != 1.0f) product = Part(c, n, "product");
  MatMulNode(c, product, In(c, n, 0), In(c, n, 1), IntAttr(n, "transA", 0),
             IntAttr(n, "transB", 0), shape);
  if (alpha != 1.0f) {
    product = Scale(c, has_c ? Part(c, n, "scaled") : Out(c, n), product, alpha,
                    shape);
  }
  if (!has_c) return;
  std::string bias = In(c, n, 2);
  if (beta != 1.0f) {
    bias = Scale(c, Part(c, n, "bias"), bias, beta, c.ShapeOf(bias));
  }
  c.Add(Out(c, n), "add", shape, {{"x", Value(product)}, {"y", Value(bias)}},
        {product, bias});
}

void Softmax(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const std::size_t rank = c.ShapeOf(x).size();
  // From opset 13 the axis is one axis (default the last); before, the
  // input was flattened from the axis (default 1) on, which is the same
  // only for the last axis.
  const bool since13 = c.opset() >= 13;
  const int64_t axis = Axis(c, n, IntAttr(n, "axis", since13 ? -1 : 1), rank);
  if (!since13 && axis != static_cast<int64_t>(rank) - 1) {
    c.Fail(n, "normalises from axis " + std::to_string(axis) +
                  " on as one (opset " + std::to_string(c.opset()) +
                  "); only the last axis is converted");
  }
  c.Add(Out(c, n), "softmax", c.ShapeOf(Out(n)),
        {{"x", Value(x)}, {"axes", Value::IntList({axis})}}, {x});
}

// An operation that keeps its input's elements and shape, in any layout.
void Same(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  c.Add(Out(c, n), "reshape", c.ShapeOf(Out(n)), {{"input", Value(x)}}, {x});
}

// Dropout at inference passes its data on unchanged. Its mask output is not
// made (a node reading it is refused as reading an unknown value); a
// training mode that is not a constant false is refused, unless the ratio is
// a constant 0 (then training keeps every element, unscaled).
void Dropout(Converter& c, const onnx::NodeProto& n) {
  const NdArray* ratio = n.input_size() > 1 && !n.input(1).empty()
                             ? c.ConstantOf(n.input(1))
                             : nullptr;
  const bool keeps_all =
      ratio != nullptr && ratio->size() == 1 && ratio->GetDouble(0) == 0;
  if (n.input_size() > 2 && !n.input(2).empty() && !keeps_all) {
    const NdArray* training = c.ConstantOf(n.input(2));
    if (training == nullptr || training->size() != 1 ||
        training->GetDouble(0) != 0) {
      c.Fail(n,
             "may train (its training_mode is not a constant false): "
             "dropout in training is random");
    }
  }
  Same(c, n);
}

// Operations that only give their input's elements another shape.
void Reshape(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  c.Add(Out(c, n), "reshape", c.ShapeOf(Out(n)), {{"input", Value(x)}}, {x});
}

void Concat(Converter& c, const onnx::NodeProto& n) {
  std::vector<std::string> parts;
  for (int i = 0; i < n.input_size(); ++i) parts.push_back(In(c, n, i));
  const int64_t axis =
      c.ModeAxis(Axis(c, n, IntAttr(n, "axis", 0), c.ShapeOf(Out(n)).size()));
  c.Add(Out(c, n), "concat", c.ShapeOf(Out(n)),
        {{"values", Value::TextList(parts)}, {"axis", Value(axis)}}, parts);
}

// A transpose is made only when a form of its output is needed: read in
// NHWC, a transpose of an NCHW value composes with the layout's (one
// transpose, or a reshape when they cancel); and a transpose of a value
// held in NHWC reads that form, the permutations composed likewise.
void Transpose(Converter& c, const onnx::NodeProto& n) {
  const std::string& v = Source(c, n, 0);
  const std::size_t rank = c.OnnxShapeOf(v).size();
  std::vector<int64_t> perm(rank);
  for (std::size_t i = 0; i < rank; ++i) {
    perm[i] = static_cast<int64_t>(rank - 1 - i);
  }
  if (const auto given = IntsAttr(n, "perm")) perm = *given;
  std::vector<int64_t> sorted = perm;
  std::sort(sorted.begin(), sorted.end());
  bool valid = perm.size() == rank;
  for (std::size_t d = 0; d < sorted.size(); ++d) {
    valid = valid && sorted[d] == static_cast<int64_t>(d);
  }
  if (!valid) c.Fail(n, "has a perm that is not a permutation of its axes");
  std::string x;
  if (rank == 4 && c.HasNhwc(v)) {
    for (int64_t& p : perm) p = NhwcAxis(p);
    x = c.Nhwc(v);
  } else {
    x = In(c, n, 0);
  }
  c.SetTransposed(Out(n), x, perm);
}

// A cast between real types keeps the values the model computes in
// float32; any other cast changes them and is refused.
void Cast(Converter& c, const onnx::NodeProto& n) {
  const int64_t to = IntAttr(n, "to", 0);
  if (to != onnx::TensorProto::FLOAT && to != onnx::TensorProto::DOUBLE &&
      to != onnx::TensorProto::FLOAT16) {
    c.Fail(n, "casts to ONNX type " + std::to_string(to) +
                  "; only casts between real types are converted");
  }
  Same(c, n);
}

// Constant padding, the pads an input (from opset 11) or an attribute.
void Pad(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const std::size_t rank = c.ShapeOf(x).size();
  if (TextAttr(n, "mode", "constant") != "constant") {
    c.Fail(n,
           "pads by reflection or by its edge; constant padding is converted");
  }
  std::vector<int64_t> pads =
      n.input_size() > 1 ? ConstantInts(c, n, 1, "pads")
                         : IntsAttr(n, "pads").value_or(std::vector<int64_t>{});
  if (pads.size() != 2 * rank) c.Fail(n, "has pads not two per dimension");
  for (int64_t p : pads) {
    if (p < 0) c.Fail(n, "crops (a negative pad)");
  }
  double value = FloatAttr(n, "value", 0.0f);
  if (n.input_size() > 2 && !n.input(2).empty()) {
    const NdArray* v = c.ConstantOf(n.input(2));
    if (v == nullptr || v->size() != 1)
      c.Fail(n, "has a pad value that is not a constant scalar");
    value = v->GetDouble(0);
  }
  const std::vector<int64_t> head(pads.begin(),
                                  pads.begin() + static_cast<long>(rank));
  const std::vector<int64_t> tail(pads.begin() + static_cast<long>(rank),
                                  pads.end());
  c.Add(Out(c, n), "pad", c.ShapeOf(Out(n)),
        {{"input", Value(x)},
         {"head", Value::IntList(head)},
         {"tail", Value::IntList(tail)},
         {"value", Value(value)}},
        {x});
}

// Slice with constant starts, ends, axes and steps.
void Slice(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const std::size_t rank = c.ShapeOf(x).size();
  // Before opset 10 starts, ends and axes are attributes.
  const bool attrs = n.input_size() == 1;
  const std::vector<int64_t> starts =
      attrs ? IntsAttr(n, "starts").value_or(std::vector<int64_t>{})
            : ConstantInts(c, n, 1, "starts");
  const std::vector<int64_t> ends =
      attrs ? IntsAttr(n, "ends").value_or(std::vector<int64_t>{})
            : ConstantInts(c, n, 2, "ends");
  std::vector<int64_t> axes, steps(starts.size(), 1);
  if (attrs && IntsAttr(n, "axes")) {
    axes = *IntsAttr(n, "axes");
  } else if (n.input_size() > 3 && !n.input(3).empty()) {
    axes = ConstantInts(c, n, 3, "axes");
  } else {
    for (std::size_t i = 0; i < starts.size(); ++i) axes.push_back(int64_t(i));
  }
  if (n.input_size() > 4 && !n.input(4).empty())
    steps = ConstantInts(c, n, 4, "steps");
  if (ends.size() != starts.size() || axes.size() != starts.size() ||
      steps.size() != starts.size()) {
    c.Fail(n, "has starts, ends, axes and steps of different lengths");
  }
  // Bounds beyond 32 bits ("to the end") are clamped to the axis, as ONNX
  // clamps them.
  std::vector<int64_t> begin, end;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const int64_t axis = Axis(c, n, axes[i], rank);
    const int64_t dim = c.ShapeOf(x)[static_cast<std::size_t>(axis)];
    axes[i] = axis;
    begin.push_back(std::clamp<int64_t>(starts[i], -dim - 1, dim));
    end.push_back(std::clamp<int64_t>(ends[i], -dim - 1, dim));
  }
  c.Add(Out(c, n), "slice", c.ShapeOf(Out(n)),
        {{"input", Value(x)},
         {"axes", Value::IntList(axes)},
         {"begin", Value::IntList(begin)},
         {"end", Value::IntList(end)},
         {"strides", Value::IntList(steps)}},
        {x});
}
constexpr OnnxOpRow kBasicRows[] = {
    {"Cast", Cast, "reshape to the same shape, between real types only", true},
    {"Pad", Pad, "pad with a constant (pads as input or attribute)"},
    {"Slice", Slice, "slice with constant starts, ends, axes and steps"},
    {"Concat", Concat, "concat along the same axis", true},
    {"Flatten", Reshape, "reshape to the inferred shape"},
    {"Gemm", Gemm,
     "matmul with transA/transB, × alpha, + beta × C (mul and add)"},
    {"Identity", Same, "reshape to the same shape", true},
    {"Dropout", Dropout,
     "its data unchanged (reshape to the same shape); the mask is not made, "
     "and a training mode that is not a constant false is refused",
     true},
    {"MatMul", MatMul, "matmul (both operands of 2 dimensions or more)"},
    {"Reshape", Reshape, "reshape to the inferred shape"},
    {"Softmax", Softmax, "softmax over the axis"},
    {"Squeeze", Reshape, "reshape to the inferred shape"},
    {"Transpose", Transpose,
     "transpose with the same permutation, composed with the layout's when "
     "its input is held in NHWC (a reshape when they cancel)"},
    {"Unsqueeze", Reshape, "reshape to the inferred shape"},
};

}  // namespace

std::span<const OnnxOpRow> OnnxOps() {
  static const std::vector<OnnxOpRow> rows = [] {
    std::vector<OnnxOpRow> all(std::begin(kBasicRows), std::end(kBasicRows));
    AddElementwiseRows(all);
    AddSpatialRows(all);
    AddPoolingRows(all);
    AddNormalizationRows(all);
    AddRearrangeRows(all);
    AddActivationRows(all);
    AddRecurrentRows(all);
    std::sort(all.begin(), all.end(),
              [](const OnnxOpRow& a, const OnnxOpRow& b) {
                return std::string_view(a.op) < std::string_view(b.op);
              });
    // One row per operation, as in the exporter's operation table.
    for (std::size_t i = 1; i < all.size(); ++i) {
      if (std::string_view(all[i].op) == all[i - 1].op) {
        throw InternalError(std::string("ONNX operation converted twice: ") +
                            all[i].op);
      }
    }
    return all;
  }();
  return rows;
}

const OnnxOpRow* OnnxOp(const std::string& op) {
  for (const OnnxOpRow& row : OnnxOps()) {
    if (op == row.op) return &row;
  }
  return nullptr;
}

}  // namespace sarnic::onnx_import
