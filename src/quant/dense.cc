#include "quant/dense.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>

namespace sarnic::quant {
namespace {

bool Truthy(const Value* v) {
  if (v == nullptr || v->is_none()) return false;
  if (v->is_text()) {
    const std::string& t = v->as_text();
    return t == "True" || t == "true" || t == "1";
  }
  if (v->is_number()) return v->as_real() != 0;
  return false;
}

std::string Text(const AttrDict& node, const char* key) {
  const Value* v = node.find(key);
  return v != nullptr && v->is_text() ? v->as_text() : std::string();
}

// A constant node's data, or null.
const NdArray* ConstantData(const Graph& g, const std::string& n) {
  if (!g.qm_nx_graph.has_node(n) ||
      Text(g.qm_nx_graph.node(n), "op") != "constant") {
    return nullptr;
  }
  return g.tensor_dict.find(n);
}

NdArray Transposed(const NdArray& m) {
  const int64_t rows = m.shape()[0], cols = m.shape()[1];
  NdArray t = NdArray::Zeros(m.dtype(), {cols, rows});
  const std::size_t item = m.itemsize();
  for (int64_t r = 0; r < rows; ++r) {
    for (int64_t c = 0; c < cols; ++c) {
      std::memcpy(t.mutable_data() + (c * rows + r) * item,
                  m.data() + (r * cols + c) * item, item);
    }
  }
  return t;
}

struct Fusion {
  std::string product, dense;  // the matmul, and the node that becomes dense
  std::string a, weights, bias;
  NdArray weights_data, bias_data;
  bool new_weights = false, new_bias = false;
};

}  // namespace

std::unique_ptr<Graph> ProductsAsDense(const Graph& graph,
                                       const std::vector<std::string>& keep) {
  const DiGraph& g = graph.qm_nx_graph;
  const auto kept = [&keep](const std::string& n) {
    return std::find(keep.begin(), keep.end(), n) != keep.end();
  };
  const auto is_output = [&graph](const std::string& n) {
    return std::find(graph.orig_outputs.begin(), graph.orig_outputs.end(), n) !=
           graph.orig_outputs.end();
  };
  std::map<std::string, Fusion> by_product;
  std::map<std::string, std::string> product_of_add;
  std::set<std::string> taken;
  for (const std::string& n : g.nodes()) taken.insert(n);
  for (const std::string& n : g.nodes()) {
    const AttrDict& node = g.node(n);
    if (Text(node, "op") != "matmul" || kept(n) ||
        Truthy(node.find("transposeA")) || Truthy(node.find("transpose_a"))) {
      continue;
    }
    const std::string b = Text(node, "B");
    const NdArray* w = ConstantData(graph, b);
    const std::string a = Text(node, "A");
    if (w == nullptr || w->ndim() != 2 || w->dtype() != DType::kFloat32 ||
        !g.has_node(a)) {
      continue;
    }
    const Value* a_shape = g.node(a).find("output_shape");
    if (a_shape == nullptr || !a_shape->is_list() ||
        a_shape->as_list().size() != 2) {
      continue;
    }
    Fusion f;
    f.product = f.dense = n;
    f.a = a;
    f.weights = b;
    const bool transpose =
        Truthy(node.find("transposeB")) || Truthy(node.find("transpose_b"));
    f.weights_data = transpose ? Transposed(*w) : *w;
    const int64_t m = f.weights_data.shape()[1];
    f.new_weights = transpose && g.successors(b).size() != 1;
    if (f.new_weights) f.weights = b + "/transposed";
    // The add of a constant bias that only this product feeds.
    const std::vector<std::string> readers = g.successors(n);
    if (readers.size() == 1 && !is_output(n) && !kept(readers[0])) {
      const AttrDict& add = g.node(readers[0]);
      const std::string other =
          Text(add, "x") == n ? Text(add, "y") : Text(add, "x");
      const NdArray* bias = ConstantData(graph, other);
      if (Text(add, "op") == "add" && bias != nullptr &&
          bias->dtype() == DType::kFloat32 && bias->size() == m &&
          add.find("output_shape") != nullptr &&
          *add.find("output_shape") == *node.find("output_shape") &&
          other != n) {
        f.dense = readers[0];
        f.bias = other;
        f.bias_data = bias->Reshaped({m});
        f.new_bias = g.successors(other).size() != 1;
        if (f.new_bias) f.bias = other + "/dense";
        product_of_add[readers[0]] = n;
      }
    }
    if (f.bias.empty()) {
      f.bias = n + "/bias";
      f.bias_data = NdArray::Zeros(DType::kFloat32, {m});
      f.new_bias = true;
    }
    for (std::string* name : {&f.weights, &f.bias}) {
      const std::string base = *name;
      const bool fresh = (name == &f.weights && f.new_weights) ||
                         (name == &f.bias && f.new_bias);
      for (int i = 2; fresh && taken.count(*name); ++i) {
        *name = base + "_" + std::to_string(i);
      }
      taken.insert(*name);
    }
    by_product.emplace(n, std::move(f));
  }
  auto out = std::make_unique<Graph>();
  out->orig_inputs = graph.orig_inputs;
  out->orig_outputs = graph.orig_outputs;
  const auto add_constant = [&](const std::string& name, const NdArray& data) {
    AttrDict c;
    c.set("op", Value("constant"));
    std::vector<int64_t> shape(data.shape().begin(), data.shape().end());
    c.set("output_shape", Value::IntList(shape));
    out->qm_nx_graph.add_node(name, c);
    out->tensor_dict.set(name, data);
  };
  std::set<std::string> skipped;
  for (const auto& [product, f] : by_product) {
    if (f.dense != product) skipped.insert(product);
  }
  for (const std::string& n : g.nodes()) {
    if (skipped.count(n)) continue;
    const Fusion* f = nullptr;
    if (auto it = by_product.find(n); it != by_product.end()) f = &it->second;
    if (auto it = product_of_add.find(n); it != product_of_add.end()) {
      f = &by_product.at(it->second);
    }
    if (f == nullptr) {
      out->qm_nx_graph.add_node(n, g.node(n));
      if (const NdArray* d = graph.tensor_dict.find(n)) {
        out->tensor_dict.set(n, *d);
      }
      continue;
    }
    AttrDict dense;
    dense.set("op", Value("dense"));
    dense.set("output_shape", *g.node(n).find("output_shape"));
    dense.set("A", Value(f->a));
    dense.set("B", Value(f->weights));
    dense.set("bias", Value(f->bias));
    out->qm_nx_graph.add_node(n, dense);
  }
  for (const auto& [product, f] : by_product) {
    add_constant(f.weights, f.weights_data);
    add_constant(f.bias, f.bias_data);
  }
  for (const auto& [u, v] : g.edges()) {
    const std::string& from = g.name_of(u);
    const std::string& to = g.name_of(v);
    if (skipped.count(from) || skipped.count(to) || by_product.count(to) ||
        product_of_add.count(to)) {
      continue;
    }
    out->qm_nx_graph.add_edge(from, to);
  }
  for (const auto& [product, f] : by_product) {
    for (const std::string& in : {f.a, f.weights, f.bias}) {
      out->qm_nx_graph.add_edge(in, f.dense);
    }
  }
  return out;
}

}  // namespace sarnic::quant
