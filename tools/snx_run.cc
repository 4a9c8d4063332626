// snx-run: runs an SNX model on NumPy inputs with the reference
// interpreter, in the model's planned arena, and writes its outputs as
// NumPy files.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "runtime/layer_view.h"
#include "runtime/npy.h"
#include "sarnic/errors.h"
#include "sarnic/files.h"
#include "sarnic/interpreter.h"
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
                                          const sarnic::Interpreter& model) {
  std::map<std::string, NdArray> inputs;
  auto add = [&inputs](const std::string& name, NdArray array) {
    if (!inputs.emplace(name, std::move(array)).second) {
      throw sarnic::ValueError("input '" + name + "' is given twice");
    }
  };
  for (const std::string& arg : args) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos && IsNpz(arg)) {
      for (auto& [name, array] : sarnic::runtime::ReadNpz(arg))
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
    add(name, sarnic::runtime::ReadNpy(path));
  }
  return inputs;
}

// "name float32 [1, 10]: 0.01 0.2 ... (10 values)"
void PrintResult(const sarnic::NamedArray& r) {
  const NdArray& a = r.array;
  std::cout << sarnic::Printable(r.name) << " " << sarnic::DTypeName(a.dtype())
            << " " << sarnic::runtime::ShapeText(a.shape()) << ":";
  const int64_t shown = std::min<int64_t>(a.size(), 6);
  for (int64_t i = 0; i < shown; ++i) std::cout << " " << a.GetDouble(i);
  if (shown < a.size()) std::cout << " ... (" << a.size() << " values)";
  std::cout << "\n";
}

// A layer name as a file name: path separators and dots that would leave
// the folder become underscores.
std::string FileName(const std::string& name) {
  std::string out = name.empty() ? "unnamed" : name;
  for (char& c : out) {
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  }
  if (out == "." || out == "..") out = "_" + out;
  return out + ".npy";
}

int Run(const std::string& path, const std::vector<std::string>& input_args,
        const std::optional<std::string>& outdir,
        const sarnic::RunOptions& options) {
  const sarnic::Interpreter model = sarnic::Interpreter::FromFile(path);
  const auto inputs = ReadInputs(input_args, model);
  const auto problems = model.InputProblems(inputs);
  for (const std::string& p : problems) PrintError(p);
  if (!problems.empty()) return 1;
  const auto results = model.Run(inputs, options);
  if (outdir) std::filesystem::create_directories(*outdir);
  for (const sarnic::NamedArray& r : results) {
    PrintResult(r);
    if (outdir) {
      const std::string bytes = sarnic::runtime::NpyBytes(r.array);
      sarnic::WriteFileAtomically(
          (std::filesystem::path(*outdir) / FileName(r.name)).string(),
          bytes.data(), bytes.size());
    }
  }
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
  bool markdown = false;
  CLI::Option* model_option =
      app.add_option("model", path, "Model file (.snx)");
  app.add_flag("--semantics-markdown", markdown,
               "Print what each layer type computes as Markdown "
               "(docs/semantics.md) and exit")
      ->excludes(model_option);
  app.add_option("--input", inputs,
                 "A model input: NAME=FILE.npy, FILE.npy for a model with "
                 "one input, or FILE.npz holding inputs by name (repeatable)");
  app.add_option("-o,--output-dir", outdir,
                 "Folder to write each output into, as NAME.npy");
  app.add_flag("--all-layers", options.all_layers,
               "Print (and write) every layer's output, named by layer, to "
               "find where numbers diverge");
  app.add_flag("--separate-buffers", options.separate_buffers,
               "Give every output a buffer of its own instead of the planned "
               "arena (the results must be identical)");
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
    status = Run(path, inputs, outdir, options);
  } catch (const std::exception& e) {
    PrintError(e.what());
    status = 1;
  }
  return sarnic::tools::FinishOutput(status);
}
