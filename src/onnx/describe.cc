// An ONNX model described as it would convert, without converting it, and
// the importer's reference page and operation list, made from its rows.
#include <google/protobuf/arena.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "onnx/converter.h"
#include "onnx/fold.h"
#include "onnx/fuse.h"
#include "onnx/model_checks.h"
#include "onnx/rows.h"
#include "sarnic/files.h"
#include "sarnic/onnx_import.h"

namespace sarnic {

using onnx_import::kMaxModelBytes;

namespace {

// The bytes of one element of an ONNX tensor type (0 for strings and the
// unknown).
uint64_t OnnxItemBytes(int type) {
  switch (type) {
    case onnx::TensorProto::BOOL:
    case onnx::TensorProto::INT8:
    case onnx::TensorProto::UINT8:
      return 1;
    case onnx::TensorProto::INT16:
    case onnx::TensorProto::UINT16:
    case onnx::TensorProto::FLOAT16:
    case onnx::TensorProto::BFLOAT16:
      return 2;
    case onnx::TensorProto::FLOAT:
    case onnx::TensorProto::INT32:
    case onnx::TensorProto::UINT32:
      return 4;
    case onnx::TensorProto::DOUBLE:
    case onnx::TensorProto::INT64:
    case onnx::TensorProto::UINT64:
      return 8;
    default:
      return 0;
  }
}

std::string TypeText(const onnx::TypeProto& type) {
  if (!type.has_tensor_type()) return "(not a tensor)";
  std::string out = onnx::TensorProto::DataType_Name(
      static_cast<onnx::TensorProto::DataType>(type.tensor_type().elem_type()));
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char ch) { return std::tolower(ch); });
  out += " [";
  const auto& dims = type.tensor_type().shape().dim();
  for (int i = 0; i < dims.size(); ++i) {
    if (i > 0) out += ", ";
    out += dims[i].has_dim_value()       ? std::to_string(dims[i].dim_value())
           : dims[i].dim_param().empty() ? "?"
                                         : Printable(dims[i].dim_param());
  }
  return out + "]";
}

}  // namespace

std::string DescribeOnnxModel(const std::string& path) {
  const auto file = MappedFile::Open(path, "ONNX model", kMaxModelBytes);
  return DescribeOnnxBytes(file->bytes(), path);
}

std::string DescribeOnnxBytes(std::span<const std::byte> bytes,
                              const std::string& what) {
  google::protobuf::Arena arena;
  onnx::ModelProto& m =
      *google::protobuf::Arena::CreateMessage<onnx::ModelProto>(&arena);
  if (bytes.size() >= kMaxModelBytes || !LooksLikeOnnx(bytes) ||
      !m.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    throw FormatError(what, "", "not an ONNX model (protobuf cannot read it)");
  }
  std::ostringstream o;
  o << "ONNX model:  " << Printable(what) << " (" << bytes.size()
    << " bytes; nothing is converted or written)\n";
  o << "producer:    "
    << (m.producer_name().empty() ? std::string("(not named)")
                                  : Printable(m.producer_name()) + " " +
                                        Printable(m.producer_version()))
    << "\nopsets:     ";
  for (const auto& set : m.opset_import()) {
    o << " " << (set.domain().empty() ? "ai.onnx" : Printable(set.domain()))
      << " " << set.version();
  }
  const onnx::GraphProto& g = m.graph();
  std::set<std::string> initializers;
  uint64_t tensors = 0, elements = 0, param_bytes = 0;
  auto add = [&](const onnx::TensorProto& t) {
    uint64_t n = 1;
    for (const int64_t d : t.dims()) {
      n *= static_cast<uint64_t>(std::max<int64_t>(d, 0));
    }
    ++tensors;
    elements += n;
    param_bytes += n * OnnxItemBytes(t.data_type());
  };
  for (const auto& t : g.initializer()) {
    initializers.insert(t.name());
    add(t);
  }
  for (const auto& n : g.node()) {  // weights some exporters keep in nodes
    if (n.op_type() != "Constant") continue;
    for (const auto& a : n.attribute()) {
      if (a.name() == "value" && a.has_t()) add(a.t());
    }
  }
  o << "\ninputs:\n";
  for (const auto& v : g.input()) {
    if (initializers.count(v.name()) != 0) continue;
    o << "  " << Printable(v.name()) << "  " << TypeText(v.type()) << "\n";
  }
  o << "outputs:\n";
  for (const auto& v : g.output()) {
    o << "  " << Printable(v.name()) << "  " << TypeText(v.type()) << "\n";
  }
  o << "parameters:  " << tensors << " tensors, " << elements << " elements, "
    << param_bytes << " bytes\n";
  std::map<std::string, int> ops;
  for (const auto& n : g.node()) ++ops[n.op_type()];
  std::vector<std::string> missing;
  o << "operations:  " << g.node_size() << " nodes\n";
  for (const auto& [op, count] : ops) {
    const bool converts = op == "Constant" || onnx_import::OnnxOp(op) ||
                          onnx_import::FoldsAtImport(op);
    if (!converts) missing.push_back(op);
    o << "  " << Printable(op) << "  " << count
      << (converts ? "" : "  (not converted)") << "\n";
  }
  if (missing.empty()) {
    o << "every operation has a conversion; snx-export --check MODEL.onnx "
         "tries the whole import (fix dynamic dimensions with --dim)\n";
  } else {
    o << missing.size()
      << " operation(s) have no conversion: see docs/onnx.md, \"When an "
         "operation is missing\"\n";
  }
  return o.str();
}

std::string ListOnnxOperations() {
  std::string out;
  for (const auto& row : onnx_import::OnnxOps()) {
    out += std::string(row.op) + "  " + row.becomes + "\n";
  }
  out += "Computed at import when their inputs are constants: " +
         onnx_import::FoldedOpsText() + "\n";
  for (const auto& row : onnx_import::FusionRows()) {
    out += std::string("Fused: ") + row.name + " (at " + row.starts_at + ")\n";
  }
  return out;
}

namespace {

// The fusions' rows as a table.
// What the rewrite of a newer operator set does and refuses
// (newer_opsets.cc).
const char* NewerOpsetsMarkdown() {
  return "## Operator sets\n\n"
         "Operator sets up to 21 are read. ONNX's checker and shape inference "
         "(the\nlibrary the importer is built with) know the sets up to 17; a "
         "model of a\nnewer set is first rewritten into set 17 by the "
         "importer's own rules,\nwhich check every node whose signature has "
         "changed since, and the checker\nand shape inference then check the "
         "result as they check any set-17 model:\n\n"
         "| operation (set) | read as |\n|---|---|\n"
         "| ReduceL1, ReduceL2, ReduceLogSum, ReduceLogSumExp, ReduceMax, "
         "ReduceMean, ReduceMin, ReduceProd, ReduceSumSquare (18) | the axes "
         "input (a constant) as the axes attribute; no axes with "
         "noop_with_empty_axes 1 an Identity; axes the model computes refused "
         "|\n"
         "| Split (18) | num_outputs dropped: the outputs are equal parts (a "
         "dimension they do not divide is refused by shape inference) |\n"
         "| Pad (18, 19) | an axes input refused; the mode 'wrap' refused |\n"
         "| Resize (18, 19) | antialias, an axes attribute, a "
         "keep_aspect_ratio_policy other than 'stretch' and the coordinate "
         "transformation 'half_pixel_symmetric' refused; their defaults "
         "dropped |\n"
         "| ScatterND, ScatterElements (18) | the reductions max and min "
         "refused |\n"
         "| AveragePool (19) | dilations other than 1 refused |\n"
         "| Cast, CastLike (19) | saturate (of 8-bit floats only) dropped |\n"
         "| Mish (18) | x × tanh(softplus(x)): Softplus, Tanh, Mul |\n"
         "| Gelu (20) | x × (1 + erf(x / √2)) / 2, or with approximate "
         "'tanh' x × (1 + tanh(√(2/π) (x + 0.044715 x³))) / 2 |\n"
         "| GroupNormalization (18, 21) | the input reshaped to [N, groups, "
         "rest] and normalised by InstanceNormalization, scaled and shifted "
         "per group (18) or per channel (21), reshaped back |\n\n"
         "Every other operation of those sets keeps its set-17 meaning for "
         "the\nelement types the importer reads; a model's IR version above "
         "8 is read as\n8 (the later ones add element types the tensor "
         "readers refuse by name).\n\n";
}

std::string FusionsMarkdown() {
  std::string out =
      "## Fusions\n\n"
      "Nodes merged into one engine layer as the model is converted, each "
      "exact\nup to float rounding:\n\n"
      "| fusion | tried at | what it does |\n|---|---|---|\n";
  for (const auto& row : onnx_import::FusionRows()) {
    out += std::string("| ") + row.name + " | " + row.starts_at + " | " +
           row.does + " |\n";
  }
  return out + "\n";
}

}  // namespace

std::string OnnxOperationsMarkdown() {
  std::string out =
      "# ONNX operations\n\n"
      "Generated by `snx-import --onnx-markdown` from the importer's own\n"
      "table; `make test` fails when this page is out of date.\n"
      "`snx-import MODEL.onnx -o GRAPH.json` and `snx-export MODEL.onnx`\n"
      "convert these operations; a model with any other is refused with one\n"
      "error that lists every such operation, its count and its first node.\n"
      "Convolutions, pooling and resizing run in NHWC, and the element-wise\n"
      "operations between them follow, so that transposes remain only where\n"
      "an operation needs the model's own order (a reshape, a matmul) and at\n"
      "the boundary: the model's inputs and outputs keep their ONNX shapes,\n"
      "or with `--nhwc-io` its 4-D ones are NHWC. Dynamic dimensions are\n"
      "fixed with `--dim NAME=VALUE` (an unnamed one with\n"
      "`--dim INPUT:AXIS=VALUE`); external data is read only from files\n"
      "inside the model's folder.\n\n"
      "| ONNX operation | becomes |\n|---|---|\n";
  for (const auto& row : onnx_import::OnnxOps()) {
    out += std::string("| ") + row.op + " | " + row.becomes + " |\n";
  }
  return out +
         "\nComputed at import when every input is a constant (Shape: when "
         "its\ninput's shape is static), so that shape computations and "
         "rearranged\nweights become constants: " +
         onnx_import::FoldedOpsText() +
         ".\n\nConv, ConvTranspose, MaxPool, AveragePool, GlobalAveragePool "
         "and\nGlobalMaxPool of 1-D data ([N, C, L], as audio front ends "
         "have it)\nare the 2-D operations with a height of 1: the input "
         "reshaped to\n[N, C, 1, L] (a filter to [M, C / group, 1, K]), "
         "the windows given a\nheight of 1, and the output reshaped back.\n\n" +
         NewerOpsetsMarkdown() + FusionsMarkdown() +
         "## When an operation is missing\n\n"
         "The error lists every operation the importer does not convert, "
         "with its\ncount and its first node. What usually gets a model "
         "through:\n\n"
         "- Decompose it in the framework into operations above, before "
         "exporting.\n"
         "- Cut the graph before post-processing the device does not need to "
         "run\n  (ArgMax, TopK, NonMaxSuppression): export the network up to "
         "its scores\n  (`onnx.utils.extract_model` cuts a saved model at "
         "named values) and do\n  the rest in the application.\n"
         "- Export again with another operator set (`opset_version` in "
         "PyTorch): a\n  newer framework may write an operation that an "
         "older set expresses with\n  the ones above.\n"
         "- Fold what depends only on constants (`onnxsim` and the like): "
         "what the\n  importer computes itself is listed above.\n";
}

}  // namespace sarnic
