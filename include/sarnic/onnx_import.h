// Importing ONNX models: an ONNX file in, a Graph out, ready for the
// exporter. The model is read with ONNX's own reader, checker and shape
// inference; each ONNX operation becomes graph nodes by one row of a
// declared table (docs/onnx.md); what cannot be converted is one error
// listing every unsupported operation.
#ifndef SARNIC_ONNX_IMPORT_H_
#define SARNIC_ONNX_IMPORT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sarnic/digraph.h"

namespace sarnic {

struct OnnxOptions {
  // Values for the model's dynamic dimensions, by name ("batch" = 1) or,
  // for an unnamed one, as "INPUT:AXIS" ("x:0" = 1).
  std::map<std::string, int64_t> dims;
  // The model's 4-D inputs and outputs in NHWC order (by default they keep
  // the ONNX model's NCHW shapes, with a transpose inside where needed).
  bool nhwc_io = false;
  // A value in `dims` that fixes nothing (a name no input has open, an axis
  // the model fixes already) is an error; without, it is passed over (for
  // one set of values given to many models).
  bool strict_dims = true;
};

// The model at `path` as a graph. External tensor data is read only from
// files inside the model's folder. A FormatError names the file and the
// node or tensor for a model that cannot be imported. With `files_read`,
// the paths of the model and of every external-data file it read are
// appended to it (so that a caller can refuse an output over any of them).
std::unique_ptr<Graph> ImportOnnx(
    const std::string& path, const OnnxOptions& options = {},
    std::vector<std::string>* files_read = nullptr);

// The same for a model in memory; `folder` is where its external data
// lives (empty: it may have none), `what` names it in errors.
std::unique_ptr<Graph> ImportOnnxBytes(
    std::span<const std::byte> bytes, const std::string& folder,
    const std::string& what, const OnnxOptions& options = {},
    std::vector<std::string>* files_read = nullptr);

// What the ONNX model at `path` holds, as text, read without converting or
// writing anything: its operator sets, inputs and outputs with their
// shapes (dynamic dimensions by name), its parameters' count and bytes, and
// its operations by count, each marked when the importer does not convert
// it. A FormatError for a file that is no ONNX model.
std::string DescribeOnnxModel(const std::string& path);
// The same for a model in memory, named `what`.
std::string DescribeOnnxBytes(std::span<const std::byte> bytes,
                              const std::string& what);

// Whether the file starts as an ONNX model does (a protobuf field 1, the
// IR version, or another ModelProto field) rather than as a graph file (a
// JSON object).
bool LooksLikeOnnx(std::span<const std::byte> head);

// The ONNX operations the importer converts, one line each: the operation
// and what it becomes; and the same as Markdown (docs/onnx.md).
std::string ListOnnxOperations();
std::string OnnxOperationsMarkdown();

}  // namespace sarnic

#endif  // SARNIC_ONNX_IMPORT_H_
