// Where the tools read a graph from: a graph file, or an ONNX model,
// recognised by its first byte, imported with its dynamic dimensions
// fixed by --dim NAME=VALUE.
#ifndef SARNIC_TOOLS_GRAPH_SOURCE_H_
#define SARNIC_TOOLS_GRAPH_SOURCE_H_

#include <CLI/CLI.hpp>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sarnic/checker.h"
#include "sarnic/errors.h"
#include "sarnic/graph_file.h"
#include "sarnic/onnx_import.h"
#include "tool_output.h"

namespace sarnic::tools {

// --dim and --nhwc-io, as each tool that reads ONNX models takes them.
inline void DefineOnnxOptions(CLI::App& app, std::vector<std::string>& dims,
                              bool& nhwc_io) {
  Literal(app.add_option("--dim", dims,
                         "An ONNX model's dynamic dimension: NAME=VALUE, or "
                         "INPUT:AXIS=VALUE for an unnamed one (repeatable)"));
  app.add_flag("--nhwc-io", nhwc_io,
               "An ONNX model's 4-D inputs and outputs in NHWC order (by "
               "default they keep the model's NCHW shapes)");
}

// "NAME=VALUE" pairs, each value a positive integer and each name given
// once; a name may hold no "=" (NAME==3 is a mistake, not "NAME=" = 3).
inline OnnxOptions ParseDims(const std::vector<std::string>& dims,
                             bool nhwc_io) {
  OnnxOptions options;
  options.nhwc_io = nhwc_io;
  for (const std::string& d : dims) {
    const auto eq = d.find('=');
    std::size_t used = 0;
    int64_t value = 0;
    try {
      if (eq != std::string::npos) value = std::stoll(d.substr(eq + 1), &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (eq == std::string::npos || eq == 0 || value <= 0 ||
        used != d.size() - eq - 1) {
      throw ValueError("--dim " + d +
                       " is not NAME=VALUE with a positive whole VALUE");
    }
    if (!options.dims.emplace(d.substr(0, eq), value).second) {
      throw ValueError("--dim " + d.substr(0, eq) +
                       " is given twice; give each dimension once");
    }
  }
  return options;
}

// For ParseCommandLine: --dim values that ParseDims refuses are a mistake
// on the command line (exit 2, with the usage).
inline void CheckDims(const std::vector<std::string>& dims) {
  try {
    (void)ParseDims(dims, false);
  } catch (const ValueError& e) {
    throw CLI::ValidationError("--dim", e.what());
  }
}

// The first bytes of a regular file (fewer when it is shorter).
inline std::string FileHead(const std::string& path, std::size_t n) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return "";
  std::ifstream in(path, std::ios::binary);
  std::string head(n, '\0');
  in.read(head.data(), static_cast<std::streamsize>(n));
  head.resize(static_cast<std::size_t>(in.gcount()));
  return head;
}

// Only a regular file is looked into (a FIFO would block the open); the
// graph file reader refuses anything else with its own message. An SNX
// model (its identifier at bytes 4 to 8) is never taken for one, whatever
// its first byte.
inline bool IsOnnxFile(const std::string& path) {
  const std::string head = FileHead(path, 8);
  if (head.empty() || (head.size() >= 8 && head.compare(4, 4, "SNXF") == 0)) {
    return false;
  }
  const std::byte b{static_cast<unsigned char>(head[0])};
  return LooksLikeOnnx({&b, 1});
}

// An imported model must pass the check: a finding means the model's own
// shapes cannot be reconciled (a reshape that changes the element count, a
// filter that does not fit its input), which ONNX's checker let through; a
// model exported from it would compute something else, or read past a
// buffer on the device.
inline std::unique_ptr<Graph> ImportReconciled(
    const std::string& path, const OnnxOptions& options,
    std::vector<std::string>* files_read) {
  auto graph = ImportOnnx(path, options, files_read);
  const std::vector<Finding> findings =
      CheckGraph(*graph, {.plans_arena = false});
  if (!findings.empty()) {
    throw FormatError(path, "",
                      FormatFinding(findings.front()) +
                          " (the model's shapes cannot be reconciled; " +
                          std::to_string(findings.size()) + " finding(s))");
  }
  return graph;
}

// What a file that is neither a graph file nor an ONNX model seems to be,
// from its first bytes: "" when it may be a graph file (its JSON reader
// then says what is wrong).
inline std::string OtherKindOfFile(const std::string& head) {
  const auto starts = [&head](std::string_view magic) {
    return head.rfind(magic, 0) == 0;
  };
  if (starts("PK\x03\x04")) {
    return "a zip archive (a PyTorch checkpoint or a TorchScript file?)";
  }
  if (starts("\x80\x02") || starts("\x80\x03") || starts("\x80\x04") ||
      starts("\x80\x05")) {
    return "a Python pickle (a PyTorch checkpoint?)";
  }
  if (starts("\x89HDF")) return "an HDF5 file (a Keras model?)";
  if (head.size() >= 8 && head.compare(4, 4, "SNXF") == 0) {
    return "an SNX model already (snx-inspect and snx-run read it)";
  }
  if (head.size() >= 8 && head.compare(4, 4, "TFL3") == 0) {
    return "a TensorFlow Lite model";
  }
  if (starts("\x93NUMPY")) return "a NumPy array";
  return "";
}

// The graph in `path`; `files_read` gets the files it was read from.
inline std::unique_ptr<Graph> LoadGraphOrOnnx(
    const std::string& path, const std::vector<std::string>& dims, bool nhwc_io,
    std::vector<std::string>* files_read) {
  if (IsOnnxFile(path)) {
    return ImportReconciled(path, ParseDims(dims, nhwc_io), files_read);
  }
  if (const std::string kind = OtherKindOfFile(FileHead(path, 8));
      !kind.empty()) {
    throw ValueError(path + " is " + kind +
                     ", neither a graph file (JSON) nor an ONNX model; export "
                     "the network to ONNX first (torch.onnx.export in "
                     "PyTorch) and give the .onnx file");
  }
  if (!dims.empty() || nhwc_io) {
    throw ValueError(std::string(nhwc_io ? "--nhwc-io" : "--dim") +
                     " applies to ONNX models; " + path + " is a graph file");
  }
  return LoadGraph(path, files_read);
}

}  // namespace sarnic::tools

#endif  // SARNIC_TOOLS_GRAPH_SOURCE_H_
