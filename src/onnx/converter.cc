#include "onnx/converter.h"

#include <algorithm>
#include <cstring>

namespace sarnic::onnx_import {

Shape Converter::ShapeOf(const std::string& value) const {
  if (const Shape* form = forms_.FormShape(value)) return *form;
  const Shape& s = OnnxShapeOf(value);
  return nhwc_mode_ && s.size() == 4 ? ToNhwc(s) : s;
}

void Converter::Index(const onnx::GraphProto& g) {
  for (const auto& v : g.input()) model_names_.insert(v.name());
  for (const auto& t : g.initializer()) model_names_.insert(t.name());
  for (const auto& n : g.node()) {
    for (const std::string& v : n.output()) model_names_.insert(v);
  }
  for (const auto& n : g.node()) {
    for (const std::string& v : n.input()) {
      auto& readers = consumers_[v];
      if (readers.empty() || readers.back() != &n) readers.push_back(&n);
    }
  }
  for (const auto& v : g.output()) outputs_.insert(v.name());
}

const onnx::NodeProto* Converter::SoleConsumer(const std::string& v) const {
  const auto it = consumers_.find(v);
  if (IsOutput(v) || it == consumers_.end() || it->second.size() != 1) {
    return nullptr;
  }
  return it->second[0];
}

const Shape& Converter::OnnxShapeOf(const std::string& value) const {
  const auto it = shapes_.find(value);
  if (it == shapes_.end()) {
    throw FormatError(what_, "value '" + Printable(value) + "'",
                      "has no static shape after shape inference (fix its "
                      "dynamic dimensions with --dim NAME=VALUE)");
  }
  return it->second;
}

const NdArray* Converter::ConstantOf(const std::string& value) const {
  const auto it = constants_.find(value);
  return it == constants_.end() ? nullptr : &it->second;
}

std::string Converter::Use(const std::string& v) {
  const NdArray* data = ConstantOf(v);
  if (data != nullptr && !constant_nodes_[v]) {
    constant_nodes_[v] = true;
    g_.tensor_dict.set(v, *data);
    AttrDict& node = g_.qm_nx_graph.add_node(v);
    node.set("op", Value("constant"));
    node.set("output_shape", Value::IntList(data->shape()));
  }
  return v;
}

std::string Converter::Fresh(const std::string& base) const {
  std::string name = base;
  for (int i = 1; model_names_.count(name) != 0 || forms_.IsFormName(name) ||
                  g_.qm_nx_graph.has_node(name) || ConstantOf(name);
       ++i) {
    name = base + "_" + std::to_string(i);
  }
  return name;
}

std::string Converter::AddConstant(const std::string& base, NdArray data) {
  const std::string name = Fresh(base);
  SetConstant(name, std::move(data));
  return Use(name);
}

AttrDict& Converter::Add(
    const std::string& name, const std::string& op, const Shape& shape,
    std::initializer_list<std::pair<const char*, Value>> attrs,
    const std::vector<std::string>& inputs) {
  // One node per name: a second would merge into the first and rewire its
  // readers, computing something else without a word.
  if (g_.qm_nx_graph.has_node(name)) {
    throw FormatError(what_, "value '" + Printable(name) + "'",
                      "would be written by two nodes of the conversion");
  }
  AttrDict& node = g_.qm_nx_graph.add_node(name);
  node.set("op", Value(op));
  node.set("output_shape", Value::IntList(shape));
  for (const auto& [key, value] : attrs) node.set(key, value);
  for (const std::string& input : inputs) {
    g_.qm_nx_graph.add_edge(Use(input), name);
  }
  return node;
}

void Converter::Fail(const onnx::NodeProto& node,
                     const std::string& problem) const {
  throw FormatError(
      what_, "node " + NodeName(node) + " (" + Printable(node.op_type()) + ")",
      problem);
}

namespace {

const onnx::AttributeProto* Find(const onnx::NodeProto& n, const char* name) {
  for (const auto& a : n.attribute()) {
    if (a.name() == name) return &a;
  }
  return nullptr;
}

}  // namespace

const std::string& Source(const Converter& c, const onnx::NodeProto& n, int i) {
  if (i >= n.input_size() || n.input(i).empty()) {
    c.Fail(n, "has no input " + std::to_string(i));
  }
  return n.input(i);
}

std::string In(Converter& c, const onnx::NodeProto& n, int i) {
  const std::string& v = Source(c, n, i);
  return c.nhwc_mode() ? c.Nhwc(v) : c.Nchw(v);
}

std::string TextAttr(const onnx::NodeProto& n, const char* name,
                     const std::string& fallback) {
  const auto* a = Find(n, name);
  return a != nullptr ? a->s() : fallback;
}

int64_t IntAttr(const onnx::NodeProto& n, const char* name, int64_t fallback) {
  const auto* a = Find(n, name);
  return a != nullptr ? a->i() : fallback;
}

float FloatAttr(const onnx::NodeProto& n, const char* name, float fallback) {
  const auto* a = Find(n, name);
  return a != nullptr ? a->f() : fallback;
}

std::optional<std::vector<int64_t>> IntsAttr(const onnx::NodeProto& n,
                                             const char* name) {
  const auto* a = Find(n, name);
  if (a == nullptr) return std::nullopt;
  return std::vector<int64_t>(a->ints().begin(), a->ints().end());
}

}  // namespace sarnic::onnx_import
