// The checker's rules that look at a node as the layer it becomes: its
// output shape as the layer type's declaration gives it, attributes no
// declaration reads, and data layers without data.
#include <algorithm>
#include <limits>

#include "check/checker_rules.h"
#include "sarnic/errors.h"
#include "sarnic/interpreter.h"
#include "sarnic/reference.h"

namespace sarnic::checker {

namespace {

// Layer types whose shapes the other rules check already (broadcasts,
// concatenations, reductions, reshapes), and the data layers.
bool CheckedElsewhere(snxf::Op type) {
  using enum snxf::Op;
  switch (type) {
    case add:
    case subtract:
    case multiply:
    case divide:
    case pow:
    case concat:
    case reshape:
    case reduce_max:
    case reduce_mean:
    case reduce_min:
    case reduce_product:
    case reduce_sum:
    case constant:
    case variable:
    case input:
    case copy:
    case none:
      return true;
    default:
      return false;
  }
}

// Entries a layer's shape can hold (the other rules judge the rest).
bool InLayerRange(const Shape& s) {
  return std::all_of(s.begin(), s.end(), [](int64_t d) {
    return d > 0 && d <= std::numeric_limits<int32_t>::max();
  });
}

// The node's layer as its exporter writes it, with each node it reads as
// an input layer of its own; its inputs' names in layer order.
struct WrittenLayer {
  std::vector<std::string> inputs;
  const snxf::Layer* layer = nullptr;
};

bool WriteLayer(Context& c, uint32_t n, const OpSpec& spec, WrittenLayer& w) {
  AttrDict node = c.g().attrs_of(n);  // writers may reorder lists in place
  LayerIndex index;
  std::vector<std::string> names;
  for (const AttrSpec& a : spec.attrs) {
    const Value* v = node.find(a.name);
    if (v == nullptr) continue;
    if (a.kind == AttrKind::kNode && v->is_text())
      names.push_back(v->as_text());
    if (a.kind == AttrKind::kNodeList && v->is_list()) {
      for (const Value& i : v->as_list()) {
        if (i.is_text()) names.push_back(i.as_text());
      }
    }
  }
  for (const std::string& name : names) {
    if (c.g().index_of(name) < 0) return false;
    if (!index.contains(name)) {
      index.set(name, static_cast<uint32_t>(index.size()));
    }
  }
  BetterBuilder& builder = c.ScratchBuilder();
  const Offset layer = spec.exporter(builder, c.ScratchGraph(), index,
                                     c.g().name_of(n), node, std::nullopt);
  builder.Finish(flatbuffers::Offset<snxf::Layer>(layer));
  w.layer = flatbuffers::GetRoot<snxf::Layer>(builder.GetBufferPointer());
  w.inputs.resize(index.size());
  for (const auto& [name, at] : index.entries()) w.inputs[at] = name;
  return true;
}

}  // namespace

// A node of a type that keeps its input's shape, against its first input.
void KeptShape(Context& c, uint32_t n, const OpSpec& spec, const Shape& own) {
  for (const AttrSpec& a : spec.attrs) {
    if (a.kind != AttrKind::kNode) continue;
    const std::string* input = c.InputName(n, a.name.c_str());
    const Shape* theirs = input ? c.ShapeOf(*input) : nullptr;
    if (theirs == nullptr || *theirs == own) return;
    return c.Add(n, "output_shape",
                 "is " + ShapeText(own) + " but its input '" + *input +
                     "' is " + ShapeText(*theirs) + " (layer type " +
                     spec.layer_type + " keeps its input's shape)");
  }
}

void LayerShape(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr || CheckedElsewhere(spec->type)) return;
  const Shape* own = c.OwnShape(n);
  if (own == nullptr || !InLayerRange(*own)) return;
  if (LayerKeepsInputShape(spec->type)) {
    return KeptShape(c, n, *spec, *own);
  }
  WrittenLayer w;
  try {
    if (!WriteLayer(c, n, *spec, w)) return;
  } catch (const std::exception&) {
    return;  // attributes its exporter refuses: the attribute rules say why
  }
  std::vector<Shape> inputs;
  if (w.layer->inputs() != nullptr) {
    for (uint32_t i : *w.layer->inputs()) {
      const Shape* s = i < w.inputs.size() ? c.ShapeOf(w.inputs[i]) : nullptr;
      if (s == nullptr || !InLayerRange(*s)) return;
      inputs.push_back(*s);
    }
  }
  std::optional<Shape> computed;
  try {
    computed = InferLayerShape(*w.layer, inputs);
  } catch (const DetailedError& e) {
    return c.Add(n, "output_shape",
                 "cannot be worked out: " + e.detail() + " (layer type " +
                     spec->layer_type + ")");
  }
  if (!computed || *computed == *own) return;
  c.Add(n, "output_shape",
        "is " + ShapeText(*own) + " but its inputs and attributes give " +
            ShapeText(*computed) + " (layer type " + spec->layer_type + ")");
}

void UnknownAttributes(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr) return;
  std::vector<std::string> known = {"op"};
  // A reduction's keep_dims is the source graph's; the rank rule reads it.
  if (spec->family == "reduction") known.push_back("keep_dims");
  for (const AttrSpec& a : spec->attrs) known.push_back(a.name);
  for (const AttrSpec& a : CommonAttrs()) known.push_back(a.name);
  for (const auto& [name, value] : c.g().attrs_of(n)) {
    if (std::find(known.begin(), known.end(), name) != known.end()) continue;
    std::string message = "is read by no declaration of '" + spec->op + "'";
    const auto near = NearestNames(name, known);
    if (!near.empty()) message += "; did you mean '" + near.front() + "'?";
    c.Add(n, name, message + " (snx-export --describe-op " + spec->op + ")");
  }
}

void DataWithoutArray(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr ||
      (spec->type != snxf::Op::constant && spec->type != snxf::Op::variable)) {
    return;
  }
  if (c.graph().tensor_dict.find(c.g().name_of(n)) != nullptr) return;
  c.Refuse(n, "", "has no array in tensor_dict, so its layer has no data");
}

}  // namespace sarnic::checker
