// quantize() from Python: the Python graph converted, quantised by the
// library with the GIL released, and handed back with its report (as the
// JSON document and the text table).
#include "sarnic/quantize.h"

#include <pybind11/stl.h>

#include "bindings.h"
#include "convert.h"
#include "export_args.h"

namespace sarnic::python {
namespace {

SampleSet ToSamples(const py::dict& arrays, const std::string& what) {
  SampleSet set;
  for (const auto& [k, v] : arrays) {
    const std::string name = TextOf(k, what + " array name");
    set.emplace(name, ToArray(v, what + " array '" + name + "'"));
  }
  return set;
}

py::tuple QuantizeGraph(const py::object& graph, const py::dict& calibration,
                        const std::string& method, double percentile,
                        const std::string& io,
                        const std::vector<std::string>& keep_float,
                        const std::optional<py::dict>& validation) {
  Graph g;
  ConvertGraph(graph, py::none(), g);
  const SampleSet calib = ToSamples(calibration, "calibration");
  std::optional<SampleSet> valid;
  if (validation) valid = ToSamples(*validation, "validation");
  QuantizeOptions options;
  options.method = method;
  options.percentile = percentile;
  options.io = io;
  options.keep_float = keep_float;
  QuantizedGraph q;
  {
    py::gil_scoped_release release;
    q = Quantize(g, calib, options, valid ? &*valid : nullptr);
  }
  return py::make_tuple(GraphTuple(q.graph), q.report.Json(), q.report.Text());
}

}  // namespace

void BindQuantize(py::module_& m) {
  m.def("quantize", &QuantizeGraph, py::arg("graph"), py::arg("calibration"),
        py::arg("method"), py::arg("percentile"), py::arg("io"),
        py::arg("keep_float"), py::arg("validation"),
        "Quantises a graph to int8: (graph tuple, report JSON, report text).");
}

}  // namespace sarnic::python
