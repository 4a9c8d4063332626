#include "onnx/converter.h"

#include <algorithm>
#include <cstring>

namespace sarnic::onnx_import {

Shape Converter::ShapeOf(const std::string& value) const {
  const auto form = form_shapes_.find(value);
  if (form != form_shapes_.end()) return form->second;
  const Shape& s = OnnxShapeOf(value);
  return nhwc_mode_ && s.size() == 4 ? ToNhwc(s) : s;
}

namespace {

// A constant of up to 4 dimensions, aligned to the right of 4 as
// broadcasting aligns it, with its axes in NHWC order.
NdArray ConstantToNhwc(const NdArray& a) {
  Shape s(4, 1);
  std::copy(a.shape().begin(), a.shape().end(), s.end() - a.ndim());
  const Shape out = ToNhwc(s);
  NdArray r = NdArray::Zeros(a.dtype(), out);
  const std::size_t item = a.itemsize();
  const std::byte* in = a.data();
  std::byte* o = r.mutable_data();
  for (int64_t n = 0; n < s[0]; ++n) {
    for (int64_t h = 0; h < s[2]; ++h) {
      for (int64_t w = 0; w < s[3]; ++w) {
        for (int64_t c = 0; c < s[1]; ++c) {
          const int64_t from = ((n * s[1] + c) * s[2] + h) * s[3] + w;
          std::memcpy(o, in + from * static_cast<int64_t>(item), item);
          o += item;
        }
      }
    }
  }
  return r;
}

}  // namespace

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

void Converter::Permuted(const std::string& name, const std::string& from,
                         const std::vector<int64_t>& perm, const Shape& out) {
  if (perm.size() != out.size()) {
    throw FormatError(what_, "value '" + Printable(name) + "'",
                      "has " + std::to_string(out.size()) +
                          " dimensions for a permutation of " +
                          std::to_string(perm.size()));
  }
  // Moving only axes of size 1 keeps the order: a reshape, which moves
  // nothing.
  int64_t last = -1;
  bool keeps_order = true;
  for (std::size_t d = 0; d < perm.size(); ++d) {
    if (out[d] == 1) continue;
    keeps_order = keeps_order && perm[d] > last;
    last = perm[d];
  }
  if (keeps_order) {
    Add(name, "reshape", out, {{"input", Value(from)}}, {from});
  } else {
    Add(name, "transpose", out,
        {{"input", Value(from)}, {"axes", Value::IntList(perm)}}, {from});
  }
  form_shapes_[name] = out;
}

void Converter::SetTransposed(const std::string& v, const std::string& from,
                              std::vector<int64_t> perm) {
  held_[v] = {false, false};
  lazy_[v] = {from, std::move(perm)};
}

std::string Converter::Nchw(const std::string& value) {
  if (ConstantOf(value) != nullptr) return value;
  const std::string& v = Resolve(value);
  Held& h = held_[v];
  if (!h.nchw) {
    const auto lazy = lazy_.find(v);
    if (lazy != lazy_.end()) {
      Permuted(NchwName(v), lazy->second.from, lazy->second.perm,
               OnnxShapeOf(v));
    } else {
      Permuted(NchwName(v), NhwcName(v), {0, 3, 1, 2}, OnnxShapeOf(v));
    }
    h.nchw = true;
  }
  return NchwName(v);
}

std::string Converter::Nhwc(const std::string& value) {
  const std::string& v = Resolve(value);
  if (const NdArray* data = ConstantOf(v)) {
    if (data->size() == 1 || data->ndim() > 4) return v;
    const std::string name = NhwcName(v);
    if (ConstantOf(name) == nullptr) {
      SetConstant(name, ConstantToNhwc(*data));
      form_shapes_[name] = ConstantOf(name)->shape();
    }
    return Use(name);
  }
  if (HasNhwc(v)) return NhwcName(v);
  const Shape out = ToNhwc(OnnxShapeOf(v));
  // A transpose not made yet is made in NHWC order directly, its
  // permutation composed with the layout's (none at all when they cancel).
  const auto lazy = lazy_.find(v);
  if (lazy != lazy_.end()) {
    const std::vector<int64_t>& p = lazy->second.perm;
    Permuted(NhwcName(v), lazy->second.from, {p[0], p[2], p[3], p[1]}, out);
  } else {
    Permuted(NhwcName(v), Nchw(v), {0, 2, 3, 1}, out);
  }
  held_[v].nhwc = true;
  return NhwcName(v);
}

void Converter::MarkNhwc(const std::string& value) {
  const std::string& v = Resolve(value);
  held_[v] = {false, true};
  const Shape& s = OnnxShapeOf(v);
  if (s.size() == 4) form_shapes_[NhwcName(v)] = ToNhwc(s);
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
  for (int i = 1; model_names_.count(name) != 0 || form_names_.count(name) ||
                  g_.qm_nx_graph.has_node(name) || ConstantOf(name);
       ++i) {
    name = base + "_" + std::to_string(i);
  }
  return name;
}

const std::string& Converter::Form(const std::string& v,
                                   const char* suffix) const {
  const std::string key = v + suffix;
  auto it = forms_.find(key);
  if (it == forms_.end()) {
    it = forms_.emplace(key, Fresh(key)).first;
    form_names_.insert(it->second);
  }
  return it->second;
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
