#include "onnx/newer_opsets.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "onnx/converter.h"
#include "onnx/tensors.h"
#include "sarnic/errors.h"

namespace sarnic::onnx_import {
namespace {

// The reductions whose axes became an input in set 18 (ReduceSum's did in
// set 13, which set 17 reads).
const std::set<std::string> kReductions = {
    "ReduceL1",   "ReduceL2",  "ReduceLogSum", "ReduceLogSumExp", "ReduceMax",
    "ReduceMean", "ReduceMin", "ReduceProd",   "ReduceSumSquare"};

class Lowering {
 public:
  Lowering(onnx::GraphProto& g, int64_t version, const std::string& what)
      : g_(g), version_(version), what_(what) {
    for (const auto& t : g.initializer()) {
      names_.insert(t.name());
      initializers_[t.name()] = &t;
    }
    for (const auto& v : g.input()) names_.insert(v.name());
    for (const auto& n : g.node()) {
      for (const auto& v : n.output()) names_.insert(v);
      if (n.op_type() == "Constant" && n.output_size() == 1) {
        constants_[n.output(0)] = &n;
      }
    }
  }

  // Rewrites node `n` in place; the nodes it needs before it are appended
  // to `before`.
  void Lower(onnx::NodeProto& n, std::vector<onnx::NodeProto>& before);

 private:
  [[noreturn]] void Fail(const onnx::NodeProto& n,
                         const std::string& problem) const {
    throw FormatError(
        what_, "node " + NodeName(n) + " (" + Printable(n.op_type()) + ")",
        problem + " (operator set " + std::to_string(version_) + ")");
  }
  std::string Fresh(const std::string& base) {
    std::string name = base;
    for (int i = 2; names_.count(name) != 0; ++i) {
      name = base + "_" + std::to_string(i);
    }
    names_.insert(name);
    return name;
  }
  // The integers of value `v`, when it is an initializer or a Constant's.
  std::optional<std::vector<int64_t>> Ints(const std::string& v) const;
  std::string FloatConstant(const std::string& base, std::vector<float> v,
                            std::vector<int64_t> dims);
  std::string IntConstant(const std::string& base,
                          const std::vector<int64_t>& v);
  static onnx::NodeProto Node(const std::string& op,
                              const std::vector<std::string>& inputs,
                              const std::string& output) {
    onnx::NodeProto n;
    n.set_op_type(op);
    n.set_name(output);
    for (const auto& v : inputs) n.add_input(v);
    n.add_output(output);
    return n;
  }
  // Turns `n` into `op` of `inputs`, keeping its output and name, and
  // dropping its attributes.
  static void Become(onnx::NodeProto& n, const std::string& op,
                     const std::vector<std::string>& inputs) {
    n.set_op_type(op);
    n.clear_input();
    for (const auto& v : inputs) n.add_input(v);
    n.clear_attribute();
  }
  const onnx::AttributeProto* Attr(const onnx::NodeProto& n,
                                   const char* name) const {
    for (const auto& a : n.attribute()) {
      if (a.name() == name) return &a;
    }
    return nullptr;
  }
  void Drop(onnx::NodeProto& n, const char* name) const {
    auto& attrs = *n.mutable_attribute();
    for (int i = attrs.size(); i-- > 0;) {
      if (attrs.Get(i).name() == name) attrs.DeleteSubrange(i, 1);
    }
  }

  void Reduction(onnx::NodeProto& n);
  void Mish(onnx::NodeProto& n, std::vector<onnx::NodeProto>& before);
  void Gelu(onnx::NodeProto& n, std::vector<onnx::NodeProto>& before);
  void GroupNormalization(onnx::NodeProto& n,
                          std::vector<onnx::NodeProto>& before);

  onnx::GraphProto& g_;
  int64_t version_;
  const std::string& what_;
  std::set<std::string> names_;
  std::map<std::string, const onnx::TensorProto*> initializers_;
  std::map<std::string, const onnx::NodeProto*> constants_;
};

std::optional<std::vector<int64_t>> Lowering::Ints(const std::string& v) const {
  const onnx::TensorProto* t = nullptr;
  if (const auto it = initializers_.find(v); it != initializers_.end()) {
    t = it->second;
  } else if (const auto k = constants_.find(v); k != constants_.end()) {
    for (const auto& a : k->second->attribute()) {
      if (a.name() == "value" && a.has_t()) t = &a.t();
      if (a.name() == "value_ints") {
        return std::vector<int64_t>(a.ints().begin(), a.ints().end());
      }
      if (a.name() == "value_int") return std::vector<int64_t>{a.i()};
    }
  }
  if (t == nullptr) return std::nullopt;
  const NdArray a = TensorArray(*t, what_ + ": tensor '" + Printable(v) + "'");
  std::vector<int64_t> ints;
  for (int64_t i = 0; i < a.size(); ++i) ints.push_back(a.GetInt(i));
  return ints;
}

std::string Lowering::FloatConstant(const std::string& base,
                                    std::vector<float> v,
                                    std::vector<int64_t> dims) {
  onnx::TensorProto* t = g_.add_initializer();
  t->set_name(Fresh(base));
  t->set_data_type(onnx::TensorProto::FLOAT);
  for (const int64_t d : dims) t->add_dims(d);
  for (const float x : v) t->add_float_data(x);
  return t->name();
}

std::string Lowering::IntConstant(const std::string& base,
                                  const std::vector<int64_t>& v) {
  onnx::TensorProto* t = g_.add_initializer();
  t->set_name(Fresh(base));
  t->set_data_type(onnx::TensorProto::INT64);
  t->add_dims(static_cast<int64_t>(v.size()));
  for (const int64_t x : v) t->add_int64_data(x);
  return t->name();
}

// Axes as an input (set 18) → the attribute; no axes with
// noop_with_empty_axes → an Identity.
void Lowering::Reduction(onnx::NodeProto& n) {
  const onnx::AttributeProto* noop = Attr(n, "noop_with_empty_axes");
  const bool keep = noop != nullptr && noop->i() != 0;
  Drop(n, "noop_with_empty_axes");
  if (n.input_size() < 2 || n.input(1).empty()) {
    if (keep) Become(n, "Identity", {n.input(0)});
    if (n.input_size() > 1) n.mutable_input()->DeleteSubrange(1, 1);
    return;
  }
  const auto axes = Ints(n.input(1));
  if (!axes) Fail(n, "has axes that the model computes");
  if (axes->empty() && keep) {
    Become(n, "Identity", {n.input(0)});
    return;
  }
  n.mutable_input()->DeleteSubrange(1, n.input_size() - 1);
  if (axes->empty()) return;
  onnx::AttributeProto* a = n.add_attribute();
  a->set_name("axes");
  a->set_type(onnx::AttributeProto::INTS);
  for (const int64_t x : *axes) a->add_ints(x);
}

// x × tanh(softplus(x)).
void Lowering::Mish(onnx::NodeProto& n, std::vector<onnx::NodeProto>& before) {
  const std::string x = n.input(0), y = n.output(0);
  const std::string sp = Fresh(y + "/softplus"), t = Fresh(y + "/tanh");
  before.push_back(Node("Softplus", {x}, sp));
  before.push_back(Node("Tanh", {sp}, t));
  Become(n, "Mul", {x, t});
}

// x × (1 + erf(x / √2)) / 2, or with "tanh" the approximation
// x × (1 + tanh(√(2/π) (x + 0.044715 x³))) / 2.
void Lowering::Gelu(onnx::NodeProto& n, std::vector<onnx::NodeProto>& before) {
  const onnx::AttributeProto* mode = Attr(n, "approximate");
  const std::string how = mode == nullptr ? "none" : mode->s();
  if (how != "none" && how != "tanh") {
    Fail(n, "has the approximation '" + Printable(how) + "'");
  }
  const std::string x = n.input(0), y = n.output(0);
  const auto scalar = [&](const char* what, double v) {
    return FloatConstant(y + "/" + what, {static_cast<float>(v)}, {});
  };
  const auto add = [&](const std::string& op, const std::string& a,
                       const std::string& b, const char* what) {
    before.push_back(Node(op, {a, b}, Fresh(y + "/" + what)));
    return before.back().output(0);
  };
  std::string inner;
  if (how == "none") {
    inner = add("Mul", x, scalar("inverse_sqrt2", 1 / std::sqrt(2.0)), "x");
    before.push_back(Node("Erf", {inner}, Fresh(y + "/erf")));
  } else {
    const std::string x2 = add("Mul", x, x, "x2");
    const std::string x3 = add("Mul", x2, x, "x3");
    const std::string cubic = add("Mul", x3, scalar("k", 0.044715), "cubic");
    const std::string sum = add("Add", x, cubic, "sum");
    inner = add("Mul", sum,
                scalar("sqrt_2_pi", std::sqrt(2.0 / std::numbers::pi)), "x");
    before.push_back(Node("Tanh", {inner}, Fresh(y + "/tanh")));
  }
  const std::string one =
      add("Add", before.back().output(0), scalar("one", 1.0), "one_plus");
  const std::string half = add("Mul", one, scalar("half", 0.5), "half");
  Become(n, "Mul", {x, half});
}

// The channels in G groups ([N, G, C/G × ...]) normalised over each group
// as InstanceNormalization normalises a channel, then scaled and shifted
// per group (sets 18 to 20) or per channel (set 21), and given back
// their shape.
void Lowering::GroupNormalization(onnx::NodeProto& n,
                                  std::vector<onnx::NodeProto>& before) {
  const onnx::AttributeProto* groups = Attr(n, "num_groups");
  if (groups == nullptr || groups->i() <= 0 || groups->i() > (1 << 24)) {
    Fail(n, "has no positive num_groups");
  }
  if (n.input_size() != 3) Fail(n, "does not have a scale and a bias");
  const int64_t G = groups->i();
  const onnx::AttributeProto* eps = Attr(n, "epsilon");
  const std::string x = n.input(0), y = n.output(0);
  const auto node = [&](const std::string& op,
                        const std::vector<std::string>& in, const char* what) {
    before.push_back(Node(op, in, Fresh(y + "/" + what)));
    return before.back().output(0);
  };
  const std::string shape = node("Shape", {x}, "shape");
  const std::string grouped =
      node("Reshape", {x, IntConstant(y + "/groups", {0, G, -1})}, "grouped");
  const auto size = static_cast<std::size_t>(G);
  before.push_back(Node(
      "InstanceNormalization",
      {grouped, FloatConstant(y + "/ones", std::vector<float>(size, 1.0f), {G}),
       FloatConstant(y + "/zeros", std::vector<float>(size, 0.0f), {G})},
      Fresh(y + "/normalized")));
  onnx::AttributeProto* e = before.back().add_attribute();
  e->set_name("epsilon");
  e->set_type(onnx::AttributeProto::FLOAT);
  e->set_f(eps == nullptr ? 1e-5f : eps->f());
  std::string normalized = before.back().output(0);
  if (version_ >= 21) {  // per channel: [N, C, rest]
    const auto scale = initializers_.find(n.input(1));
    if (scale == initializers_.end() || scale->second->dims_size() != 1) {
      Fail(n, "has a scale that is not a constant vector");
    }
    const std::string to =
        IntConstant(y + "/per_channel_shape", {0, scale->second->dims(0), -1});
    normalized = node("Reshape", {normalized, to}, "per_channel");
  }
  const std::string column = IntConstant(y + "/column", {-1, 1});
  const std::string scale = node("Reshape", {n.input(1), column}, "scale");
  const std::string bias = node("Reshape", {n.input(2), column}, "bias");
  const std::string scaled = node("Mul", {normalized, scale}, "scaled");
  const std::string shifted = node("Add", {scaled, bias}, "shifted");
  Become(n, "Reshape", {shifted, shape});
}

void Lowering::Lower(onnx::NodeProto& n, std::vector<onnx::NodeProto>& before) {
  if (n.domain() != "" && n.domain() != "ai.onnx") return;
  const std::string& op = n.op_type();
  const bool rewritten = kReductions.count(op) != 0 || op == "Mish" ||
                         op == "Gelu" || op == "GroupNormalization";
  if (rewritten && (n.input_size() == 0 || n.input(0).empty() ||
                    n.output_size() != 1 || n.output(0).empty())) {
    Fail(n, "does not have one input and one output");
  }
  const auto text = [&](const char* name, const std::string& fallback) {
    const onnx::AttributeProto* a = Attr(n, name);
    return a == nullptr ? fallback : a->s();
  };
  if (kReductions.count(op) != 0) {
    Reduction(n);
  } else if (op == "Split") {
    // num_outputs: the outputs are the parts, as set 17 splits without
    // sizes.
    Drop(n, "num_outputs");
  } else if (op == "Pad") {
    if (n.input_size() > 3 && !n.input(3).empty()) {
      Fail(n, "pads some axes only (an axes input), which is not converted");
    }
    if (text("mode", "constant") == "wrap") {
      Fail(n, "pads by wrapping around, which is not converted");
    }
  } else if (op == "Resize") {
    const onnx::AttributeProto* antialias = Attr(n, "antialias");
    if (antialias != nullptr && antialias->i() != 0) {
      Fail(n, "antialiases, which is not converted");
    }
    if (Attr(n, "axes") != nullptr) {
      Fail(n,
           "resizes some axes only (an axes attribute), which is not "
           "converted");
    }
    if (text("keep_aspect_ratio_policy", "stretch") != "stretch") {
      Fail(n, "keeps its aspect ratio, which is not converted");
    }
    if (text("coordinate_transformation_mode", "") == "half_pixel_symmetric") {
      Fail(n,
           "has the coordinate transformation 'half_pixel_symmetric', "
           "which is not converted");
    }
    Drop(n, "antialias");
    Drop(n, "keep_aspect_ratio_policy");
  } else if (op == "ScatterND" || op == "ScatterElements") {
    const std::string reduction = text("reduction", "none");
    if (reduction == "max" || reduction == "min") {
      Fail(n, "reduces by " + reduction + ", which is not converted");
    }
  } else if (op == "AveragePool" || op == "LpPool") {
    if (const onnx::AttributeProto* d = Attr(n, "dilations")) {
      if (std::any_of(d->ints().begin(), d->ints().end(),
                      [](int64_t v) { return v != 1; })) {
        Fail(n, "has dilations, which are not converted");
      }
      Drop(n, "dilations");
    }
  } else if (op == "Cast" || op == "CastLike") {
    Drop(n, "saturate");  // of 8-bit floats only
  } else if (op == "Mish") {
    Mish(n, before);
  } else if (op == "Gelu") {
    Gelu(n, before);
  } else if (op == "GroupNormalization") {
    GroupNormalization(n, before);
  }
}

}  // namespace

void LowerToCheckedOpset(onnx::ModelProto& m, int64_t version,
                         const std::string& what) {
  onnx::GraphProto& g = *m.mutable_graph();
  Lowering lowering(g, version, what);
  // The nodes are taken out and put back in order, the new ones before the
  // node they serve: none is copied (a Constant may hold a large tensor).
  auto& nodes = *g.mutable_node();
  std::vector<onnx::NodeProto*> all(static_cast<std::size_t>(nodes.size()));
  nodes.UnsafeArenaExtractSubrange(0, nodes.size(), all.data());
  std::vector<onnx::NodeProto> before;
  for (onnx::NodeProto*& n : all) {
    before.clear();
    try {
      lowering.Lower(*n, before);
    } catch (...) {
      // The rest go back, so that the model owns every node again.
      for (onnx::NodeProto*& rest : all) {
        if (rest != nullptr) nodes.UnsafeArenaAddAllocated(rest);
        rest = nullptr;
      }
      throw;
    }
    for (auto& b : before) *nodes.Add() = std::move(b);
    nodes.UnsafeArenaAddAllocated(n);
    n = nullptr;
  }
  for (auto& o : *m.mutable_opset_import()) {
    if (o.domain() == "" || o.domain() == "ai.onnx") {
      o.set_version(kCheckedOpset);
    }
  }
  // The checker knows IR versions up to 8; the later ones add element
  // types (8-bit floats, 4-bit integers) that the tensor readers refuse.
  if (m.ir_version() > 8) m.set_ir_version(8);
}

}  // namespace sarnic::onnx_import
