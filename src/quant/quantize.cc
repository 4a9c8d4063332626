// Quantise: the float model exported and run over the calibration samples
// with an observer on every layer output, the graph rewritten from the
// ranges seen, and both models run again over the samples for the report.
#include "sarnic/quantize.h"

#include <sstream>

#include "quant/calibrate.h"
#include "quant/dense.h"
#include "quant/report.h"
#include "quant/rewrite.h"
#include "sarnic/analysis.h"
#include "sarnic/errors.h"
#include "sarnic/exporter.h"
#include "sarnic/interpreter.h"
#include "sarnic/model_reader.h"

namespace sarnic {

std::unique_ptr<Graph> CopyGraph(const Graph& graph) {
  auto copy = std::make_unique<Graph>();
  const DiGraph& g = graph.qm_nx_graph;
  for (const std::string& n : g.nodes())
    copy->qm_nx_graph.add_node(n, g.node(n));
  for (const auto& [u, v] : g.edges()) {
    copy->qm_nx_graph.add_edge(g.name_of(u), g.name_of(v));
  }
  copy->orig_inputs = graph.orig_inputs;
  copy->orig_outputs = graph.orig_outputs;
  for (const auto& [name, array] : graph.tensor_dict) {
    copy->tensor_dict.set(name, array);
  }
  return copy;
}

namespace quant {
namespace {

// The model of `graph` (left unchanged), exported with the default options.
std::vector<uint8_t> ExportBytes(const Graph& graph) {
  const std::unique_ptr<Graph> copy = CopyGraph(graph);
  std::ostringstream quiet;
  ExportOptions options;
  options.diagnostics = &quiet;
  SarnicExporter exporter(*copy, "quantised", std::move(options));
  const ModelBuffer model = exporter.run();
  return {model.data(), model.data() + model.size()};
}

DeviceMemory MemoryOf(const std::vector<uint8_t>& bytes) {
  return DeviceMemoryOf(
      AnalyseModel(ReadModel(bytes, "the model"), bytes.size()));
}

}  // namespace

}  // namespace quant

QuantizedGraph Quantize(const Graph& graph, const SampleSet& calibration,
                        const QuantizeOptions& options,
                        const SampleSet* validation) {
  if (options.io != "float" && options.io != "int8") {
    throw ValueError("io must be \"float\" or \"int8\", not \"" + options.io +
                     "\"");
  }
  quant::MethodNamed(options.method);
  const std::vector<uint8_t> float_bytes = quant::ExportBytes(graph);
  const Interpreter float_model = Interpreter::FromBytes(float_bytes);
  const quant::Samples calib(calibration, float_model.inputs(), "calibration");
  std::optional<quant::Samples> valid;
  if (validation != nullptr) {
    valid.emplace(*validation, float_model.inputs(), "validation");
  }
  const quant::Ranges ranges = quant::Calibrate(float_model, calib, options);
  const std::unique_ptr<Graph> dense =
      quant::ProductsAsDense(graph, options.keep_float);
  quant::Rewritten r = quant::Rewrite(*dense, ranges, options);

  QuantReport report;
  report.method = options.method;
  report.calibration_samples = calib.count();
  report.validation_samples = valid ? valid->count() : 0;
  if (calib.count() < 50) {
    report.warnings.push_back(
        "only " + std::to_string(calib.count()) +
        " calibration samples: ranges from fewer than 50 may not hold for "
        "the inputs the model meets");
  }
  const std::vector<uint8_t> int8_bytes = quant::ExportBytes(*r.graph);
  const Interpreter int8_model = Interpreter::FromBytes(int8_bytes);
  const DeviceMemory fm = quant::MemoryOf(float_bytes);
  const DeviceMemory qm = quant::MemoryOf(int8_bytes);
  report.float_flash = fm.flash;
  report.float_ram = fm.ram;
  report.int8_flash = qm.flash;
  report.int8_ram = qm.ram;
  report.flash_budget = options.flash_budget;
  report.ram_budget = options.ram_budget;
  report.float_islands = r.float_islands;
  report.notes = r.notes;
  quant::Compare(float_model, int8_model, r, calib, "calibration", options,
                 report);
  if (valid) {
    quant::Compare(float_model, int8_model, r, *valid, "validation", options,
                   report);
  }
  return {std::move(r.graph), std::move(report)};
}

}  // namespace sarnic
