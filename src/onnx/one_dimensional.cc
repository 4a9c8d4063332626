#include "onnx/one_dimensional.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace sarnic::onnx_import {
namespace {

const std::set<std::string> kLifted = {
    "Conv",        "ConvTranspose",     "MaxPool",
    "AveragePool", "GlobalAveragePool", "GlobalMaxPool"};

// The rank of every value that inference or the model gives one.
std::map<std::string, int> Ranks(const onnx::GraphProto& g) {
  std::map<std::string, int> ranks;
  const auto record = [&ranks](const onnx::ValueInfoProto& v) {
    if (v.type().has_tensor_type() && v.type().tensor_type().has_shape()) {
      ranks[v.name()] = v.type().tensor_type().shape().dim_size();
    }
  };
  for (const auto& v : g.input()) record(v);
  for (const auto& v : g.value_info()) record(v);
  for (const auto& v : g.output()) record(v);
  for (const auto& t : g.initializer()) ranks[t.name()] = t.dims_size();
  return ranks;
}

// A 1-D window attribute with the height of 1 put before it: kernel_shape
// [k] → [1, k]; pads [b, e] → [0, b, 0, e].
void Heighten(onnx::AttributeProto& a, int64_t height_value) {
  const std::string& name = a.name();
  if (name == "pads" && a.ints_size() == 2) {
    const int64_t b = a.ints(0), e = a.ints(1);
    a.clear_ints();
    for (const int64_t v : {int64_t{0}, b, int64_t{0}, e}) a.add_ints(v);
    return;
  }
  if ((name == "kernel_shape" || name == "strides" || name == "dilations" ||
       name == "output_padding" || name == "output_shape") &&
      a.ints_size() == 1) {
    const int64_t v = a.ints(0);
    a.clear_ints();
    a.add_ints(name == "output_padding" ? 0 : height_value);
    a.add_ints(v);
  }
}

}  // namespace

bool LiftOneDimensional(onnx::ModelProto& m) {
  onnx::GraphProto& g = *m.mutable_graph();
  const std::map<std::string, int> ranks = Ranks(g);
  std::set<std::string> names;
  for (const auto& n : g.node()) {
    for (const auto& v : n.input()) names.insert(v);
    for (const auto& v : n.output()) names.insert(v);
  }
  for (const auto& t : g.initializer()) names.insert(t.name());
  const auto fresh = [&names](const std::string& base) {
    std::string name = base;
    for (int i = 2; names.count(name) != 0; ++i) {
      name = base + "_" + std::to_string(i);
    }
    names.insert(name);
    return name;
  };
  const auto shape_constant = [&](const std::string& base,
                                  const std::vector<int64_t>& dims) {
    const std::string name = fresh(base);
    onnx::TensorProto* t = g.add_initializer();
    t->set_name(name);
    t->set_data_type(onnx::TensorProto::INT64);
    t->add_dims(static_cast<int64_t>(dims.size()));
    for (const int64_t d : dims) t->add_int64_data(d);
    return name;
  };
  const auto reshape = [](const std::string& in, const std::string& shape,
                          const std::string& out) {
    onnx::NodeProto r;
    r.set_op_type("Reshape");
    r.set_name(out);
    r.add_input(in);
    r.add_input(shape);
    r.add_output(out);
    return r;
  };
  std::vector<onnx::NodeProto> nodes;
  bool lifted = false;
  for (const auto& n : g.node()) {
    const auto rank = n.input_size() > 0 ? ranks.find(n.input(0)) : ranks.end();
    const bool one_index_output =
        n.output_size() == 1 || (n.output_size() == 2 && n.output(1).empty());
    if (kLifted.count(n.op_type()) == 0 || n.domain() != "" ||
        rank == ranks.end() || rank->second != 3 || !one_index_output ||
        n.output(0).empty()) {
      nodes.push_back(n);
      continue;
    }
    lifted = true;
    const std::string& y = n.output(0);
    // [N, C, L] → [N, C, 1, L]: 0 keeps a dimension, −1 takes the rest.
    const std::string to_4d = shape_constant(y + "/as_2d/shape", {0, 0, 1, -1});
    const std::string x4 = fresh(n.input(0) + "/as_2d");
    nodes.push_back(reshape(n.input(0), to_4d, x4));
    onnx::NodeProto lifted_node = n;
    lifted_node.set_input(0, x4);
    if ((n.op_type() == "Conv" || n.op_type() == "ConvTranspose") &&
        n.input_size() > 1) {
      const std::string w4 = fresh(n.input(1) + "/as_2d");
      nodes.push_back(reshape(n.input(1), to_4d, w4));
      lifted_node.set_input(1, w4);
    }
    const std::string y4 = fresh(y + "/as_2d");
    lifted_node.set_output(0, y4);
    for (auto& a : *lifted_node.mutable_attribute()) Heighten(a, 1);
    nodes.push_back(lifted_node);
    nodes.push_back(
        reshape(y4, shape_constant(y + "/as_1d/shape", {0, 0, -1}), y));
  }
  if (!lifted) return false;
  g.clear_node();
  for (auto& n : nodes) *g.add_node() = std::move(n);
  return true;
}

}  // namespace sarnic::onnx_import
