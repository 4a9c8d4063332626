// Normalizations over axes that the engine has no layer for, decomposed
// into its reductions and element-wise layers: LayerNormalization (the
// transformers' normalization) and InstanceNormalization.
#include <string>
#include <vector>

#include "onnx/converter.h"
#include "onnx/decompose.h"
#include "onnx/rows.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import {

namespace {

// The mean of `x` over `axes`, reshaped to keep them as 1s (so that it
// broadcasts back over `x`).
std::string KeptMean(Converter& c, const onnx::NodeProto& n,
                     const std::string& x, const std::vector<int64_t>& axes,
                     const Shape& shape, const char* what) {
  Shape reduced, kept = shape;
  for (std::size_t d = 0; d < shape.size(); ++d) {
    bool on = false;
    for (const int64_t a : axes) on = on || a == static_cast<int64_t>(d);
    if (on) {
      kept[d] = 1;
    } else {
      reduced.push_back(shape[d]);
    }
  }
  const std::string r = Part(c, n, (std::string(what) + "_reduced").c_str());
  c.Add(r, "mean_reduce", reduced,
        {{"input", Value(x)}, {"axes", Value::IntList(axes)}}, {x});
  const std::string k = Part(c, n, what);
  c.Add(k, "reshape", kept, {{"input", Value(r)}}, {r});
  return k;
}

// (x − mean) / sqrt(var + epsilon) over `axes`, var the mean of the squared
// differences, named `name`.
std::string Normalized(Converter& c, const onnx::NodeProto& n,
                       const std::string& x, const std::vector<int64_t>& axes,
                       float epsilon, const std::string& name) {
  const Shape& shape = c.ShapeOf(x);
  const std::string mean = KeptMean(c, n, x, axes, shape, "mean");
  const std::string d = Part(c, n, "centred");
  c.Add(d, "sub", shape, {{"x", Value(x)}, {"y", Value(mean)}}, {x, mean});
  const std::string sq = Part(c, n, "squared");
  c.Add(sq, "mul", shape, {{"x", Value(d)}, {"y", Value(d)}}, {d});
  const std::string var = KeptMean(c, n, sq, axes, shape, "variance");
  Shape kept = shape;
  for (const int64_t a : axes) kept[static_cast<std::size_t>(a)] = 1;
  const std::string inv = Part(c, n, "inverse_deviation");
  c.Add(inv, "rsqrt", kept,
        {{"x", Value(var)}, {"epsilon", Value(double{epsilon})}}, {var});
  c.Add(name, "mul", shape, {{"x", Value(d)}, {"y", Value(inv)}}, {d, inv});
  return name;
}

// y = normalized × scale (+ bias), the scale and bias broadcast.
void ScaleAndShift(Converter& c, const onnx::NodeProto& n,
                   const std::string& normalized, const std::string& scale,
                   const std::string& bias) {
  const Shape shape = c.ShapeOf(Out(n));
  const std::string scaled = bias.empty() ? Out(c, n) : Part(c, n, "scaled");
  c.Add(scaled, "mul", shape, {{"x", Value(normalized)}, {"y", Value(scale)}},
        {normalized, scale});
  if (!bias.empty()) {
    c.Add(Out(c, n), "add", shape, {{"x", Value(scaled)}, {"y", Value(bias)}},
          {scaled, bias});
  }
}

void LayerNormalization(Converter& c, const onnx::NodeProto& n) {
  for (int i = 1; i < n.output_size(); ++i) {
    if (!n.output(i).empty()) {
      c.Fail(n,
             "gives its mean or inverse deviation as an output, which is "
             "not converted");
    }
  }
  const std::string x = In(c, n, 0);
  const auto rank = static_cast<int64_t>(c.ShapeOf(x).size());
  int64_t axis = IntAttr(n, "axis", -1);
  if (axis < 0) axis += rank;
  if (axis < 0 || axis >= rank) c.Fail(n, "has an axis outside its input");
  std::vector<int64_t> axes;
  for (int64_t a = axis; a < rank; ++a) axes.push_back(a);
  const std::string normalized = Normalized(
      c, n, x, axes, FloatAttr(n, "epsilon", 1e-5f), Part(c, n, "normalized"));
  const std::string bias =
      n.input_size() > 2 && !n.input(2).empty() ? In(c, n, 2) : "";
  ScaleAndShift(c, n, normalized, In(c, n, 1), bias);
}

// Over each channel of each sample: the axes after the first two, the
// scale and bias per channel ([C] broadcast as [C, 1, ...]).
void InstanceNormalization(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const Shape& shape = c.ShapeOf(x);
  if (shape.size() < 3) c.Fail(n, "has an input of fewer than 3 dimensions");
  std::vector<int64_t> axes;
  for (std::size_t a = 2; a < shape.size(); ++a) {
    axes.push_back(static_cast<int64_t>(a));
  }
  const std::string normalized = Normalized(
      c, n, x, axes, FloatAttr(n, "epsilon", 1e-5f), Part(c, n, "normalized"));
  Shape per_channel(shape.size() - 1, 1);
  per_channel[0] = shape[1];
  const auto channel = [&](int i, const char* what) {
    const NdArray* data = c.ConstantOf(n.input(i));
    if (data == nullptr)
      c.Fail(n, std::string("has a ") + what + " that is not a constant");
    return c.AddConstant(Part(c, n, what), data->Reshaped(per_channel));
  };
  ScaleAndShift(c, n, normalized, channel(1, "scale"), channel(2, "bias"));
}

}  // namespace

void AddNormalizationRows(std::vector<OnnxOpRow>& rows) {
  rows.push_back({"LayerNormalization", LayerNormalization,
                  "(x − mean) × rsqrt(var + epsilon) × scale + bias over the "
                  "axes from axis on (mean_reduce, sub, mul, rsqrt, add)"});
  rows.push_back({"InstanceNormalization", InstanceNormalization,
                  "as LayerNormalization over each channel's spatial axes, "
                  "the scale and bias per channel"});
}

}  // namespace sarnic::onnx_import
