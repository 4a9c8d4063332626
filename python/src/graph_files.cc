// Graph files from Python: load_graph and save_graph over the library's
// graph file reader and writer, and load_onnx over the ONNX importer.
#include <pybind11/stl.h>

#include "bindings.h"
#include "convert.h"
#include "sarnic/checker.h"
#include "sarnic/graph_file.h"
#include "sarnic/onnx_import.h"

namespace sarnic::python {

py::tuple GraphTuple(const std::unique_ptr<Graph>& g) {
  py::list nodes, edges;
  for (uint32_t i = 0; i < g->qm_nx_graph.number_of_nodes(); ++i) {
    py::dict attrs;
    for (const auto& [k, v] : g->qm_nx_graph.attrs_of(i))
      attrs[py::str(k)] = FromValue(v);
    nodes.append(py::make_tuple(g->qm_nx_graph.name_of(i), attrs));
  }
  for (const auto& [a, b] : g->qm_nx_graph.edges()) {
    edges.append(
        py::make_tuple(g->qm_nx_graph.name_of(a), g->qm_nx_graph.name_of(b)));
  }
  py::dict tensors;
  for (const auto& [k, a] : g->tensor_dict) tensors[py::str(k)] = FromArray(a);
  return py::make_tuple(nodes, edges, g->orig_inputs, g->orig_outputs, tensors);
}

namespace {

py::tuple LoadGraphFile(const std::string& path) {
  return GraphTuple(LoadGraph(path));
}

// As the tools: an imported model must pass the check, or its shapes
// cannot be reconciled.
void RefuseUnreconciled(const Graph& g, const std::string& what) {
  const std::vector<Finding> findings = CheckGraph(g, {.plans_arena = false});
  if (!findings.empty()) {
    throw FormatError(what, "",
                      FormatFinding(findings.front()) +
                          " (the model's shapes cannot be reconciled; " +
                          std::to_string(findings.size()) + " finding(s))");
  }
}

py::tuple ImportOnnxFile(const std::string& path,
                         const std::map<std::string, int64_t>& dims,
                         bool nhwc_io) {
  std::unique_ptr<Graph> g;
  {
    py::gil_scoped_release release;
    g = ImportOnnx(path, OnnxOptions{dims, nhwc_io});
    RefuseUnreconciled(*g, path);
  }
  return GraphTuple(g);
}

// A model in memory (bytes, or a serialized ModelProto): its external data,
// if any, is refused, as it has no folder to be read from.
py::tuple ImportOnnxData(const py::bytes& data,
                         const std::map<std::string, int64_t>& dims,
                         bool nhwc_io) {
  const std::string_view bytes = data;
  const std::string what = "the ONNX model given as bytes";
  std::unique_ptr<Graph> g;
  {
    py::gil_scoped_release release;
    g = ImportOnnxBytes(
        {reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()}, "",
        what, OnnxOptions{dims, nhwc_io});
    RefuseUnreconciled(*g, what);
  }
  return GraphTuple(g);
}

void SaveGraphFile(const py::list& nodes, const py::list& edges,
                   const std::vector<std::string>& inputs,
                   const std::vector<std::string>& outputs,
                   const py::dict& tensors, const std::string& path,
                   const std::optional<std::string>& weights) {
  Graph g;
  for (const py::handle n : nodes) {
    const auto t = n.cast<py::tuple>();
    const std::string name = py::str(t[0]).cast<std::string>();
    SetAttrs(g.qm_nx_graph.add_node(name), t[1].cast<py::dict>(), name);
  }
  for (const py::handle e : edges) {
    const auto t = e.cast<py::tuple>();
    g.qm_nx_graph.add_edge(py::str(t[0]).cast<std::string>(),
                           py::str(t[1]).cast<std::string>());
  }
  g.orig_inputs = inputs;
  g.orig_outputs = outputs;
  for (const auto& [k, v] : tensors) {
    const std::string key = py::str(k).cast<std::string>();
    g.tensor_dict.set(key, ToArray(v, "tensor_dict '" + key + "'"));
  }
  SaveGraph(g, path, weights);
}

}  // namespace

void BindGraphFiles(py::module_& m) {
  m.def("load_graph", &LoadGraphFile, py::arg("path"));
  m.def("import_onnx", &ImportOnnxFile, py::arg("path"), py::arg("dims"),
        py::arg("nhwc_io"));
  m.def("import_onnx_bytes", &ImportOnnxData, py::arg("data"), py::arg("dims"),
        py::arg("nhwc_io"));
  m.def("save_graph", &SaveGraphFile, py::arg("nodes"), py::arg("edges"),
        py::arg("inputs"), py::arg("outputs"), py::arg("tensors"),
        py::arg("path"), py::arg("weights"));
}

}  // namespace sarnic::python
