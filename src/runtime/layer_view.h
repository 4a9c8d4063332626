// What the interpreter reads of one layer: its parameter tensors by name,
// and the tensors its kernel computes on. Every parameter read is checked:
// a model from anywhere gets an error naming the layer and the parameter,
// never an out-of-range read.
#ifndef SARNIC_RUNTIME_LAYER_VIEW_H_
#define SARNIC_RUNTIME_LAYER_VIEW_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sarnic/dtype.h"
#include "sarnic/errors.h"
#include "sarnic/ndarray.h"
#include "sarnic/schema.h"
#include "sarnic/shapes.h"

namespace sarnic::runtime {

// "layer 'conv1' (conv2d)", for messages.
std::string LayerPlace(const snxf::Layer& layer);

// A ValueError about `layer`: "layer 'conv1' (conv2d): problem".
[[noreturn]] void Fail(const snxf::Layer& layer, const std::string& problem);

using sarnic::ShapeText;

class LayerView {
 public:
  explicit LayerView(const snxf::Layer& layer) : layer_(layer) {}
  const snxf::Layer& layer() const { return layer_; }
  std::string place() const { return LayerPlace(layer_); }
  [[noreturn]] void Fail(const std::string& problem) const {
    runtime::Fail(layer_, problem);
  }

  // The parameter tensor named `name`, or null.
  const snxf::Tensor* Find(const char* name) const;
  bool Has(const char* name) const { return Find(name) != nullptr; }
  // A list written as the shape of a data-less tensor.
  Shape List(const char* name) const;
  std::optional<Shape> OptionalList(const char* name) const;
  // The first element of a data tensor, as a real or a text.
  double Number(const char* name) const;
  double NumberOr(const char* name, double fallback) const;
  // A number that is an integer of 32 bits; anything else fails.
  int64_t Integer(const char* name) const;
  int64_t IntegerOr(const char* name, int64_t fallback) const;
  std::string Text(const char* name) const;
  std::string TextOr(const char* name, const std::string& fallback) const;

  // The layer's stored output shape.
  Shape StoredShape() const;

 private:
  const snxf::Tensor& Get(const char* name) const;
  const snxf::Layer& layer_;
};

// A tensor the kernels compute on: row-major bytes of `dtype`.
struct Tensor {
  std::byte* data = nullptr;
  Shape shape;
  DType dtype = DType::kFloat32;
  // The layer whose output this is: its quantization fields are the
  // tensor's scale and zero point.
  const snxf::Layer* layer = nullptr;

  int64_t count() const;
  std::size_t bytes() const { return count() * ItemSize(dtype); }
  float* f() const { return reinterpret_cast<float*>(data); }
  std::span<const float> floats() const { return {f(), std::size_t(count())}; }
};

// The data of a parameter tensor as an array of its own element type
// (a view of the model's bytes where they are aligned), shaped by the
// tensor's shape vector.
NdArray TensorData(const LayerView& layer, const snxf::Tensor& tensor);

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_LAYER_VIEW_H_
