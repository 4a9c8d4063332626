// Helpers of the decompositions: the constants and nodes an ONNX
// operation becomes when the engine has no layer of its own for it.
#ifndef SARNIC_ONNX_DECOMPOSE_H_
#define SARNIC_ONNX_DECOMPOSE_H_

#include <string>
#include <vector>

#include "onnx/converter.h"

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

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_DECOMPOSE_H_
