// The operations quantisation knows, and what it reads of a node.
#include "quant/rules.h"

#include <algorithm>
#include <functional>
#include <set>

#include "sarnic/exporter.h"
#include "sarnic/operations.h"

namespace sarnic::quant {

using fixed_point::QuantParams;

namespace {

const Rule kRules[] = {
    {"conv", Kind::kWeighted},
    {"dense", Kind::kWeighted},
    {"add", Kind::kBinary},
    {"sub", Kind::kBinary},
    {"mul", Kind::kBinary},
    {"relu", Kind::kTable},
    {"relu6", Kind::kTable},
    {"sigmoid", Kind::kTable, QuantParams{1.0f / 256.0f, -128}},
    {"tanh", Kind::kTable, QuantParams{1.0f / 128.0f, 0}},
    {"abs", Kind::kTable},
    {"exp", Kind::kTable},
    {"leaky_relu", Kind::kTable},
    {"swish", Kind::kTable},
    {"max_pool", Kind::kSame},
    {"avg_pool", Kind::kSame},
    {"transpose", Kind::kSame},
    {"slice", Kind::kSame},
    {"reshape", Kind::kSame},
    {"pad", Kind::kSame},
    {"resize", Kind::kSame},
    {"mean_reduce", Kind::kSame},
    {"concat", Kind::kConcat},
};

}  // namespace

const Rule* RuleOf(const std::string& op) {
  for (const Rule& r : kRules) {
    if (op == r.op) return &r;
  }
  return nullptr;
}

Value ScaleValue(const std::vector<float>& scales) {
  return NdArray::FromValues(DType::kFloat32,
                             {static_cast<int64_t>(scales.size())}, scales);
}
Value ZeroValue(const std::vector<int32_t>& zeros) {
  return NdArray::FromValues(DType::kInt32,
                             {static_cast<int64_t>(zeros.size())}, zeros);
}
void SetParams(AttrDict& node, QuantParams p) {
  node.set("datatype", Value("int8"));
  node.set("quant_scale", ScaleValue({p.scale}));
  node.set("zero_point", ZeroValue({p.zero_point}));
}
bool Same(QuantParams a, QuantParams b) {
  return a.scale == b.scale && a.zero_point == b.zero_point;
}

std::string OpOf(const AttrDict& node) {
  const Value* op = node.find("op");
  return op != nullptr && op->is_text() ? op->as_text() : std::string();
}

// The node names a node reads, by attribute, as its operation declares.

Operands OperandsOf(const AttrDict& node) {
  Operands o;
  const OpSpec* spec = BuiltinOperation(OpOf(node));
  if (spec == nullptr) return o;
  for (const AttrSpec& a : spec->attrs) {
    const Value* v = node.find(a.name);
    if (v == nullptr) continue;
    if (a.kind == AttrKind::kNode && v->is_text()) {
      o.by_attr.push_back({a.name, {v->as_text()}});
    } else if (a.kind == AttrKind::kNodeList && v->is_list()) {
      std::vector<std::string> names;
      for (const Value& e : v->as_list()) {
        if (e.is_text()) names.push_back(e.as_text());
      }
      o.by_attr.push_back({a.name, names});
    }
  }
  return o;
}

bool FloatData(const AttrDict& node) {
  const Value* d = node.find("datatype");
  return d == nullptr || (d->is_text() && d->as_text() == "float32");
}

// An activation the integer kernels fuse.
bool FusibleActivation(const AttrDict& node) {
  const Value* a = node.find("activation");
  if (a == nullptr) return true;
  if (!a->is_text()) return false;
  const std::string& t = a->as_text();
  return t == "linear" || t == "relu" || t == "relu6";
}

// Runs of float nodes joined by edges, data nodes and the quantiser's own
// layers left out.
bool Eligible(const Graph& g, const std::string& n, const Rule& rule,
              const std::vector<std::string>& keep_float, bool observed) {
  const DiGraph& d = g.qm_nx_graph;
  const auto constant = [&](const std::string& c) {
    return d.has_node(c) && OpOf(d.node(c)) == "constant" &&
           g.tensor_dict.contains(c);
  };
  const AttrDict& node = d.node(n);
  if (!FloatData(node)) return false;
  if (std::find(keep_float.begin(), keep_float.end(), n) != keep_float.end()) {
    return false;
  }
  const Operands ops = OperandsOf(node);
  if (ops.by_attr.empty()) return false;
  for (const auto& [attr, names] : ops.by_attr) {
    for (const std::string& in : names) {
      if (!d.has_node(in) || !FloatData(d.node(in))) return false;
    }
  }
  // Resizing by interpolation has no integer rule; nearest has.
  if (OpOf(node) == "resize") {
    const Value* mode = node.find("mode");
    if (mode == nullptr || !mode->is_number() || mode->as_real() != 0) {
      return false;
    }
  }
  if (rule.kind == Kind::kWeighted) {
    if (!FusibleActivation(node)) return false;
    const char* weights = OpOf(node) == "conv" ? "filter" : "B";
    const Value* w = node.find(weights);
    if (w == nullptr || !w->is_text() || !constant(w->as_text())) {
      return false;
    }
    const Value* b = node.find("bias");
    if (b != nullptr && (!b->is_text() || !constant(b->as_text()))) {
      return false;
    }
    if (b == nullptr && OpOf(node) == "dense") return false;
  }
  // What the calibration saw of it (a layer the run computed).
  return rule.kind == Kind::kSame || observed;
}

std::vector<std::vector<std::string>> FloatIslands(
    const Graph& graph, const std::map<std::string, QuantParams>& int8) {
  std::vector<std::vector<std::string>> islands;
  const DiGraph& g = graph.qm_nx_graph;
  std::map<std::string, std::string> root;
  const std::function<std::string(const std::string&)> find =
      [&](const std::string& x) -> std::string {
    std::string& p = root[x];
    if (p.empty() || p == x) return p = x;
    return p = find(p);
  };
  std::vector<std::string> floats;
  for (const std::string& n : g.topological_sort()) {
    const std::string op = OpOf(g.node(n));
    if (int8.count(n) || op == "constant" || op == "external" ||
        op == "variable") {
      continue;
    }
    floats.push_back(n);
    find(n);
  }
  const std::set<std::string> is_float(floats.begin(), floats.end());
  for (const std::string& n : floats) {
    for (const std::string& s : g.successors(n)) {
      if (is_float.count(s)) root[find(s)] = find(n);
    }
  }
  std::map<std::string, std::size_t> island_of;
  for (const std::string& n : floats) {
    const std::string k = find(n);
    auto it = island_of.find(k);
    if (it == island_of.end()) {
      it = island_of.emplace(k, islands.size()).first;
      islands.emplace_back();
    }
    islands[it->second].push_back(n);
  }
  return islands;
}

}  // namespace sarnic::quant
