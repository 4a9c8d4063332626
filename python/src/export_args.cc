// The Python exporter's graph and options converted in: nodes and their
// attributes, edges, inputs and outputs, the arrays the model will hold
// (viewed, not copied), and the export options from the exporter's
// attributes.
#include "export_args.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include "convert.h"
#include "sarnic/errors.h"
#include "sarnic/operations.h"

namespace sarnic::python {

namespace {

// The op of a node of `g`, when it is a text.
const std::string* OpOf(const Graph& g, const std::string& node) {
  if (!g.qm_nx_graph.has_node(node)) return nullptr;
  const Value* op = g.qm_nx_graph.node(node).find("op");
  return op != nullptr && op->is_text() ? &op->as_text() : nullptr;
}

// Converts the arrays that the model will hold: those of constant and
// variable nodes (other entries are never read by the export). Their bytes
// are counted from shapes and element types first, so that an export too
// large for the format is refused before any array is copied (a broadcast
// view would be expanded by the copy).
void ConvertModelArrays(Graph& g, const py::dict& tensors,
                        const py::object& ext_constants) {
  std::vector<std::pair<std::string, py::handle>> kept;
  uint64_t data = 0;
  for (const auto& [k, v] : tensors) {
    const std::string key = TextOf(k, "tensor_dict key");
    const std::string* op = OpOf(g, key);
    if (op == nullptr || (*op != "constant" && *op != "variable")) continue;
    bool is_float64 = false;
    const uint64_t bytes = NominalBytes(v, &is_float64);
    data += ModelDataBytes(*op, is_float64 ? DType::kFloat64 : DType::kFloat32,
                           bytes);
    // Checked at every step, so that the sum cannot wrap around.
    CheckModelDataBytes(data);
    kept.emplace_back(key, v);
  }
  if (!ext_constants.is_none()) {
    // Written as float32.
    for (const auto& [k, v] : ext_constants.cast<py::dict>()) {
      if (py::isinstance<py::array>(v)) {
        data += std::min<uint64_t>(v.attr("size").cast<uint64_t>(),
                                   kMaxModelBytes) *
                4;
        CheckModelDataBytes(data);
      }
    }
  }
  CheckModelDataBytes(data);
  for (const auto& [key, v] : kept) {
    g.tensor_dict.set(key, ToArray(v, "tensor_dict '" + key + "'"));
  }
}

std::optional<std::vector<std::string>> Names(const py::object& o) {
  if (o.is_none()) return std::nullopt;
  return o.cast<std::vector<std::string>>();
}

// The export options from the Python exporter's attributes: the one place
// where the module's keyword arguments become ExportOptions.
// An option of one value from the exporter's attribute of the same name: a
// switch by Python's truth, a text, or a path (str or os.PathLike) or None.
void ReadOption(const py::object& v, const char* /*name*/, bool& field) {
  field = py::bool_(v);
}
void ReadOption(const py::object& v, const char* name, std::string& field) {
  field = TextOf(v, name);
}
void ReadOption(const py::object& v, const char* name,
                std::optional<std::string>& field) {
  if (v.is_none()) {
    field.reset();
  } else {
    field = TextOf(py::module_::import("os").attr("fspath")(v), name);
  }
}

}  // namespace

ExportOptions OptionsOf(const py::object& exporter) {
  auto opt = [&](const char* key) { return exporter.attr(key); };
  ExportOptions o;
#define SARNIC_PY_OPTION(Type, name, default_value, flag, choices, help) \
  ReadOption(opt(#name), #name, o.name);
  SARNIC_VALUE_OPTIONS(SARNIC_PY_OPTION)
#undef SARNIC_PY_OPTION
  o.save_layers = std::make_shared<std::vector<std::string>>(
      opt("save_layers").cast<std::vector<std::string>>());
  o.copy_layers = std::make_shared<std::vector<CopyPair>>();
  for (const py::handle pair : opt("copy_layers")) {
    o.copy_layers->push_back(py::cast<std::vector<std::string>>(pair));
  }
  if (!opt("ext_constants").is_none()) {
    o.ext_constants.emplace();
    for (const auto& [k, v] : opt("ext_constants").cast<py::dict>()) {
      const std::string key = py::str(k).cast<std::string>();
      o.ext_constants->set(key, ToArray(v, "ext_constants '" + key + "'"));
    }
  }
  o.labels = Names(opt("labels"));
  o.input_names = Names(opt("input_names"));
  o.output_names = Names(opt("output_names"));
  return o;
}

namespace {

// A one-dimensional integer array where a list of integers is declared (a
// shape, axes, strides ...) becomes that list, as a NumPy user writes them.
void IntListsFromArrays(DiGraph& g) {
  for (uint32_t n = 0; n < g.number_of_nodes(); ++n) {
    AttrDict& attrs = g.attrs_of(n);
    const Value* op = attrs.find("op");
    const OpSpec* op_spec =
        op && op->is_text() ? BuiltinOperation(op->as_text()) : nullptr;
    for (auto& [key, value] : attrs) {
      if (!value.is_array() || value.as_array().ndim() != 1 ||
          !(IsSignedInteger(value.as_array().dtype()) ||
            IsUnsignedInteger(value.as_array().dtype()))) {
        continue;
      }
      const AttrSpec* spec = key == "output_shape" ? &CommonAttrs().front()
                             : op_spec != nullptr  ? op_spec->attr(key)
                                                   : nullptr;
      if (spec == nullptr || spec->kind != AttrKind::kIntList) continue;
      const NdArray& a = value.as_array();
      List items;
      for (int64_t i = 0; i < a.size(); ++i) items.emplace_back(a.GetInt(i));
      value = Value(std::move(items));
    }
  }
}

}  // namespace

// The C++ graph of a Python one: nodes with their attributes, edges, the
// inputs and outputs, and the arrays the model holds.
void ConvertGraph(const py::object& graph, const py::object& ext_constants,
                  Graph& g) {
  py::object nx = graph.attr("qm_nx_graph");
  // The export follows edges from input to consumer: an undirected graph
  // has no such direction to follow.
  if (!py::hasattr(nx, "is_directed") || !py::bool_(nx.attr("is_directed")())) {
    throw TypeError(
        "qm_nx_graph must be a directed graph (networkx.DiGraph), not " +
        py::type::of(nx).attr("__name__").cast<std::string>());
  }
  const py::object tensors = graph.attr("tensor_dict");
  if (!py::isinstance<py::dict>(tensors)) {
    throw TypeError("tensor_dict must be a dict of node names to arrays, not " +
                    py::type::of(tensors).attr("__name__").cast<std::string>());
  }
  // A NetworkX graph keeps each node's attributes and successors in dicts
  // of its own (_node, _succ): read once, in node order, without a view
  // object per node. Another graph class goes through the public views.
  const bool plain = py::hasattr(nx, "_node") && py::hasattr(nx, "_succ") &&
                     py::isinstance<py::dict>(nx.attr("_node")) &&
                     py::isinstance<py::dict>(nx.attr("_succ"));
  if (plain) {
    for (const auto& [n, attrs] : nx.attr("_node").cast<py::dict>()) {
      const std::string node_name = TextOf(n, "node name");
      SetAttrs(g.qm_nx_graph.add_node(node_name), attrs.cast<py::dict>(),
               node_name);
    }
    for (const auto& [n, successors] : nx.attr("_succ").cast<py::dict>()) {
      const std::string from = TextOf(n, "node name");
      for (const auto& [s, data] : successors.cast<py::dict>()) {
        g.qm_nx_graph.add_edge(from, TextOf(s, "node name"));
      }
    }
  } else {
    for (const py::handle n : nx.attr("nodes")) {
      const std::string node_name = TextOf(n, "node name");
      SetAttrs(g.qm_nx_graph.add_node(node_name), nx.attr("nodes")[n],
               node_name);
    }
    for (const py::handle n : nx.attr("nodes")) {
      const std::string from = TextOf(n, "node name");
      for (const py::handle s : nx.attr("successors")(n)) {
        g.qm_nx_graph.add_edge(from, TextOf(s, "node name"));
      }
    }
  }
  IntListsFromArrays(g.qm_nx_graph);
  g.orig_inputs = NameList(graph.attr("orig_inputs"), "orig_inputs");
  g.orig_outputs = NameList(graph.attr("orig_outputs"), "orig_outputs");
  ConvertModelArrays(g, tensors.cast<py::dict>(), ext_constants);
}

// 64 bits that tell an attribute's name and value apart from any other's
// with overwhelming likelihood: kinds, texts, numbers, nesting and array
// contents all enter.

}  // namespace sarnic::python
