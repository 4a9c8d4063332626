// The checker's rules, one small function each over one node, run in the
// order of the table at the end. A rule that lacks what it needs (a shape
// that is no list of integers, an input that is no node) says nothing: the
// rule about that attribute reports it.
#include "sarnic/checker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "check/checker_rules.h"
#include "sarnic/reference.h"

namespace sarnic {
namespace checker {

bool IsIntegral(const Value& v) {
  if (v.is_integer()) return true;
  if (v.is_real()) {
    // Within int64's range first: converting a larger real is undefined.
    const double d = v.as_real();
    return d >= -0x1p63 && d < 0x1p63 && d == std::trunc(d);
  }
  return false;
}

// The input names of an element-wise operation, with the attribute each
// comes from; empty for other operations. The binary family is element-wise
// throughout: its node attributes and node lists, in the order declared,
// are the operands.
std::vector<std::pair<std::string, std::string>> ElementwiseInputs(Context& c,
                                                                   uint32_t n) {
  std::vector<std::pair<std::string, std::string>> out;
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr || spec->family != "binary") return out;
  const AttrDict& attrs = c.g().attrs_of(n);
  for (const AttrSpec& a : spec->attrs) {
    const Value* v = attrs.find(a.name);
    if (v == nullptr) continue;
    if (a.kind == AttrKind::kNode && v->is_text()) {
      out.emplace_back(a.name, v->as_text());
    } else if (a.kind == AttrKind::kNodeList && v->is_list()) {
      for (const Value& item : v->as_list()) {
        if (item.is_text()) out.emplace_back(a.name, item.as_text());
      }
    }
  }
  return out;
}

namespace {

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
  if (c.SpecOf(n) != nullptr) return;
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
  const int64_t from = c.g().index_of(ref);
  if (from < 0) {
    return c.Add(n, attr, "names '" + ref + "', which is no node");
  }
  // A node cannot be exported before itself: the export refuses it.
  if (ref == self) {
    return c.Refuse(n, attr, "names the node itself as its input");
  }
  if (!c.g().has_edge(static_cast<uint32_t>(from), n)) {
    c.Add(n, attr,
          "names '" + ref + "' but the graph has no edge from '" + ref +
              "' to '" + self + "', so '" + ref +
              "' may be exported after it; add the edge [\"" + ref + "\", \"" +
              self + "\"]");
  }
}

void CheckAttribute(Context& c, uint32_t n, const AttrSpec& a) {
  const Value* v = c.g().attrs_of(n).find(a.name);
  if (v == nullptr) {
    if (a.required) {
      c.Add(n, a.name,
            "is required (" + std::string(AttrKindName(a.kind)) + ": " +
                a.meaning + ")");
    }
    return;
  }
  if (!HasKind(*v, a.kind)) {
    return c.Add(n, a.name,
                 "must be a " + std::string(AttrKindName(a.kind)) + ", not " +
                     v->repr());
  }
  if (a.kind == AttrKind::kNode) Reference(c, n, a.name, v->as_text());
  if (a.kind == AttrKind::kNodeList) {
    for (const Value& item : v->as_list()) {
      Reference(c, n, a.name, item.as_text());
    }
  }
}

void Attributes(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr) return;
  CheckAttribute(c, n, CommonAttrs().front());  // output_shape
  for (const AttrSpec& a : spec->attrs) CheckAttribute(c, n, a);
}

// Entries are read from the attribute itself: every node has one, and
// building its shape would cost more than the check. An output whose blocks
// of 1024 bytes outnumber the arena's block numbers is refused by the
// export's planner.
void OutputShapeEntries(Context& c, uint32_t n) {
  const Value* shape = c.g().attrs_of(n).find("output_shape");
  if (shape == nullptr || !shape->is_list()) return;
  uint64_t count = 1;
  for (const Value& v : shape->as_list()) {
    if (!v.is_integer()) return;
    const int64_t d = v.as_int();
    if (d <= 0) {
      return c.Add(n, "output_shape",
                   "has the entry " + std::to_string(d) + " in " +
                       shape->repr() + "; every entry must be positive");
    }
    if (d > std::numeric_limits<int32_t>::max() ||
        count >
            std::numeric_limits<int64_t>::max() / static_cast<uint64_t>(d)) {
      return c.Add(n, "output_shape",
                   shape->repr() + " overflows the model's sizes");
    }
    count *= static_cast<uint64_t>(d);
  }
  const std::string* op = c.OpOf(n);
  if (!c.options().plans_arena || op == nullptr || *op == "constant" ||
      *op == "copy" || *op == "reshape") {
    return;  // not planned
  }
  const Value* dt = c.g().attrs_of(n).find("datatype");
  const bool byte_wide =
      dt != nullptr && (*dt == Value("int8") || *dt == Value("uint8"));
  const uint64_t per_block = byte_wide ? 1024 : 256;
  constexpr uint64_t kMaxBlocks = std::numeric_limits<uint32_t>::max();
  const uint64_t blocks = count / per_block + (count % per_block != 0);
  if (blocks > kMaxBlocks) {
    c.Refuse(n, "output_shape",
             shape->repr() + " needs more blocks of 1024 bytes than the " +
                 "arena numbers (" + std::to_string(kMaxBlocks) + ")");
  }
}

void Datatypes(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr ||
      (spec->family != "unary" && spec->family != "binary") ||
      spec->op == "quant" || spec->op == "dequant") {
    return;
  }
  const Value* own = c.g().attrs_of(n).find("datatype");
  if (own == nullptr) return;
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

// The export orders the nodes topologically and refuses a cycle.
void Cycle(Context& c) {
  if (const auto node = c.g().node_on_cycle()) {
    c.Refuse(static_cast<uint32_t>(c.g().index_of(*node)), "",
             "lies on a cycle of edges; the export needs an order in which "
             "every input comes first");
  }
}

using Rule = void (*)(Context&, uint32_t);
constexpr Rule kRules[] = {
    KnownOp,       Attributes, UnknownAttributes, OutputShapeEntries,
    ArrayShape,    Reshape,    BroadcastShape,    Concat,
    ReductionRank, Datatypes,  LayerShape,        DataWithoutArray};
using GraphRule = void (*)(Context&);
constexpr GraphRule kGraphRules[] = {Cycle};

}  // namespace

std::vector<Finding> RunRules(const Graph& graph, bool contain_faults,
                              const CheckOptions& options) {
  Context c(graph, options);
  auto run = [contain_faults](auto&& rule) {
    if (!contain_faults) return rule();
    try {
      rule();
    } catch (const std::exception&) {
      // Something this rule cannot judge: it says nothing.
    }
  };
  for (uint32_t n = 0; n < graph.qm_nx_graph.number_of_nodes(); ++n) {
    for (Rule rule : kRules) run([&] { rule(c, n); });
  }
  for (GraphRule rule : kGraphRules) run([&] { rule(c); });
  return std::move(c.findings());
}

}  // namespace checker

std::vector<Finding> CheckGraph(const Graph& graph,
                                const CheckOptions& options) {
  return checker::RunRules(graph, true, options);
}

std::string FormatFinding(const Finding& f) {
  return "node '" + f.node + "'" +
         (f.attribute.empty() ? "" : " attribute '" + f.attribute + "'") +
         ": " + f.message;
}

}  // namespace sarnic
