// The checker's rules, one small function each over one node, run in the
// order of the table at the end. A rule that lacks what it needs (a shape
// that is no list of integers, an input that is no node) says nothing: the
// rule about that attribute reports it.
#include "sarnic/checker.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <set>
#include <unordered_map>

#include "sarnic/exporter.h"
#include "sarnic/operations.h"
#include "sarnic/reference.h"

namespace sarnic {

namespace {

class Context {
 public:
  explicit Context(const Graph& graph) : graph_(graph), g_(graph.qm_nx_graph) {
    for (const OpSpec* s : BuiltinOperations()) specs_[s->op] = s;
  }

  const Graph& graph() const { return graph_; }
  const DiGraph& g() const { return g_; }
  std::vector<Finding>& findings() { return findings_; }

  void Add(uint32_t node, std::string attribute, std::string message) {
    findings_.push_back(
        {g_.name_of(node), std::move(attribute), std::move(message)});
  }

  const std::string* OpOf(uint32_t node) const {
    const Value* op = g_.attrs_of(node).find("op");
    return op != nullptr && op->is_text() ? &op->as_text() : nullptr;
  }

  const OpSpec* SpecOf(uint32_t node) const {
    const std::string* op = OpOf(node);
    if (op == nullptr) return nullptr;
    auto it = specs_.find(*op);
    return it == specs_.end() ? nullptr : it->second;
  }

  // The output shape of node `name` when it is a list of integers.
  std::optional<Shape> ShapeOf(const std::string& name) const {
    if (!g_.has_node(name)) return std::nullopt;
    return Ints(g_.node(name).find("output_shape"));
  }

  static std::optional<Shape> Ints(const Value* v) {
    if (v == nullptr || !v->is_list()) return std::nullopt;
    Shape out;
    for (const Value& d : v->as_list()) {
      if (!d.is_integer()) return std::nullopt;
      out.push_back(d.as_int());
    }
    return out;
  }

  // The node named by the text attribute `attr`, when it is one.
  const std::string* InputName(uint32_t node, const char* attr) const {
    const Value* v = g_.attrs_of(node).find(attr);
    return v != nullptr && v->is_text() ? &v->as_text() : nullptr;
  }

 private:
  const Graph& graph_;
  const DiGraph& g_;
  std::unordered_map<std::string, const OpSpec*> specs_;
  std::vector<Finding> findings_;
};

std::string ShapeText(const Shape& s) {
  std::string out = "[";
  for (std::size_t i = 0; i < s.size(); ++i) {
    out += (i ? ", " : "") + std::to_string(s[i]);
  }
  return out + "]";
}

bool IsIntegral(const Value& v) {
  if (v.is_integer()) return true;
  if (v.is_real()) {
    const double d = v.as_real();
    return d == static_cast<double>(static_cast<int64_t>(d));
  }
  return false;
}

bool HasKind(const Value& v, AttrKind kind) {
  switch (kind) {
    case AttrKind::kNode:
    case AttrKind::kText:
    case AttrKind::kActivation:
      return v.is_text();
    case AttrKind::kNodeList:
      return v.is_list() &&
             std::all_of(v.as_list().begin(), v.as_list().end(),
                         [](const Value& i) { return i.is_text(); });
    case AttrKind::kIntList:
      return v.is_list() &&
             std::all_of(v.as_list().begin(), v.as_list().end(), IsIntegral);
    case AttrKind::kInt:
      return IsIntegral(v);
    case AttrKind::kReal:
      return v.is_number();
    case AttrKind::kFlag:
      return true;
    case AttrKind::kValue:
      return !v.is_none() && !v.is_dict();
  }
  return true;
}

void KnownOp(Context& c, uint32_t n) {
  const Value* op = c.g().attrs_of(n).find("op");
  if (op == nullptr) return c.Add(n, "op", "the node has no op");
  if (!op->is_text())
    return c.Add(n, "op", "must be a text, not " + op->repr());
  if (c.SpecOf(n) != nullptr) return;
  std::string message = "no operation '" + op->as_text() + "' has an exporter";
  const std::vector<std::string> near = NearestOperations(op->as_text());
  for (std::size_t i = 0; i < near.size(); ++i) {
    message += (i == 0 ? "; did you mean '" : "' or '") + near[i];
  }
  if (!near.empty()) message += "'?";
  c.Add(n, "op", message + " (snx-export --list-ops lists them)");
}

// A node reference: the node exists and an edge leads from it to `n`, so
// that the topological order exports it first.
void Reference(Context& c, uint32_t n, const std::string& attr,
               const std::string& ref) {
  const std::string& self = c.g().name_of(n);
  if (!c.g().has_node(ref)) {
    return c.Add(n, attr, "names '" + ref + "', which is no node");
  }
  if (!c.g().has_edge(ref, self)) {
    c.Add(n, attr,
          "names '" + ref + "' but the graph has no edge from '" + ref +
              "' to '" + self + "', so '" + ref +
              "' may be exported after it; add the edge [\"" + ref + "\", \"" +
              self + "\"]");
  }
}

void Attributes(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr) return;
  const AttrDict& node = c.g().attrs_of(n);
  std::vector<AttrSpec> attrs = spec->attrs;
  attrs.insert(attrs.begin(), CommonAttrs().front());  // output_shape
  for (const AttrSpec& a : attrs) {
    const Value* v = node.find(a.name);
    if (v == nullptr) {
      if (a.required) {
        c.Add(n, a.name,
              "is required (" + std::string(AttrKindName(a.kind)) + ": " +
                  a.meaning + ")");
      }
      continue;
    }
    if (!HasKind(*v, a.kind)) {
      c.Add(n, a.name,
            "must be a " + std::string(AttrKindName(a.kind)) + ", not " +
                v->repr());
      continue;
    }
    if (a.kind == AttrKind::kNode) Reference(c, n, a.name, v->as_text());
    if (a.kind == AttrKind::kNodeList) {
      for (const Value& item : v->as_list()) {
        Reference(c, n, a.name, item.as_text());
      }
    }
  }
}

void OutputShapeEntries(Context& c, uint32_t n) {
  const std::optional<Shape> shape =
      Context::Ints(c.g().attrs_of(n).find("output_shape"));
  if (!shape) return;
  uint64_t count = 1;
  for (int64_t d : *shape) {
    if (d <= 0) {
      return c.Add(n, "output_shape",
                   "has the entry " + std::to_string(d) + " in " +
                       ShapeText(*shape) + "; every entry must be positive");
    }
    if (d > std::numeric_limits<int32_t>::max() ||
        count >
            std::numeric_limits<int64_t>::max() / static_cast<uint64_t>(d)) {
      return c.Add(n, "output_shape",
                   ShapeText(*shape) + " overflows the model's sizes");
    }
    count *= static_cast<uint64_t>(d);
  }
}

void ArrayShape(Context& c, uint32_t n) {
  const std::string* op = c.OpOf(n);
  if (op == nullptr || (*op != "constant" && *op != "variable")) return;
  const NdArray* a = c.graph().tensor_dict.find(c.g().name_of(n));
  const std::optional<Shape> shape =
      Context::Ints(c.g().attrs_of(n).find("output_shape"));
  if (a == nullptr || !shape || *shape == a->shape()) return;
  c.Add(n, "output_shape",
        "is " + ShapeText(*shape) + " but the node's array in tensor_dict is " +
            ShapeText(a->shape()));
}

std::optional<int64_t> Count(const Shape& s) {
  int64_t count = 1;
  for (int64_t d : s) {
    if (d <= 0 || count > std::numeric_limits<int64_t>::max() / d) {
      return std::nullopt;
    }
    count *= d;
  }
  return count;
}

void Reshape(Context& c, uint32_t n) {
  const std::string* op = c.OpOf(n);
  const std::string* input = c.InputName(n, "input");
  if (op == nullptr || *op != "reshape" || input == nullptr) return;
  const auto out = c.ShapeOf(c.g().name_of(n));
  const auto in = c.ShapeOf(*input);
  if (!out || !in) return;
  const auto out_count = Count(*out), in_count = Count(*in);
  if (!out_count || !in_count || *out_count == *in_count) return;
  c.Add(n, "output_shape",
        ShapeText(*out) + " holds " + std::to_string(*out_count) +
            " elements but its input '" + *input + "' " + ShapeText(*in) +
            " holds " + std::to_string(*in_count));
}

// The shape two operands broadcast to, aligned at their last dimension.
std::optional<Shape> Broadcast(const Shape& a, const Shape& b) {
  Shape out(std::max(a.size(), b.size()));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int64_t x = i < a.size() ? a[a.size() - 1 - i] : 1;
    const int64_t y = i < b.size() ? b[b.size() - 1 - i] : 1;
    if (x != y && x != 1 && y != 1) return std::nullopt;
    out[out.size() - 1 - i] = x == 1 ? y : x;
  }
  return out;
}

// The input names of an element-wise operation, with the attribute each
// comes from; empty for other operations.
std::vector<std::pair<std::string, std::string>> ElementwiseInputs(
    const Context& c, uint32_t n) {
  static const std::set<std::string> kTwo = {"add", "sub", "mul", "div", "pow"};
  std::vector<std::pair<std::string, std::string>> out;
  const std::string* op = c.OpOf(n);
  if (op == nullptr) return out;
  const AttrDict& node = c.g().attrs_of(n);
  std::vector<std::string> attrs;
  if (kTwo.count(*op)) attrs = {"x", "y"};
  if (*op == "prelu") attrs = {"x", "scales"};
  for (const std::string& a : attrs) {
    if (const std::string* name = c.InputName(n, a.c_str())) {
      out.emplace_back(a, *name);
    }
  }
  const Value* values = node.find("values");
  if (*op == "add_n" && values != nullptr && values->is_list()) {
    for (const Value& v : values->as_list()) {
      if (v.is_text()) out.emplace_back("values", v.as_text());
    }
  }
  return out;
}

void BroadcastShape(Context& c, uint32_t n) {
  const auto inputs = ElementwiseInputs(c, n);
  const auto out = c.ShapeOf(c.g().name_of(n));
  if (inputs.empty() || !out) return;
  std::optional<Shape> expected = Shape{};
  std::string shapes;
  for (const auto& [attr, name] : inputs) {
    const auto s = c.ShapeOf(name);
    if (!s) return;
    shapes += (shapes.empty() ? "" : " and ") + ShapeText(*s);
    if (expected) expected = Broadcast(*expected, *s);
  }
  if (!expected) {
    return c.Add(n, inputs.front().first,
                 "the input shapes " + shapes + " do not broadcast");
  }
  if (*expected != *out) {
    c.Add(n, "output_shape",
          "is " + ShapeText(*out) + " but the inputs " + shapes +
              " broadcast to " + ShapeText(*expected));
  }
}

void Concat(Context& c, uint32_t n) {
  const std::string* op = c.OpOf(n);
  const AttrDict& node = c.g().attrs_of(n);
  const Value* values = node.find("values");
  const Value* axis_value = node.find("axis");
  const auto out = c.ShapeOf(c.g().name_of(n));
  if (op == nullptr || *op != "concat" || values == nullptr ||
      !values->is_list() || axis_value == nullptr || !IsIntegral(*axis_value) ||
      !out) {
    return;
  }
  const auto rank = static_cast<int64_t>(out->size());
  int64_t axis = axis_value->is_real()
                     ? static_cast<int64_t>(axis_value->as_real())
                     : axis_value->as_int();
  if (axis < 0) axis += rank;
  if (axis < 0 || axis >= rank) {
    return c.Add(n, "axis",
                 std::to_string(axis_value->as_int()) + " is outside the " +
                     std::to_string(rank) + " dimensions of the output");
  }
  int64_t sum = 0;
  for (const Value& v : values->as_list()) {
    const auto s = v.is_text() ? c.ShapeOf(v.as_text()) : std::nullopt;
    if (!s) return;
    for (int64_t d = 0; d < rank; ++d) {
      if (static_cast<int64_t>(s->size()) != rank ||
          (d != axis && (*s)[d] != (*out)[d])) {
        return c.Add(n, "values",
                     "part '" + v.as_text() + "' " + ShapeText(*s) +
                         " disagrees with the output " + ShapeText(*out) +
                         " off the axis " + std::to_string(axis));
      }
    }
    sum += (*s)[axis];
  }
  if (sum != (*out)[axis]) {
    c.Add(n, "output_shape",
          "has " + std::to_string((*out)[axis]) + " along the axis " +
              std::to_string(axis) + " but the parts add up to " +
              std::to_string(sum));
  }
}

// The output keeps the reduced axes (as dimensions of 1) when the node's
// keep_dims says so, drops them when it says not; without keep_dims either
// rank is taken.
void ReductionRank(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  const std::string* input = c.InputName(n, "input");
  const auto axes = Context::Ints(c.g().attrs_of(n).find("axes"));
  if (spec == nullptr || spec->family != "reduction" || input == nullptr ||
      !axes) {
    return;
  }
  const auto in = c.ShapeOf(*input);
  const auto out = c.ShapeOf(c.g().name_of(n));
  if (!in || !out) return;
  std::set<int64_t> reduced;
  for (int64_t a : *axes) {
    reduced.insert(a < 0 ? a + static_cast<int64_t>(in->size()) : a);
  }
  const std::size_t kept = in->size();
  const std::size_t dropped = kept - std::min(kept, reduced.size());
  const Value* keep_dims = c.g().attrs_of(n).find("keep_dims");
  if (keep_dims == nullptr && (out->size() == kept || out->size() == dropped)) {
    return;
  }
  const bool keep = keep_dims != nullptr && keep_dims->truthy();
  const std::size_t expected = keep ? kept : dropped;
  if (keep_dims != nullptr && out->size() == expected) return;
  c.Add(
      n, "output_shape",
      ShapeText(*out) + " has rank " + std::to_string(out->size()) +
          " but reducing " + std::to_string(reduced.size()) + " axes of " +
          ShapeText(*in) +
          (keep_dims == nullptr ? " gives rank " + std::to_string(kept) +
                                      " or " + std::to_string(dropped)
                                : std::string(keep ? " keeping" : " dropping") +
                                      " them (keep_dims) gives rank " +
                                      std::to_string(expected)));
}

void Datatypes(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  const Value* own = c.g().attrs_of(n).find("datatype");
  if (spec == nullptr || own == nullptr ||
      (spec->family != "unary" && spec->family != "binary") ||
      spec->op == "quant" || spec->op == "dequant") {
    return;
  }
  std::vector<std::pair<std::string, std::string>> inputs =
      ElementwiseInputs(c, n);
  if (const std::string* x = c.InputName(n, "x"); x && inputs.empty()) {
    inputs.emplace_back("x", *x);
  }
  for (const auto& [attr, name] : inputs) {
    if (!c.g().has_node(name)) continue;
    const Value* theirs = c.g().node(name).find("datatype");
    if (theirs != nullptr && !(*theirs == *own)) {
      c.Add(n, attr,
            "input '" + name + "' has datatype " + theirs->repr() +
                " but this element-wise node has " + own->repr());
    }
  }
}

using Rule = void (*)(Context&, uint32_t);
constexpr Rule kRules[] = {KnownOp,    Attributes,    OutputShapeEntries,
                           ArrayShape, Reshape,       BroadcastShape,
                           Concat,     ReductionRank, Datatypes};

}  // namespace

std::vector<Finding> CheckGraph(const Graph& graph) {
  Context c(graph);
  for (uint32_t n = 0; n < graph.qm_nx_graph.number_of_nodes(); ++n) {
    for (Rule rule : kRules) rule(c, n);
  }
  return std::move(c.findings());
}

std::string FormatFinding(const Finding& f) {
  return "node '" + f.node + "'" +
         (f.attribute.empty() ? "" : " attribute '" + f.attribute + "'") +
         ": " + f.message;
}

}  // namespace sarnic
