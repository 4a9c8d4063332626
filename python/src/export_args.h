// The Python exporter's graph and options, converted for the export.
#ifndef SARNIC_PYTHON_EXPORT_ARGS_H_
#define SARNIC_PYTHON_EXPORT_ARGS_H_

#include <pybind11/pybind11.h>

#include "sarnic/exporter.h"

namespace sarnic::python {

namespace py = pybind11;

// The export options from the Python exporter's attributes: the one place
// they are read.
ExportOptions OptionsOf(const py::object& exporter);

// The C++ graph of a Python one: nodes with their attributes, edges, the
// inputs and outputs, and the arrays the model holds; `ext_constants`
// (None or a dict) become arrays of the graph too.
void ConvertGraph(const py::object& graph, const py::object& ext_constants,
                  Graph& g);

}  // namespace sarnic::python

#endif  // SARNIC_PYTHON_EXPORT_ARGS_H_
