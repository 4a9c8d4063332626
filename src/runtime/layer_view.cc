#include "runtime/layer_view.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "sarnic/value.h"

namespace sarnic::runtime {

std::string LayerPlace(const snxf::Layer& layer) {
  const std::string name =
      layer.name() != nullptr ? Printable(layer.name()->str()) : "";
  return "layer '" + name + "' (" + snxf::EnumNameOp(layer.type()) + ")";
}

void Fail(const snxf::Layer& layer, const std::string& problem) {
  throw ValueError(LayerPlace(layer) + ":", problem);
}

const snxf::Tensor* LayerView::Find(const char* name) const {
  if (layer_.params() == nullptr) return nullptr;
  for (const snxf::Tensor* t : *layer_.params()) {
    if (t != nullptr && t->name() != nullptr && t->name()->str() == name) {
      return t;
    }
  }
  return nullptr;
}

const snxf::Tensor& LayerView::Get(const char* name) const {
  const snxf::Tensor* t = Find(name);
  if (t == nullptr) Fail(std::string("has no parameter \"") + name + "\"");
  return *t;
}

Shape LayerView::List(const char* name) const {
  const snxf::Tensor& t = Get(name);
  Shape out;
  if (t.shape() != nullptr) out.assign(t.shape()->begin(), t.shape()->end());
  return out;
}

std::optional<Shape> LayerView::OptionalList(const char* name) const {
  if (!Has(name)) return std::nullopt;
  return List(name);
}

namespace {

std::optional<double> FirstNumber(const snxf::Tensor& t) {
  if (t.data_f32() != nullptr && t.data_f32()->size() > 0) {
    return t.data_f32()->Get(0);
  }
  if (t.data_i16() != nullptr && t.data_i16()->size() > 0) {
    return t.data_i16()->Get(0);
  }
  if (t.data_i32() != nullptr && t.data_i32()->size() > 0) {
    return t.data_i32()->Get(0);
  }
  if (t.data_i8() != nullptr && t.data_i8()->size() > 0) {
    return t.data_i8()->Get(0);
  }
  if (t.data_raw() != nullptr && t.data_raw()->size() > 0) {
    return t.data_raw()->Get(0);
  }
  return std::nullopt;
}

}  // namespace

double LayerView::Number(const char* name) const {
  const auto v = FirstNumber(Get(name));
  if (!v) Fail(std::string("parameter \"") + name + "\" holds no number");
  return *v;
}

double LayerView::NumberOr(const char* name, double fallback) const {
  return Has(name) ? Number(name) : fallback;
}

int64_t LayerView::Integer(const char* name) const {
  const double v = Number(name);
  if (!(v >= -2147483648.0 && v <= 2147483647.0) || v != std::floor(v)) {
    Fail(std::string("parameter \"") + name +
         "\" is not an integer of 32 bits");
  }
  return static_cast<int64_t>(v);
}

int64_t LayerView::IntegerOr(const char* name, int64_t fallback) const {
  return Has(name) ? Integer(name) : fallback;
}

std::string LayerView::Text(const char* name) const {
  const snxf::Tensor& t = Get(name);
  if (t.data_str() == nullptr || t.data_str()->size() == 0 ||
      t.data_str()->Get(0) == nullptr) {
    Fail(std::string("parameter \"") + name + "\" holds no text");
  }
  return t.data_str()->Get(0)->str();
}

std::string LayerView::TextOr(const char* name,
                              const std::string& fallback) const {
  return Has(name) ? Text(name) : fallback;
}

Shape LayerView::StoredShape() const {
  Shape out;
  if (layer_.shape() != nullptr) {
    out.assign(layer_.shape()->begin(), layer_.shape()->end());
  }
  return out;
}

int64_t Tensor::count() const {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

namespace {

template <typename T>
NdArray VectorData(DType dtype, const flatbuffers::Vector<T>& v,
                   const Shape& shape) {
  const auto* bytes = reinterpret_cast<const std::byte*>(v.data());
  const std::size_t n = v.size() * sizeof(T);
  if (reinterpret_cast<std::uintptr_t>(bytes) % alignof(T) == 0) {
    return NdArray::View(dtype, shape, nullptr, {bytes, n});
  }
  NdArray copy = NdArray::Zeros(dtype, shape);
  std::memcpy(copy.mutable_data(), bytes, n);
  return copy;
}

}  // namespace

NdArray TensorData(const LayerView& layer, const snxf::Tensor& t) {
  Shape shape;
  if (t.shape() != nullptr) shape.assign(t.shape()->begin(), t.shape()->end());
  const std::string what = "the data of parameter \"" +
                           (t.name() ? Printable(t.name()->str()) : "") + "\"";
  int64_t count = 0;
  try {
    count = ElementCount(shape, what);
  } catch (const ValueError& e) {
    layer.Fail(e.what());
  }
  auto check = [&](std::size_t size) {
    if (static_cast<int64_t>(size) != count) {
      layer.Fail(what + " holds " + std::to_string(size) +
                 " elements but its shape " + ShapeText(shape) + " holds " +
                 std::to_string(count));
    }
  };
  if (t.data_f32() != nullptr) {
    check(t.data_f32()->size());
    return VectorData(DType::kFloat32, *t.data_f32(), shape);
  }
  if (t.data_i8() != nullptr) {
    check(t.data_i8()->size());
    return VectorData(DType::kInt8, *t.data_i8(), shape);
  }
  if (t.data_raw() != nullptr) {
    check(t.data_raw()->size());
    return VectorData(DType::kUint8, *t.data_raw(), shape);
  }
  if (t.data_i16() != nullptr) {
    check(t.data_i16()->size());
    return VectorData(DType::kInt16, *t.data_i16(), shape);
  }
  if (t.data_i32() != nullptr) {
    check(t.data_i32()->size());
    return VectorData(DType::kInt32, *t.data_i32(), shape);
  }
  layer.Fail(what + " holds no numbers");
}

}  // namespace sarnic::runtime
