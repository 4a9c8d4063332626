// snx-import: an ONNX model in, a graph file (JSON plus safetensors
// weights) out, for inspection or editing before snx-export.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "graph_source.h"
#include "output_paths.h"
#include "quantize_options.h"
#include "sarnic/files.h"
#include "sarnic/graph_file.h"
#include "sarnic/onnx_import.h"
#include "tool_output.h"

namespace {

struct Args {
  std::string model, out;
  std::optional<std::string> weights;
  std::vector<std::string> dims;
  bool nhwc_io = false;
  bool list_ops = false, markdown = false;
  sarnic::tools::QuantizeArgs quant;
};

int Import(const Args& a) {
  if (a.model.empty() || a.out.empty()) {
    sarnic::tools::PrintError("an ONNX model and -o GRAPH.json are required");
    return 2;
  }
  std::vector<std::string> read;
  sarnic::tools::Progress progress("snx-import: importing " + a.model);
  auto graph = sarnic::tools::ImportReconciled(
      a.model, sarnic::tools::ParseDims(a.dims, a.nhwc_io), &read);
  const std::string weights = a.weights.value_or(
      std::filesystem::path(a.out).stem().string() + ".safetensors");
  // The weights file lands beside the graph file, whatever folder it names.
  const std::string weights_path =
      (std::filesystem::path(a.out).parent_path() / weights).string();
  std::vector<sarnic::tools::NamedOutput> outputs = {
      {"-o", a.out},
      {a.weights ? "--weights" : "the default weights file", weights_path}};
  if (a.quant.report) outputs.push_back({"--quant-report", *a.quant.report});
  std::vector<std::string> inputs = read;
  for (const auto& samples : {a.quant.calibration, a.quant.validation}) {
    if (samples) inputs.push_back(*samples);
  }
  sarnic::tools::CheckOutputs(outputs, inputs);
  std::optional<sarnic::QuantReport> report;
  if (a.quant.quantize) {
    progress.Stop();  // calibration draws its own progress line
    graph = sarnic::tools::QuantizeIfAsked(a.quant, std::move(graph), a.nhwc_io,
                                           &read, &report);
  }
  sarnic::SaveGraph(*graph, a.out, weights);
  if (report && a.quant.report) {
    sarnic::WriteFileAtomically(*a.quant.report, "quantisation report",
                                [&](std::ostream& o) { o << report->Json(); });
  }
  progress.Stop();
  std::cout << a.out << ": " << graph->qm_nx_graph.number_of_nodes()
            << " nodes, " << graph->tensor_dict.size() << " tensors in "
            << weights << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Import an ONNX model as a graph file (JSON plus safetensors weights) "
      "for snx-export; snx-export also takes the ONNX model directly."};
  Args a;
  app.add_option("model", a.model, "ONNX model (.onnx)");
  app.add_option("-o,--output", a.out, "Graph file to write (.json)");
  app.add_option("--weights", a.weights,
                 "Weights file beside it (default: the graph file's name "
                 "with .safetensors)");
  sarnic::tools::DefineOnnxOptions(app, a.dims, a.nhwc_io);
  sarnic::tools::DefineQuantizeOptions(app, a.quant);
  app.add_flag("--list-ops", a.list_ops,
               "List the ONNX operations converted and what they become");
  app.add_flag("--onnx-markdown", a.markdown,
               "Print the table of ONNX operations as Markdown (docs/onnx.md)");
  sarnic::tools::AddVersionFlag(app, "snx-import");
  if (const auto status = sarnic::tools::ParseCommandLine(app, argc, argv, [&] {
        sarnic::tools::CheckDims(a.dims);
        sarnic::tools::CheckQuantizeArgs(app, a.quant);
      })) {
    return *status;
  }
  if (a.list_ops || a.markdown) {
    std::cout << (a.markdown ? sarnic::OnnxOperationsMarkdown()
                             : sarnic::ListOnnxOperations());
    return sarnic::tools::FinishOutput(0);
  }
  sarnic::RemoveTemporaryFilesOnSignals();
  int status = 0;
  try {
    status = Import(a);
  } catch (const std::exception& e) {
    sarnic::tools::PrintError(e.what());
    status = 1;
  }
  return sarnic::tools::FinishOutput(status);
}
