// Helpers of the decompositions: the constants and nodes an ONNX
// operation becomes when the engine has no layer of its own for it.
#ifndef SARNIC_ONNX_DECOMPOSE_H_
#define SARNIC_ONNX_DECOMPOSE_H_

#include <string>
#include <vector>

#include "onnx/converter.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import {

inline NdArray Scalar(float v) {
  return NdArray::FromValues<float>(DType::kFloat32, {1}, std::vector{v});
}

// A helper node's name: the output's, with a suffix (and a number, where
// the model has a value of that name).
inline std::string Part(const Converter& c, const onnx::NodeProto& n,
                        const char* suffix) {
  return c.Fresh(Out(n) + "/" + suffix);
}

// name = x × k (a constant), shaped as `shape`.
inline std::string Scale(Converter& c, const std::string& name,
                         const std::string& x, float k, const Shape& shape) {
  const std::string kc = c.AddConstant(name + "/k", Scalar(k));
  c.Add(name, "mul", shape, {{"x", Value(x)}, {"y", Value(kc)}}, {x, kc});
  return name;
}

inline std::string Shift(Converter& c, const std::string& name,
                         const std::string& x, float k, const Shape& shape) {
  const std::string kc = c.AddConstant(name + "/k", Scalar(k));
  c.Add(name, "add", shape, {{"x", Value(x)}, {"y", Value(kc)}}, {x, kc});
  return name;
}

// The axis `axis` of `rank` dimensions, negative ones from the end; a
// failure naming the node when it is outside them.
inline int64_t Axis(Converter& c, const onnx::NodeProto& n, int64_t axis,
                    std::size_t rank) {
  const auto normal = NormalAxis(axis, rank);
  if (!normal) {
    c.Fail(n, "has axis " + std::to_string(axis) + " outside its " +
                  std::to_string(rank) + " dimensions");
  }
  return *normal;
}

// name = x[begin:end] along `axis`, of `shape`.
inline void AxisSlice(Converter& c, const std::string& name,
                      const std::string& x, int64_t axis, int64_t begin,
                      int64_t end, const Shape& shape) {
  c.Add(name, "slice", shape,
        {{"input", Value(x)},
         {"axes", Value::IntList({axis})},
         {"begin", Value::IntList({begin})},
         {"end", Value::IntList({end})},
         {"strides", Value::IntList({1})}},
        {x});
}

// Input `input` of `n` as integers; a failure naming `what` when it is not
// a constant.
inline std::vector<int64_t> ConstantInts(Converter& c, const onnx::NodeProto& n,
                                         int input, const char* what) {
  const NdArray* a = c.ConstantOf(In(c, n, input));
  if (a == nullptr)
    c.Fail(n, std::string("has ") + what + " that are not constant");
  std::vector<int64_t> v;
  for (int64_t i = 0; i < a->size(); ++i) v.push_back(a->GetInt(i));
  return v;
}

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_DECOMPOSE_H_
