// snx-export: exports a graph file into an SNX model file.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <tuple>

#include "graph_source.h"
#include "output_paths.h"
#include "quantize_options.h"
#include "sarnic/analysis.h"
#include "sarnic/checker.h"
#include "sarnic/engine.h"
#include "sarnic/errors.h"
#include "sarnic/exporter.h"
#include "sarnic/files.h"
#include "sarnic/graph_file.h"
#include "sarnic/interpreter.h"
#include "sarnic/model_reader.h"
#include "sarnic/reference.h"
#include "tool_output.h"

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

using sarnic::tools::Literal;

// The command line as typed.
struct Args {
  std::string graph_path, out_path;
  std::optional<std::string> name, ext_constants, labels_path;
  sarnic::ExportOptions values;  // the options of one value, set directly
  bool verbose = false;
  std::vector<std::string> save_layers, input_names, output_names, dims;
  bool nhwc_io = false;
  std::vector<std::vector<std::string>> copies;
  bool check = false, strict = false, list_ops = false, ops_markdown = false;
  std::optional<std::string> report, c_array;
  std::optional<uint64_t> flash_budget, ram_budget;
  std::optional<std::string> describe_op;
  bool planner_given = false;  // --planner on the command line
  sarnic::tools::QuantizeArgs quant;
};

// --flash-budget and --ram-budget: a size in bytes, or with K or M.
void DefineBudgetOptions(CLI::App& app, Args& a) {
  for (auto [flag, field, what] :
       {std::tuple{"--flash-budget", &a.flash_budget, "the model file (flash)"},
        std::tuple{"--ram-budget", &a.ram_budget,
                   "the arena and the inputs and outputs outside it (RAM)"}}) {
    app.add_option_function<std::string>(
           flag,
           [field](const std::string& text) {
             *field = sarnic::ParseByteSize(text);
           },
           std::string("Refuse the export, writing nothing, when ") + what +
               " would take more than SIZE bytes (K: 1024 bytes, M: 1024 "
               "K; 256K, 1M); the error lists the largest contributors")
        ->type_name("SIZE")
        ->check(CLI::Validator(
            [](std::string& text) {
              return sarnic::ParseByteSize(text)
                         ? std::string()
                         : "'" + text +
                               "' is no size: give whole bytes, or a number "
                               "with K or M (256K, 1.5M)";
            },
            ""));
  }
}

// The options that check a graph or describe the operations.
void DefineCheckOptions(CLI::App& app, Args& a) {
  app.add_flag("--check", a.check,
               "Only check the graph: print what is wrong with it as warning "
               "lines and exit with 1 when anything is (writes no model)");
  app.add_flag("--strict", a.strict,
               "Refuse to export a graph that the check finds anything wrong "
               "with");
  app.add_flag("--list-ops", a.list_ops,
               "List the operations: op, layer type written, family; then the "
               "ONNX operations imported and what each becomes");
  app.add_option("--describe-op", a.describe_op,
                 "Describe one operation: attributes, inputs, parameters");
  app.add_flag("--ops-markdown", a.ops_markdown,
               "Print the operation reference as Markdown (docs/ops.md)");
}

// A switch's flag turns it off; a text takes the value given, one of the
// choices when the row names any.
void AddValueOption(CLI::App& app, bool& field, const char* flag,
                    const char* /*choices*/, const char* help) {
  app.add_flag_callback(
      flag, [&field] { field = false; }, help);
}
void AddValueOption(CLI::App& app, std::string& field, const char* flag,
                    const char* choices, const char* help) {
  CLI::Option* o = app.add_option(flag, field, help);
  if (*choices != 0) o->check(CLI::IsMember(sarnic::OptionChoices(choices)));
}
void AddValueOption(CLI::App& app, std::optional<std::string>& field,
                    const char* flag, const char* /*choices*/,
                    const char* help) {
  app.add_option(flag, field, help);
}

// The options of one value, from their rows.
void DefineValueOptions(CLI::App& app, sarnic::ExportOptions& values) {
#define SARNIC_CLI_OPTION(Type, name, default_value, flag, choices, help) \
  AddValueOption(app, values.name, flag, choices, help);
  SARNIC_VALUE_OPTIONS(SARNIC_CLI_OPTION)
#undef SARNIC_CLI_OPTION
}

void DefineOptions(CLI::App& app, Args& a) {
  app.add_option("graph", a.graph_path,
                 "Graph file (.json) or ONNX model (.onnx) to export");
  sarnic::tools::DefineOnnxOptions(app, a.dims, a.nhwc_io);
  app.add_option("-o,--output", a.out_path, "Model file to write (.snx)");
  DefineCheckOptions(app, a);
  app.add_option("--name", a.name,
                 "Model name stored in the file (default: the graph file's "
                 "name without its extension)");
  Literal(app.add_option("--save-layer", a.save_layers,
                         "Keep this node's output intact for the whole run "
                         "(repeatable)"));
  Literal(app.add_option(
                 "--copy", a.copies,
                 "Copy the output of node SRC into node TARGET, a constant or "
                 "model input that becomes a variable (repeatable)")
              ->expected(2)
              ->type_name("SRC TARGET"));
  app.add_option("--ext-constants", a.ext_constants,
                 "JSON file mapping names to arrays; each becomes a constant "
                 "layer ahead of the graph's layers");
  app.add_option("--labels", a.labels_path,
                 "Text file with one class label per line");
  Literal(app.add_option("--input-name", a.input_names,
                         "Alternative name for the next model input, in "
                         "order (repeatable)"));
  Literal(app.add_option("--output-name", a.output_names,
                         "Alternative name for the next model output, in "
                         "order (repeatable)"));
  DefineValueOptions(app, a.values);
  app.add_option("--report", a.report,
                 "Also write an interactive HTML report of the model (any "
                 "number of layers)");
  app.add_option("--c-array", a.c_array,
                 "Also write the model as a C header to link into a device "
                 "build: a 16-byte-aligned const array NAME_snx and its "
                 "length NAME_snx_len (NAME: the model's name as a C "
                 "identifier)");
  app.add_flag("-v,--verbose", a.verbose, "Say what is loaded and written");
  DefineBudgetOptions(app, a);
  sarnic::tools::DefineQuantizeOptions(app, a.quant);
}

sarnic::ExportOptions OptionsOf(const Args& a) {
  sarnic::ExportOptions o = a.values;
  o.save_layers = std::make_shared<std::vector<std::string>>(a.save_layers);
  o.copy_layers = std::make_shared<std::vector<sarnic::CopyPair>>(
      a.copies.begin(), a.copies.end());
  if (a.ext_constants) {
    o.ext_constants = sarnic::LoadArrayMap(*a.ext_constants, a.graph_path);
  }
  if (a.labels_path) o.labels = ReadLabels(*a.labels_path);
  if (!a.input_names.empty()) o.input_names = a.input_names;
  if (!a.output_names.empty()) o.output_names = a.output_names;
  return o;
}

// The HTML report of the exported model, when asked; and, when the PNG of
// the plan was skipped for its size, a pointer to the report.
void WriteReport(const Args& a, const sarnic::ModelFacts& facts) {
  std::size_t planned = 0;
  for (const sarnic::LayerFacts& l : facts.layers) planned += l.block ? 1 : 0;
  if (a.values.save_map && planned > 768 && !a.report) {
    std::cerr << "note: the memory map picture was not drawn for " << planned
              << " planned layers; --report REPORT.html draws "
              << "the plan for any number of layers\n";
  }
  if (!a.report) return;
  sarnic::WriteFileAtomically(*a.report, "HTML report", [&](std::ostream& o) {
    sarnic::WriteHtmlReport(o, facts);
  });
}

// The files this export reads besides the graph and its weights: the
// constants file, the labels and every file in the SVM folder.
std::vector<std::string> OtherInputs(const Args& a) {
  std::vector<std::string> inputs;
  if (a.ext_constants) inputs.push_back(*a.ext_constants);
  if (a.labels_path) inputs.push_back(*a.labels_path);
  std::error_code ec;
  if (a.values.svm && std::filesystem::is_directory(*a.values.svm, ec)) {
    for (const auto& e :
         std::filesystem::directory_iterator(*a.values.svm, ec)) {
      inputs.push_back(e.path().string());
    }
  }
  return inputs;
}

// The model's name as a C identifier: other characters become '_', and a
// leading digit gets a '_' before it.
std::string CIdentifier(const std::string& name) {
  std::string id;
  for (const char c : name) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '_';
    id += word ? c : '_';
  }
  if (id.empty() || (id[0] >= '0' && id[0] <= '9')) id = "_" + id;
  return id;
}

// The model as a C (and C++) header: the bytes in a 16-byte-aligned const
// array, and their count.
void WriteCArray(const std::string& path, const std::string& model_name,
                 const sarnic::ModelBuffer& model) {
  const std::string id = CIdentifier(model_name);
  sarnic::WriteFileAtomically(path, "C header", [&](std::ostream& o) {
    o << "// The SNX model \"" << sarnic::Printable(model_name)
      << "\", written by snx-export " << sarnic::engine::version()
      << ".\n#ifndef " << id << "_SNX_H_\n#define " << id
      << "_SNX_H_\n\n#include <stddef.h>\n#include <stdint.h>\n\n"
      << "#if defined(__GNUC__) || defined(__clang__)\n"
      << "#define " << id << "_SNX_ALIGNED __attribute__((aligned(16)))\n"
      << "#else\n#define " << id << "_SNX_ALIGNED\n#endif\n\n"
      << "static const size_t " << id << "_snx_len = " << model.size()
      << ";\nstatic const uint8_t " << id << "_snx[" << model.size() << "] "
      << id << "_SNX_ALIGNED = {";
    constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < model.size(); ++i) {
      if (i % 12 == 0) o << "\n   ";
      const uint8_t b = model.data()[i];
      o << " 0x" << kHex[b >> 4] << kHex[b & 15] << ",";
    }
    o << "\n};\n\n#endif  // " << id << "_SNX_H_\n";
  });
}

// Every file this export writes, with the option that names it.
std::vector<sarnic::tools::NamedOutput> Outputs(const Args& a) {
  std::vector<sarnic::tools::NamedOutput> outputs = {{"-o", a.out_path}};
  if (a.report) outputs.push_back({"--report", *a.report});
  if (a.c_array) outputs.push_back({"--c-array", *a.c_array});
  if (a.quant.report) outputs.push_back({"--quant-report", *a.quant.report});
  if (a.values.save_map) {
    std::error_code ec;
    outputs.push_back(
        {"--save-map",
         std::filesystem::is_directory(*a.values.save_map, ec)
             ? (std::filesystem::path(*a.values.save_map) / "mem_map.png")
                   .string()
             : *a.values.save_map});
  }
  return outputs;
}

// Options that found nothing to act on, said after a successful export.
void NoteIdleOptions(const Args& a) {
  if (a.values.save_map && !a.values.mem_map) {
    std::cerr << "note: --save-map draws the memory plan, and --no-mem-map "
                 "makes none: no picture was saved\n";
  }
  if (a.planner_given && a.values.planner == "best" &&
      (!a.values.mem_map || !a.values.opt_map)) {
    std::cerr << "note: --planner best took no part: "
              << (!a.values.mem_map
                      ? "--no-mem-map makes no plan"
                      : "--no-opt-map lays the outputs back to back")
              << "\n";
  }
}

void PrintFindings(const std::vector<sarnic::Finding>& findings) {
  for (const sarnic::Finding& f : findings) {
    std::cerr << (f.severity == sarnic::Severity::kError ? "error: "
                                                         : "warning: ")
              << sarnic::Printable(sarnic::FormatFinding(f)) << "\n";
  }
}

// The checker's findings. Unless the command line asked for the check, the
// checker is a helper beside the export: whatever happens inside it, the
// export goes on as without it.
std::vector<sarnic::Finding> Findings(const Args& a,
                                      const sarnic::Graph& graph) {
  const sarnic::CheckOptions options{.plans_arena = a.values.mem_map};
  if (a.check || a.strict) return sarnic::CheckGraph(graph, options);
  try {
    return sarnic::CheckGraph(graph, options);
  } catch (...) {
    return {};
  }
}

// Checks the graph, then exports it. The findings are printed after the
// export, so that a failing export's error line comes first; with --strict
// any finding stops the export before it starts.
int Export(const Args& a) {
  std::vector<std::string> inputs = OtherInputs(a);
  // Stopped before anything is printed on standard error; the export's own
  // lines pass through it.
  sarnic::tools::Progress progress("snx-export: " + a.graph_path);
  sarnic::tools::ProgressOutput progress_output(progress);
  std::ostream diagnostics(&progress_output);
  std::unique_ptr<sarnic::Graph> graph =
      sarnic::tools::LoadGraphOrOnnx(a.graph_path, a.dims, a.nhwc_io, &inputs);
  std::optional<sarnic::QuantReport> quant_report;
  if (a.quant.quantize) {
    // Calibration draws its own progress line.
    progress.Stop();
    // No output may overwrite the samples it is made from.
    for (const auto& samples : {a.quant.calibration, a.quant.validation}) {
      if (samples) inputs.push_back(*samples);
    }
    sarnic::tools::CheckOutputs(Outputs(a), inputs);
    graph = sarnic::tools::QuantizeIfAsked(a.quant, std::move(graph), a.nhwc_io,
                                           &inputs, &quant_report,
                                           a.flash_budget, a.ram_budget);
  }
  if (a.verbose) {
    std::cout << "loaded " << a.graph_path << ": "
              << graph->qm_nx_graph.number_of_nodes() << " nodes, "
              << graph->tensor_dict.size() << " tensors\n";
  }
  const std::vector<sarnic::Finding> findings = Findings(a, *graph);
  if (a.check || (a.strict && !findings.empty())) {
    progress.Stop();
    PrintFindings(findings);
    if (a.strict && !a.check) {
      sarnic::tools::PrintError("the check found " +
                                std::to_string(findings.size()) +
                                " problem(s) in " + a.graph_path +
                                "; nothing was written (--strict)");
    }
    return findings.empty() ? 0 : 1;
  }
  const std::string model_name =
      a.name ? *a.name : std::filesystem::path(a.graph_path).stem().string();
  try {
    sarnic::tools::CheckOutputs(Outputs(a), inputs);
    sarnic::ExportOptions options = OptionsOf(a);
    options.diagnostics = &diagnostics;
    sarnic::SarnicExporter exporter(*graph, model_name, std::move(options));
    const sarnic::ModelBuffer model = exporter.run();
    const sarnic::ModelFacts facts = sarnic::AnalyseModel(
        sarnic::ReadModel({model.data(), model.size()}, a.out_path),
        model.size());
    // Over a budget nothing is written: the model, the report, the header.
    const std::vector<sarnic::BudgetMiss> misses =
        sarnic::CheckBudgets(facts, a.flash_budget, a.ram_budget);
    if (!misses.empty()) {
      diagnostics.flush();
      progress.Stop();
      for (const sarnic::BudgetMiss& m : misses) {
        // One error line per budget, then its contributors, each line made
        // printable on its own (layer names come from the graph).
        std::istringstream lines(sarnic::BudgetMissText(m));
        std::string line;
        std::getline(lines, line);
        sarnic::tools::PrintError(line);
        while (std::getline(lines, line)) {
          std::cerr << sarnic::Printable(line) << "\n";
        }
      }
      std::cerr << "nothing was written\n";
      return 1;
    }
    sarnic::WriteFileAtomically(a.out_path, model.data(), model.size());
    diagnostics.flush();
    progress.Stop();
    WriteReport(a, facts);
    if (quant_report && a.quant.report) {
      sarnic::WriteFileAtomically(
          *a.quant.report, "quantisation report",
          [&](std::ostream& o) { o << quant_report->Json(); });
    }
    if (a.c_array) WriteCArray(*a.c_array, model_name, model);
    std::cout << sarnic::DeviceMemoryText(facts) << "\n";
    NoteIdleOptions(a);
    if (a.verbose) {
      std::cout << "wrote " << a.out_path << ": " << model.size() << " bytes\n";
    }
  } catch (const std::exception& e) {
    diagnostics.flush();
    progress.Stop();
    // The export's own error says why it stopped; the warnings may say
    // more, the findings it refuses for would say it twice.
    sarnic::tools::PrintError(e.what());
    std::vector<sarnic::Finding> warnings;
    for (const sarnic::Finding& f : findings) {
      if (f.severity == sarnic::Severity::kWarning) warnings.push_back(f);
    }
    PrintFindings(warnings);
    return 1;
  }
  PrintFindings(findings);
  return 0;
}

// The operation reference; no graph is read.
int Reference(const Args& a) {
  if (a.list_ops) {
    std::cout << sarnic::ListOperations()
              << "\nONNX operations imported (snx-export MODEL.onnx, "
                 "snx-import; docs/onnx.md):\n"
              << sarnic::ListOnnxOperations();
  }
  if (a.describe_op) std::cout << sarnic::DescribeOperation(*a.describe_op);
  if (a.ops_markdown) std::cout << sarnic::OperationsMarkdown();
  return 0;
}

// Refuses a command line that asks for two things of which only one would
// be done: an operation reference beside a graph, or two references.
void RefuseConflicts(const Args& a) {
  std::vector<std::string> modes;
  if (a.list_ops) modes.push_back("--list-ops");
  if (a.describe_op) modes.push_back("--describe-op");
  if (a.ops_markdown) modes.push_back("--ops-markdown");
  if (modes.empty()) {
    if (a.check && !a.out_path.empty()) {
      throw CLI::ValidationError("--check",
                                 "only checks and writes no model; it cannot "
                                 "be combined with -o");
    }
    return;
  }
  std::vector<std::string> others(modes.begin() + 1, modes.end());
  if (!a.graph_path.empty()) others.push_back("a graph file");
  if (!a.out_path.empty()) others.push_back("-o");
  if (a.check) others.push_back("--check");
  if (a.strict) others.push_back("--strict");
  if (!others.empty()) {
    throw CLI::ValidationError(modes.front(),
                               "prints the operation reference and reads no "
                               "graph; it cannot be combined with " +
                                   others.front());
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Export a graph file (JSON plus optional safetensors weights) into an "
      "SNX model file."};
  Args args;
  DefineOptions(app, args);
  sarnic::tools::AddVersionFlag(app, "snx-export");
  const auto status = sarnic::tools::ParseCommandLine(app, argc, argv, [&] {
    sarnic::tools::CheckDims(args.dims);
    for (const auto& pair : args.copies) {
      if (pair.size() != 2) {
        throw CLI::ValidationError("--copy", "needs two names, SRC and TARGET");
      }
    }
    RefuseConflicts(args);
    sarnic::tools::CheckQuantizeArgs(app, args.quant);
    const bool reference =
        args.list_ops || args.describe_op || args.ops_markdown;
    if (!reference && args.graph_path.empty()) {
      throw CLI::RequiredError("graph");
    }
    if (!reference && !args.check && args.out_path.empty()) {
      throw CLI::RequiredError("--output");
    }
  });
  if (status) return *status;
  // An ONNX model has no stored file that depends on the planner's default:
  // it gets the best plan unless --planner says otherwise.
  args.planner_given = app.count("--planner") != 0;
  if (!args.planner_given && !args.graph_path.empty() &&
      sarnic::tools::IsOnnxFile(args.graph_path)) {
    args.values.planner = "best";
  }
  sarnic::RemoveTemporaryFilesOnSignals();
  sarnic::ReportTruncatedMappedFiles();
  try {
    if (args.list_ops || args.describe_op || args.ops_markdown) {
      return sarnic::tools::FinishOutput(Reference(args));
    }
    return sarnic::tools::FinishOutput(Export(args));
  } catch (const std::exception& e) {
    sarnic::tools::PrintError(e.what());
    return 1;
  }
}
