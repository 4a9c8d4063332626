// snx-run: runs an SNX model on NumPy inputs with the reference
// interpreter, in the model's planned arena, and writes its outputs as
// NumPy files.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "graph_source.h"
#include "output_paths.h"
#include "sarnic/analysis.h"
#include "sarnic/builder.h"
#include "sarnic/errors.h"
#include "sarnic/files.h"
#include "sarnic/interpreter.h"
#include "sarnic/npy.h"
#include "sarnic/shapes.h"
#include "tool_output.h"

namespace {

using sarnic::NdArray;
using sarnic::tools::PrintError;

bool IsNpz(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".npz") == 0;
}

// "NAME=FILE.npy"; a FILE.npy alone names the model's only input, a
// FILE.npz alone holds inputs by name.
std::map<std::string, NdArray> ReadInputs(const std::vector<std::string>& args,
                                          const sarnic::Interpreter& model,
                                          std::vector<std::string>& read) {
  // An entry of a .npz is held to the input it feeds before it is read: its
  // elements at the widest element type, and room for a header.
  std::map<std::string, std::size_t> limits;
  for (const sarnic::TensorSpec& spec : model.inputs()) {
    std::size_t elements = 1;
    for (const int64_t d : spec.shape) {
      elements *= static_cast<std::size_t>(std::max<int64_t>(d, 1));
    }
    limits[spec.name] = elements * 8 + (std::size_t{1} << 16);
  }
  std::map<std::string, NdArray> inputs;
  auto add = [&inputs](const std::string& name, NdArray array) {
    if (!inputs.emplace(name, std::move(array)).second) {
      throw sarnic::ValueError("input '" + name + "' is given twice");
    }
  };
  for (const std::string& arg : args) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos && IsNpz(arg)) {
      read.push_back(arg);
      for (auto& [name, array] : sarnic::ReadNpz(arg, &limits))
        add(name, array);
      continue;
    }
    std::string name, path = arg;
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      path = arg.substr(eq + 1);
    } else if (model.inputs().size() == 1) {
      name = model.inputs()[0].name;
    } else {
      throw sarnic::ValueError("--input " + arg +
                               " names no input; write NAME=FILE.npy or give "
                               "a FILE.npz (the model has " +
                               std::to_string(model.inputs().size()) +
                               " inputs)");
    }
    read.push_back(path);
    add(name, sarnic::ReadNpy(path));
  }
  return inputs;
}

// "name float32 [1, 10]: 0.01 0.2 ... (10 values)"
void PrintResult(const sarnic::NamedArray& r) {
  const NdArray& a = r.array;
  std::cout << sarnic::Printable(r.name) << " " << sarnic::DTypeName(a.dtype())
            << " " << sarnic::ShapeText(a.shape()) << ":";
  const int64_t shown = std::min<int64_t>(a.size(), 6);
  for (int64_t i = 0; i < shown; ++i) std::cout << " " << a.GetDouble(i);
  if (shown < a.size()) std::cout << " ... (" << a.size() << " values)";
  std::cout << "\n";
}

// A layer name as a file name, one to one: '%', path separators and NUL
// become %XX (their byte in hex), "." and ".." %2E and %2E%2E, and the
// empty name "%"; every other byte stays as it is. So two names never land
// in one file, and no name leaves the folder.
std::string FileName(const std::string& name) {
  if (name.empty()) return "%.npy";
  if (name == "." || name == "..") {
    return (name == "." ? "%2E" : "%2E%2E") + std::string(".npy");
  }
  std::string out;
  for (const char c : name) {
    if (c == '%' || c == '/' || c == '\\' || c == '\0') {
      constexpr char kHex[] = "0123456789ABCDEF";
      const auto b = static_cast<unsigned char>(c);
      out += {'%', kHex[b >> 4], kHex[b & 15]};
    } else {
      out += c;
    }
  }
  return out + ".npy";
}

// The longest file name a folder takes.
constexpr std::size_t kMaxFileName = 255;

// Writes every result into `outdir`, all or nothing: each file's name is
// checked first (two results of one name, a name too long for the folder,
// a file the run reads), then every file is written beside its target and
// only once all are complete are they moved into place.
void WriteResults(const std::vector<sarnic::NamedArray>& results,
                  const std::string& outdir,
                  const std::vector<std::string>& read) {
  std::map<std::string, std::string> names;  // file name -> result name
  std::vector<sarnic::tools::NamedOutput> targets;
  for (const sarnic::NamedArray& r : results) {
    const std::string file = FileName(r.name);
    if (!names.emplace(file, r.name).second) {
      throw sarnic::ValueError("two outputs are named '" + r.name +
                               "'; -o cannot write both, nothing was written");
    }
    if (file.size() > kMaxFileName) {
      throw sarnic::ValueError(
          "output '" + r.name + "' makes a file name of " +
          std::to_string(file.size()) + " bytes, longer than a folder takes (" +
          std::to_string(kMaxFileName) + "); nothing was written");
    }
    targets.push_back({"-o", (std::filesystem::path(outdir) / file).string()});
  }
  sarnic::tools::CheckOutputs(targets, read);
  std::filesystem::create_directories(outdir);
  std::vector<std::unique_ptr<sarnic::TemporaryFile>> files;
  for (std::size_t i = 0; i < results.size(); ++i) {
    files.push_back(std::make_unique<sarnic::TemporaryFile>(
        targets[i].path, "output '" + results[i].name + "'"));
    const std::string bytes = sarnic::NpyBytes(results[i].array);
    files.back()->Write(bytes.data(), bytes.size());
  }
  for (auto& f : files) f->Commit();
}

// The plan verifier beside the run, as a helper: a run in an unsound plan
// still runs (it shows what the device would compute), with a warning; a
// fault inside the verifier says nothing.
void WarnOfUnsoundPlan(const std::string& path) {
  try {
    const auto file = sarnic::MappedFile::Open(path, "model file",
                                               sarnic::kMaxModelBytes - 1);
    const std::vector<std::string> violations = sarnic::VerifyModel(
        {reinterpret_cast<const uint8_t*>(file->data()), file->size()});
    if (violations.empty()) return;
    std::cerr << "warning: " << sarnic::Printable(path)
              << ": the plan is unsound: " << sarnic::Printable(violations[0])
              << " (" << violations.size()
              << " in all; snx-inspect --verify lists them): the results in "
                 "the arena may differ from the device's\n";
  } catch (...) {
  }
}

// One output of two models side by side: the largest and the mean absolute
// difference and the cosine similarity (1 for two zero arrays).
void PrintComparison(const sarnic::NamedArray& a, const sarnic::NamedArray& b) {
  if (a.array.shape() != b.array.shape()) {
    throw sarnic::ValueError(
        "output '" + a.name + "' is " + sarnic::ShapeText(a.array.shape()) +
        " in one model and " + sarnic::ShapeText(b.array.shape()) +
        " in the other");
  }
  double largest = 0, sum = 0, dot = 0, na = 0, nb = 0;
  const int64_t n = a.array.size();
  for (int64_t i = 0; i < n; ++i) {
    const double x = a.array.GetDouble(i), y = b.array.GetDouble(i);
    const double d = std::fabs(x - y);
    largest = std::isnan(d) || d > largest ? d : largest;
    sum += d;
    dot += x * y;
    na += x * x;
    nb += y * y;
  }
  const double cosine = na == 0 && nb == 0   ? 1.0
                        : na == 0 || nb == 0 ? 0.0
                                             : dot / std::sqrt(na * nb);
  std::cout << "compare " << sarnic::Printable(a.name)
            << ": largest difference " << largest << ", mean "
            << (n > 0 ? sum / static_cast<double>(n) : 0.0)
            << ", cosine similarity " << std::fixed << std::setprecision(6)
            << cosine << std::defaultfloat << std::setprecision(6) << "\n";
}

// Runs `other` on the same inputs and compares each output, by name.
void Compare(const std::vector<sarnic::NamedArray>& results,
             const std::string& other,
             const std::map<std::string, NdArray>& inputs,
             const sarnic::Limits& limits) {
  const sarnic::Interpreter b = sarnic::Interpreter::FromFile(other, limits);
  const auto problems = b.InputProblems(inputs);
  if (!problems.empty()) {
    throw sarnic::ValueError("--compare " + other + ": " + problems.front());
  }
  std::vector<sarnic::NamedArray> theirs;
  {
    const sarnic::tools::Progress progress("snx-run: running " + other);
    theirs = b.Run(inputs);
  }
  std::map<std::string, const sarnic::NamedArray*> by_name;
  for (const sarnic::NamedArray& r : theirs) by_name.emplace(r.name, &r);
  for (const sarnic::NamedArray& r : results) {
    const auto it = by_name.find(r.name);
    if (it == by_name.end()) {
      throw sarnic::ValueError("--compare " + other + " has no output '" +
                               r.name + "'");
    }
    PrintComparison(r, *it->second);
  }
}

struct BenchmarkArgs {
  bool on = false, json = false;
  sarnic::BenchmarkOptions options;
};

// The benchmark as a JSON document: the figures of the table, and every
// layer's time.
std::string BenchmarkJson(const sarnic::BenchmarkResult& r) {
  using nlohmann::ordered_json;
  ordered_json doc = {{"format", "snx-benchmark"},
                      {"runs", r.runs},
                      {"warmup", r.warmup},
                      {"kernels", r.kernels},
                      {"threads", r.threads},
                      {"median_ms", r.median * 1e3},
                      {"min_ms", r.minimum * 1e3},
                      {"max_ms", r.maximum * 1e3},
                      {"arena_bytes", r.arena_bytes},
                      {"peak_memory_bytes", r.peak_memory_bytes}};
  const auto share = [&r](double s) {
    return r.layer_seconds > 0 ? s / r.layer_seconds : 0.0;
  };
  const auto layer = [&](const sarnic::BenchmarkResult::LayerTime& l) {
    return ordered_json{{"name", l.name},
                        {"type", l.type},
                        {"ms", l.seconds * 1e3},
                        {"share", share(l.seconds)}};
  };
  doc["by_type"] = ordered_json::array();
  for (const auto& t : r.by_type) {
    doc["by_type"].push_back({{"type", t.type},
                              {"layers", t.layers},
                              {"ms", t.seconds * 1e3},
                              {"share", share(t.seconds)}});
  }
  doc["slowest"] = ordered_json::array();
  for (const auto& l : r.slowest) doc["slowest"].push_back(layer(l));
  doc["layers"] = ordered_json::array();
  for (const auto& l : r.layers) doc["layers"].push_back(layer(l));
  return doc.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

int Run(const std::string& path, const std::vector<std::string>& input_args,
        const std::optional<std::string>& outdir,
        const sarnic::RunOptions& options, const sarnic::Limits& limits,
        const std::optional<std::string>& compare,
        const BenchmarkArgs& benchmark) {
  if (sarnic::tools::IsOnnxFile(path)) {
    throw sarnic::ValueError(
        path +
        " is an ONNX model; snx-run runs SNX models: convert it first "
        "(snx-export " +
        path +
        " -o model.snx, with --dim NAME=VALUE for its dynamic "
        "dimensions), then run model.snx");
  }
  const sarnic::Interpreter model = sarnic::Interpreter::FromFile(path, limits);
  WarnOfUnsoundPlan(path);
  std::vector<std::string> read = {path};
  const auto inputs = benchmark.on && input_args.empty()
                          ? model.RandomInputs()
                          : ReadInputs(input_args, model, read);
  const auto problems = model.InputProblems(inputs);
  for (const std::string& p : problems) PrintError(p);
  if (!problems.empty()) return 1;
  if (benchmark.on) {
    sarnic::BenchmarkResult r;
    {
      const sarnic::tools::Progress progress("snx-run: benchmarking " + path);
      r = model.Benchmark(inputs, benchmark.options);
    }
    std::cout << (benchmark.json ? BenchmarkJson(r) : r.Text());
    return 0;
  }
  std::vector<sarnic::NamedArray> results;
  {
    const sarnic::tools::Progress progress("snx-run: running " + path);
    results = model.Run(inputs, options);
  }
  for (const sarnic::NamedArray& r : results) PrintResult(r);
  if (compare) Compare(results, *compare, inputs, limits);
  if (outdir) WriteResults(results, *outdir, read);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Run an SNX model on NumPy inputs with the reference interpreter, "
      "inside the model's planned arena."};
  std::string path;
  std::vector<std::string> inputs;
  std::optional<std::string> outdir;
  sarnic::RunOptions options;
  sarnic::Limits limits;
  std::optional<std::string> compare;
  bool markdown = false;
  BenchmarkArgs benchmark;
  CLI::Option* model_option =
      app.add_option("model", path, "Model file (.snx)");
  app.add_flag("--semantics-markdown", markdown,
               "Print what each layer type computes as Markdown "
               "(docs/semantics.md) and exit")
      ->excludes(model_option);
  CLI::Option* all_layers = app.add_flag(
      "--all-layers", options.all_layers,
      "Print (and write) every layer's output, named by layer, to find where "
      "numbers diverge");
  app.add_option("--compare", compare,
                 "Another model (a converted or quantised one) to run on the "
                 "same inputs: per output, the largest and the mean absolute "
                 "difference and the cosine similarity")
      ->excludes(all_layers);
  app.add_option("--input", inputs,
                 "A model input: NAME=FILE.npy, FILE.npy for a model with "
                 "one input, or FILE.npz holding inputs by name (repeatable)");
  app.add_option("-o,--output-dir", outdir,
                 "Folder to write each output into, as NAME.npy; in NAME, "
                 "'%', '/', '\\' and NUL are written %XX (their byte in hex), "
                 "the names '.' and '..' %2E and %2E%2E, the empty name '%', "
                 "so that every output has a file of its own. Nothing is "
                 "written unless every file can be");
  app.add_flag("--separate-buffers", options.separate_buffers,
               "Give every output a buffer of its own instead of the planned "
               "arena (the results must be identical)");
  app.add_option("--max-memory", limits.max_memory,
                 "The most memory a run may hold, in bytes (a suffix k, M or G "
                 "counts 1024s): a model that needs more is refused before it "
                 "runs")
      ->transform(CLI::AsSizeValue(false))
      ->default_str("2G");
  app.add_option("--max-operations", limits.max_operations,
                 "The most operations a run may take (multiply-adds, window "
                 "elements, elements read and written): a model that takes "
                 "more is refused when it is loaded")
      ->check(CLI::PositiveNumber)
      ->default_str("1e11");
  CLI::Option* bench =
      app.add_flag("--benchmark", benchmark.on,
                   "Time the model instead of printing its outputs: the "
                   "median, minimum and maximum latency per inference, the "
                   "arena and the process's peak memory, the time per layer "
                   "type and the ten slowest layers (inputs random in their "
                   "declared shape and type unless --input gives them)")
          ->excludes(all_layers)
          ->excludes("--compare")
          ->excludes("--output-dir")
          ->excludes("--separate-buffers");
  app.add_option("--runs", benchmark.options.runs, "Timed runs of --benchmark")
      ->check(CLI::Range(1, 1'000'000))
      ->needs(bench)
      ->default_str("20");
  app.add_option("--warmup", benchmark.options.warmup,
                 "Untimed runs of --benchmark before the timed ones")
      ->check(CLI::Range(0, 1'000'000))
      ->needs(bench)
      ->default_str("3");
  app.add_option("--threads", options.threads,
                 "Threads the convolutions and dense layers split their work "
                 "over (the results are the same bits for every count)")
      ->check(CLI::Range(1, 256))
      ->default_str("1");
  app.add_flag("--json", benchmark.json,
               "Print the benchmark as a JSON document, with every layer's "
               "time")
      ->needs(bench);
  sarnic::tools::AddVersionFlag(app, "snx-run");
  if (const auto status = sarnic::tools::ParseCommandLine(app, argc, argv)) {
    return *status;
  }
  if (markdown) {
    std::cout << sarnic::SemanticsMarkdown();
    return sarnic::tools::FinishOutput(0);
  }
  if (path.empty()) {
    PrintError("a model file is required (or --semantics-markdown)");
    return 2;
  }
  sarnic::RemoveTemporaryFilesOnSignals();
  int status = 0;
  try {
    benchmark.options.threads = options.threads;
    status = Run(path, inputs, outdir, options, limits, compare, benchmark);
  } catch (const std::exception& e) {
    PrintError(e.what());
    status = 1;
  }
  return sarnic::tools::FinishOutput(status);
}
