// The extension module's pieces, one concern per file: the plug-in
// adapter (plugins.cc), the export and the changes written back (run.cc),
// the builder and schema bindings (schema.cc) and graph files
// (graph_files.cc), the interpreter (interpreter.cc) and quantisation
// (quantize.cc).
#ifndef SARNIC_PYTHON_BINDINGS_H_
#define SARNIC_PYTHON_BINDINGS_H_

#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "sarnic/exporter.h"

namespace sarnic::python {

namespace py = pybind11;

// A builder handed to Python plug-ins for the duration of one call. Python
// may keep the handle; it is invalidated when the call ends, so that a kept
// handle raises instead of reaching a builder that is gone.
struct Builder {
  BetterBuilder* b;
  BetterBuilder& get() const {
    if (b == nullptr) {
      throw Error(
          "the builder is no longer valid: a plug-in's builder serves one "
          "export_<op> call and is invalidated when that call ends");
    }
    return *b;
  }
};

// The user exporter of a Python plug-in object: its export_<op> methods,
// called with a builder handle, the Python graph, the layer index as a
// dict, the node name and the caller's own attribute dictionary.
class PyUserExporter : public UserExporter {
 public:
  PyUserExporter(py::object obj, py::object graph, py::object nx)
      : obj_(std::move(obj)), graph_(std::move(graph)), nx_(std::move(nx)) {}
  const OpFunction* find(const std::string& op) const override;
  std::string name() const override;

 private:
  py::object obj_, graph_, nx_;
  mutable std::map<std::string, std::optional<OpFunction>> cache_;
};

// A graph as (nodes, edges, inputs, outputs, tensors), as the Python side
// builds its Graph from it.
py::tuple GraphTuple(const std::unique_ptr<Graph>& g);

void BindSchema(py::module_& m);
void BindRun(py::module_& m);
void BindGraphFiles(py::module_& m);
void BindInterpreter(py::module_& m);
void BindQuantize(py::module_& m);

}  // namespace sarnic::python

#endif  // SARNIC_PYTHON_BINDINGS_H_
