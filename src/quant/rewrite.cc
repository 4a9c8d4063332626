// The rewrite: a pass that decides each node's form and each int8 output's
// parameters, then a pass in topological order that writes the new graph,
// making the operands each node needs (quantised constants, quant and
// dequant layers) as it reaches them.
#include "quant/rewrite.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <set>

#include "quant/rules.h"
#include "quant/weights.h"
#include "sarnic/errors.h"
#include "sarnic/exporter.h"
#include "sarnic/operations.h"

namespace sarnic::quant {
namespace {

using fixed_point::QuantParams;

class Rewriter {
 public:
  Rewriter(const Graph& g, const Ranges& ranges, const QuantizeOptions& o)
      : g_(g), ranges_(ranges), options_(o) {
    out_ = std::make_unique<Graph>();
    for (const std::string& n : g.qm_nx_graph.nodes()) taken_.insert(n);
    for (const std::string& n : o.keep_float) {
      if (!g.qm_nx_graph.has_node(n)) {
        throw ValueError("--keep-float names '" + n +
                         "', which is no node of the graph");
      }
    }
  }

  Rewritten Run();

 private:
  const AttrDict& Node(const std::string& n) const {
    return g_.qm_nx_graph.node(n);
  }
  bool IsConstant(const std::string& n) const {
    return OpOf(Node(n)) == "constant" && g_.tensor_dict.contains(n);
  }
  std::string Fresh(const std::string& base);
  std::optional<QuantParams> Calibrated(const std::string& n) const;
  QuantParams CalibratedOrFail(const std::string& n) const;
  void Decide();
  void Emit(const std::string& n);
  void EmitFloat(const std::string& n);
  void EmitInt8(const std::string& n, const Rule& rule);
  void EmitConstant(const std::string& n);
  void Edge(const std::string& from, const std::string& to) {
    out_->qm_nx_graph.add_edge(from, to);
  }
  // The name of a node of the new graph holding `n`'s output in float, or
  // in int8 (with `want`'s parameters when given).
  std::string FloatOperand(const std::string& n);
  std::string Int8Operand(const std::string& n,
                          std::optional<QuantParams> want);
  QuantParams ParamsOf(const std::string& n) const;

  const Graph& g_;
  const Ranges& ranges_;
  const QuantizeOptions& options_;
  std::unique_ptr<Graph> out_;
  std::set<std::string> taken_;
  std::map<std::string, QuantParams> params_;  // int8 nodes, old names
  std::map<std::string, std::string> name_;    // old -> new, when renamed
  std::map<std::string, std::string> dequant_;
  std::map<std::string, std::vector<std::pair<QuantParams, std::string>>>
      quant_;
  std::set<std::string> emitted_constants_;
  std::map<std::string, std::vector<std::string>> consumers_;
  Rewritten result_;
};

std::string Rewriter::Fresh(const std::string& base) {
  std::string name = base;
  for (int i = 2; taken_.count(name) != 0; ++i) {
    name = base + "_" + std::to_string(i);
  }
  taken_.insert(name);
  return name;
}

std::optional<QuantParams> Rewriter::Calibrated(const std::string& n) const {
  if (IsConstant(n)) {
    const NdArray& a = g_.tensor_dict.at(n);
    float lo = 0, hi = 0;
    for (int64_t i = 0; i < a.size(); ++i) {
      const auto v = static_cast<float>(a.GetDouble(i));
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    return fixed_point::ActivationParams(lo, hi);
  }
  const auto it = ranges_.find(n);
  if (it == ranges_.end()) return std::nullopt;
  return fixed_point::ActivationParams(it->second.first, it->second.second);
}

QuantParams Rewriter::CalibratedOrFail(const std::string& n) const {
  const auto p = Calibrated(n);
  if (!p) {
    throw ValueError("node '" + n +
                     "' has no calibrated range: the calibration run "
                     "did not compute it");
  }
  return *p;
}

void Rewriter::Decide() {
  const std::vector<std::string> order = g_.qm_nx_graph.topological_sort();
  for (const std::string& n : order) {
    for (const std::string& s : g_.qm_nx_graph.successors(n)) {
      consumers_[n].push_back(s);
    }
  }
  const bool int8_io = options_.io == "int8";
  // Free parameters: from the calibrated range, or fixed by the rule.
  for (const std::string& n : order) {
    const std::string op = OpOf(Node(n));
    if (op == "external") {
      if (int8_io && FloatData(Node(n))) params_[n] = CalibratedOrFail(n);
      continue;
    }
    const Rule* rule = RuleOf(op);
    if (rule == nullptr ||
        !Eligible(g_, n, *rule, options_.keep_float, ranges_.count(n) != 0)) {
      continue;
    }
    if (rule->kind == Kind::kSame) {
      params_[n] = QuantParams{};  // set below, from its input
    } else {
      params_[n] = rule->fixed ? *rule->fixed : CalibratedOrFail(n);
    }
  }
  // A concat's input written by a layer that requantises anyway, and read
  // by nothing else, takes the concat's parameters: no requantisation.
  for (const std::string& n : order) {
    if (OpOf(Node(n)) != "concat" || params_.count(n) == 0) continue;
    for (const auto& [attr, names] : OperandsOf(Node(n)).by_attr) {
      for (const std::string& in : names) {
        const Rule* r = RuleOf(OpOf(Node(in)));
        if (params_.count(in) != 0 && r != nullptr &&
            (r->kind == Kind::kWeighted || r->kind == Kind::kBinary ||
             (r->kind == Kind::kTable && !r->fixed)) &&
            consumers_[in].size() == 1) {
          params_[in] = params_[n];
        }
      }
    }
  }
  for (const std::string& n : order) {
    const Rule* rule = RuleOf(OpOf(Node(n)));
    if (rule == nullptr || rule->kind != Kind::kSame || !params_.count(n)) {
      continue;
    }
    const std::string in = OperandsOf(Node(n)).by_attr.front().second.front();
    params_[n] = params_.count(in) ? params_[in] : CalibratedOrFail(in);
  }
}

QuantParams Rewriter::ParamsOf(const std::string& n) const {
  return params_.at(n);
}

void Rewriter::EmitConstant(const std::string& n) {
  if (!emitted_constants_.insert(n).second) return;
  out_->qm_nx_graph.add_node(n, Node(n));
  out_->tensor_dict.set(n, g_.tensor_dict.at(n));
}

std::string Rewriter::FloatOperand(const std::string& n) {
  if (IsConstant(n)) {
    EmitConstant(n);
    return n;
  }
  if (params_.count(n) == 0) return n;
  auto it = dequant_.find(n);
  if (it != dequant_.end()) return it->second;
  const QuantParams p = ParamsOf(n);
  const std::string from = name_.count(n) ? name_.at(n) : n;
  const std::string d = name_.count(n) ? n : Fresh(n + "/dequant");
  AttrDict attrs;
  attrs.set("op", Value("dequant"));
  attrs.set("x", Value(from));
  attrs.set("output_shape", Node(n).at("output_shape"));
  attrs.set("quant_scale", ScaleValue({p.scale}));
  attrs.set("zero_point", ZeroValue({p.zero_point}));
  out_->qm_nx_graph.add_node(d, attrs);
  Edge(from, d);
  dequant_[n] = d;
  return d;
}

std::string Rewriter::Int8Operand(const std::string& n,
                                  std::optional<QuantParams> want) {
  if (params_.count(n) != 0 && (!want || Same(*want, ParamsOf(n)))) {
    return name_.count(n) ? name_.at(n) : n;
  }
  const QuantParams p = want ? *want : CalibratedOrFail(n);
  for (const auto& [q, name] : quant_[n]) {
    if (Same(q, p)) return name;
  }
  std::string q;
  if (IsConstant(n)) {
    q = Fresh(n + "/int8");
    AttrDict attrs = Node(n);
    SetParams(attrs, p);
    attrs.erase("datatype");
    out_->qm_nx_graph.add_node(q, attrs);
    out_->tensor_dict.set(q, QuantizeActivation(g_.tensor_dict.at(n), p));
  } else {
    const std::string from = FloatOperand(n);
    if (params_.count(n) != 0) {
      result_.notes.push_back("'" + n +
                              "' is requantised for a reader that "
                              "needs other parameters (through float)");
    }
    q = Fresh(n + "/quant");
    AttrDict attrs;
    attrs.set("op", Value("quant"));
    attrs.set("x", Value(from));
    attrs.set("output_shape", Node(n).at("output_shape"));
    SetParams(attrs, p);
    out_->qm_nx_graph.add_node(q, attrs);
    Edge(from, q);
  }
  quant_[n].push_back({p, q});
  return q;
}

void Rewriter::EmitFloat(const std::string& n) {
  AttrDict attrs = Node(n);
  std::vector<std::string> ins;
  for (const auto& [attr, names] : OperandsOf(attrs).by_attr) {
    std::vector<std::string> mapped;
    for (const std::string& in : names) mapped.push_back(FloatOperand(in));
    if (attrs.at(attr).is_list()) {
      attrs.set(attr, Value::TextList(mapped));
    } else {
      attrs.set(attr, Value(mapped.front()));
    }
    ins.insert(ins.end(), mapped.begin(), mapped.end());
  }
  out_->qm_nx_graph.add_node(n, attrs);
  if (const NdArray* data = g_.tensor_dict.find(n)) {
    out_->tensor_dict.set(n, *data);
  }
  // An operation the quantiser does not know keeps its edges as they were.
  if (BuiltinOperation(OpOf(attrs)) == nullptr) {
    for (const std::string& p : g_.qm_nx_graph.predecessors(n)) {
      ins.push_back(FloatOperand(p));
    }
  }
  for (const std::string& in : ins) Edge(in, n);
}

void Rewriter::EmitInt8(const std::string& n, const Rule& rule) {
  AttrDict attrs = Node(n);
  const QuantParams out = ParamsOf(n);
  const std::string name = name_.count(n) ? name_.at(n) : n;
  std::vector<std::string> ins;
  for (const auto& [attr, names] : OperandsOf(attrs).by_attr) {
    std::vector<std::string> mapped;
    for (const std::string& in : names) {
      if (rule.kind == Kind::kWeighted && attr != "input" && attr != "A") {
        continue;  // the weights and bias, below
      }
      std::optional<QuantParams> want;
      if (rule.kind == Kind::kConcat) want = out;
      mapped.push_back(Int8Operand(in, want));
    }
    if (mapped.empty()) continue;
    if (attrs.at(attr).is_list()) {
      attrs.set(attr, Value::TextList(mapped));
    } else {
      attrs.set(attr, Value(mapped.front()));
    }
    ins.insert(ins.end(), mapped.begin(), mapped.end());
  }
  if (rule.kind == Kind::kWeighted) {
    const bool conv = OpOf(attrs) == "conv";
    const std::string data = Node(n).at(conv ? "input" : "A").as_text();
    const QuantParams in =
        params_.count(data) ? ParamsOf(data) : CalibratedOrFail(data);
    const std::string w = attrs.at(conv ? "filter" : "B").as_text();
    const Value* b = attrs.find("bias");
    const bool shared_w = consumers_[w].size() != 1;
    QuantizedWeights qw = QuantizeWeights(
        g_.tensor_dict.at(w), b ? &g_.tensor_dict.at(b->as_text()) : nullptr,
        in.scale);
    for (const std::string& note : qw.notes) {
      result_.notes.push_back("'" + n + "': " + note);
    }
    const std::string wn = shared_w ? Fresh(w + "/" + n) : w;
    AttrDict wa = Node(w);
    wa.erase("datatype");
    wa.set("quant_scale", ScaleValue(qw.weight_scales));
    wa.set("zero_point",
           ZeroValue(std::vector<int32_t>(qw.weight_scales.size(), 0)));
    wa.set("quant_axis", Value(int64_t{qw.weights.ndim() - 1}));
    out_->qm_nx_graph.add_node(wn, wa);
    out_->tensor_dict.set(wn, qw.weights);
    attrs.set(conv ? "filter" : "B", Value(wn));
    ins.push_back(wn);
    if (b != nullptr) {
      const std::string bias = b->as_text();
      const std::string bn =
          consumers_[bias].size() != 1 ? Fresh(bias + "/" + n) : bias;
      AttrDict ba = Node(bias);
      ba.erase("datatype");
      ba.set("quant_scale", ScaleValue(qw.bias_scales));
      ba.set("zero_point",
             ZeroValue(std::vector<int32_t>(qw.bias_scales.size(), 0)));
      ba.set("quant_axis", Value(int64_t{0}));
      out_->qm_nx_graph.add_node(bn, ba);
      out_->tensor_dict.set(bn, qw.bias);
      attrs.set("bias", Value(bn));
      ins.push_back(bn);
    }
  }
  SetParams(attrs, out);
  out_->qm_nx_graph.add_node(name, attrs);
  for (const std::string& in : ins) Edge(in, name);
  result_.int8_of[name] = n;
  result_.params[name] = out;
}

void Rewriter::Emit(const std::string& n) {
  const AttrDict& node = Node(n);
  const std::string op = OpOf(node);
  if (op == "constant" && IsConstant(n)) {
    const bool output =
        std::find(g_.orig_outputs.begin(), g_.orig_outputs.end(), n) !=
        g_.orig_outputs.end();
    if (output || consumers_[n].empty()) EmitConstant(n);
    return;
  }
  if (params_.count(n) == 0) {
    EmitFloat(n);
    return;
  }
  if (op == "external") {
    AttrDict attrs = node;
    SetParams(attrs, ParamsOf(n));
    out_->qm_nx_graph.add_node(n, attrs);
    result_.int8_of[n] = n;
    result_.params[n] = ParamsOf(n);
    return;
  }
  EmitInt8(n, *RuleOf(op));
}

Rewritten Rewriter::Run() {
  for (const std::string& n : g_.qm_nx_graph.nodes()) {
    if (!FloatData(Node(n)) || Node(n).contains("quant_scale")) {
      throw ValueError("node '" + n +
                       "' is quantised already; quantise the float graph "
                       "it came from");
    }
  }
  Decide();
  // With float io, an int8 output is read through a dequant that takes the
  // output's name, so the model gives what the float model gave.
  std::vector<std::string> outputs;
  for (const std::string& o : g_.orig_outputs) {
    if (options_.io == "float" && params_.count(o) != 0 &&
        OpOf(Node(o)) != "external") {
      name_[o] = Fresh(o + "/int8");
    }
    outputs.push_back(o);
  }
  for (const std::string& n : g_.qm_nx_graph.topological_sort()) {
    Emit(n);
    // The dequant of a renamed int8 output takes the output's name.
    if (name_.count(n) != 0) FloatOperand(n);
  }
  out_->orig_inputs = g_.orig_inputs;
  out_->orig_outputs = outputs;
  result_.graph = std::move(out_);
  result_.float_islands = FloatIslands(g_, params_);
  return std::move(result_);
}

}  // namespace

Rewritten Rewrite(const Graph& graph, const Ranges& ranges,
                  const QuantizeOptions& options) {
  return Rewriter(graph, ranges, options).Run();
}

}  // namespace sarnic::quant
