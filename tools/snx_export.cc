// snx-export: exports a graph file into an SNX model file.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "sarnic/errors.h"
#include "sarnic/exporter.h"
#include "sarnic/files.h"
#include "sarnic/graph_file.h"

namespace {

// One label per line; a final line break ends the last label.
std::vector<std::string> ReadLabels(const std::string& path) {
  const std::string text = sarnic::ReadFileText(path, "labels file");
  std::vector<std::string> labels;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    labels.push_back(std::move(line));
    start = end + 1;
  }
  return labels;
}

// Every value of a repeatable option is one name exactly as typed: no list
// syntax ("[a, b]") and no splitting at commas.
CLI::Option* Literal(CLI::Option* option) {
  return option->allow_extra_args(false)->delimiter('\0');
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Export a graph file (JSON plus optional safetensors weights) into an "
      "SNX model file."};
  std::string graph_path, out_path;
  std::optional<std::string> name, save_map, svm, ext_constants, labels_path,
      normalization;
  bool no_mem_map = false, no_opt_map = false, verbose = false;
  std::vector<std::string> save_layers, input_names, output_names;
  std::vector<std::vector<std::string>> copies;
  app.add_option("graph", graph_path, "Graph file to export (.json)")
      ->required();
  app.add_option("-o,--output", out_path, "Model file to write (.snx)")
      ->required();
  app.add_option("--name", name,
                 "Model name stored in the file (default: the graph file's "
                 "name without its extension)");
  app.add_flag("--no-mem-map", no_mem_map,
               "Do not plan the scratch arena; the model then has no block "
               "count or block size");
  app.add_flag("--no-opt-map", no_opt_map,
               "Plan without releasing outputs that are no longer needed "
               "(no statistics are printed)");
  app.add_option("--save-map", save_map,
                 "Save a picture of the memory plan: a PNG path, or a folder "
                 "that gets mem_map.png");
  Literal(app.add_option("--save-layer", save_layers,
                         "Keep this node's output intact for the whole run "
                         "(repeatable)"));
  Literal(app.add_option(
                 "--copy", copies,
                 "Copy the output of node SRC into node TARGET, a constant or "
                 "model input that becomes a variable (repeatable)")
              ->expected(2)
              ->type_name("SRC TARGET"));
  app.add_option("--svm", svm,
                 "Append an SVM classifier head read from this folder "
                 "(kld.json and the .bin parameter files)");
  app.add_option("--ext-constants", ext_constants,
                 "JSON file mapping names to arrays; each becomes a constant "
                 "layer ahead of the graph's layers");
  app.add_option("--labels", labels_path,
                 "Text file with one class label per line");
  Literal(app.add_option("--input-name", input_names,
                         "Alternative name for the next model input, in "
                         "order (repeatable)"));
  Literal(app.add_option("--output-name", output_names,
                         "Alternative name for the next model output, in "
                         "order (repeatable)"));
  app.add_option("--normalization", normalization,
                 "Text describing the input image normalization (default: "
                 "none)");
  std::string planner = "spec";
  app.add_option("--planner", planner,
                 "Arena planner: spec (the default) or best, which also "
                 "tries a first-fit planner with a local search and keeps "
                 "it when it needs fewer blocks")
      ->check(CLI::IsMember({"spec", "best"}));
  app.add_flag("-v,--verbose", verbose, "Say what is loaded and written");

  try {
    app.parse(argc, argv);
    for (const auto& pair : copies) {
      if (pair.size() != 2) {
        throw CLI::ValidationError("--copy", "needs two names, SRC and TARGET");
      }
    }
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "error: " << e.what() << "\n" << app.help();
    return 2;
  }

  sarnic::RemoveTemporaryFilesOnSignals();
  try {
    std::unique_ptr<sarnic::Graph> graph = sarnic::LoadGraph(graph_path);
    if (verbose) {
      std::cout << "loaded " << graph_path << ": "
                << graph->qm_nx_graph.number_of_nodes() << " nodes, "
                << graph->tensor_dict.size() << " tensors\n";
    }
    sarnic::ExportOptions o;
    o.mem_map = !no_mem_map;
    o.opt_map = !no_opt_map;
    o.save_map = save_map;
    o.save_layers = std::make_shared<std::vector<std::string>>(save_layers);
    o.copy_layers = std::make_shared<std::vector<sarnic::CopyPair>>(
        copies.begin(), copies.end());
    o.svm = svm;
    if (ext_constants) {
      o.ext_constants = sarnic::LoadArrayMap(*ext_constants, graph_path);
    }
    if (labels_path) o.labels = ReadLabels(*labels_path);
    if (!input_names.empty()) o.input_names = input_names;
    if (!output_names.empty()) o.output_names = output_names;
    if (normalization) o.normalization = *normalization;
    o.planner = planner;
    const std::string model_name =
        name ? *name : std::filesystem::path(graph_path).stem().string();
    sarnic::SarnicExporter exporter(*graph, model_name, std::move(o));
    const sarnic::ModelBuffer model = exporter.run();
    sarnic::WriteFileAtomically(out_path, model.data(), model.size());
    if (verbose) {
      std::cout << "wrote " << out_path << ": " << model.size() << " bytes\n";
    }
  } catch (const sarnic::Error& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
