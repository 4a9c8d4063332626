// What the conversion of one ONNX operation works with: the graph being
// built, every ONNX value's static shape and constant data, and the table
// of operations with the rule each follows.
#ifndef SARNIC_ONNX_CONVERTER_H_
#define SARNIC_ONNX_CONVERTER_H_

#include <onnx/onnx_pb.h>

#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sarnic/digraph.h"
#include "sarnic/errors.h"
#include "sarnic/ndarray.h"
#include "sarnic/value.h"

namespace sarnic::onnx_import {

class Converter {
 public:
  Converter(Graph& graph, std::string what)
      : g_(graph), what_(std::move(what)) {}

  Graph& graph() { return g_; }
  const std::string& what() const { return what_; }
  // The version of the default operator set the model imports.
  int64_t opset() const { return opset_; }
  void set_opset(int64_t opset) { opset_ = opset; }

  void SetShape(const std::string& value, Shape shape) {
    shapes_[value] = std::move(shape);
  }
  bool HasShape(const std::string& value) const {
    return shapes_.count(value) != 0;
  }
  // The static shape of an ONNX value; a FormatError when it has none.
  const Shape& ShapeOf(const std::string& value) const;
  void SetConstant(const std::string& value, NdArray data) {
    constants_[value] = std::move(data);
  }
  // The data of a value that is an initializer or a Constant's output.
  const NdArray* ConstantOf(const std::string& value) const;

  // Adds a node `name` with `op` and `shape`, its attributes, and an edge
  // from every node named by `inputs`; a constant input's node is made on
  // first use.
  AttrDict& Add(const std::string& name, const std::string& op,
                const Shape& shape,
                std::initializer_list<std::pair<const char*, Value>> attrs,
                const std::vector<std::string>& inputs);
  // A constant node holding `data`, named after `base`.
  std::string AddConstant(const std::string& base, NdArray data);
  // The node that holds value `v` (a constant's node is made on demand).
  std::string Use(const std::string& v);

  // Fails naming the node.
  [[noreturn]] void Fail(const onnx::NodeProto& node,
                         const std::string& problem) const;

 private:
  Graph& g_;
  std::string what_;
  std::map<std::string, Shape> shapes_;
  std::map<std::string, NdArray> constants_;
  std::map<std::string, bool> constant_nodes_;
  int64_t opset_ = 0;
};

// A node's first output, and its input `i` (a FormatError when absent).
inline const std::string& Out(const onnx::NodeProto& n) { return n.output(0); }
std::string In(Converter& c, const onnx::NodeProto& n, int i);

// Attributes of an ONNX node, with their defaults.
std::string TextAttr(const onnx::NodeProto& n, const char* name,
                     const std::string& fallback);
int64_t IntAttr(const onnx::NodeProto& n, const char* name, int64_t fallback);
float FloatAttr(const onnx::NodeProto& n, const char* name, float fallback);
std::optional<std::vector<int64_t>> IntsAttr(const onnx::NodeProto& n,
                                             const char* name);

// An ONNX tensor's data as an array (float32, float64 as float32, and the
// integer types), from its raw bytes or its typed fields; `external` gives
// the bytes of data stored outside the model.
NdArray TensorArray(const onnx::TensorProto& t, const std::string& what,
                    std::span<const std::byte> external = {});

using ConvertFn = void (*)(Converter&, const onnx::NodeProto&);

struct OnnxOpRow {
  const char* op;
  ConvertFn convert;
  const char* becomes;  // what the operation becomes, for docs/onnx.md
};

// Constant folding (fold.cc): whether `op` is computed at import when its
// inputs are constants, and one round of it over the model's nodes, which
// become initializers (and the converter's constants); the number folded.
bool FoldsAtImport(const std::string& op);
// The operations folded, as "Add, Cast, ...".
std::string FoldedOpsText();
int FoldConstants(onnx::ModelProto& m, Converter& c);

// The rows of the operations over height and width (spatial.cc).
void AddSpatialRows(std::vector<OnnxOpRow>& rows);

// Every ONNX operation the importer converts, in alphabetical order.
std::span<const OnnxOpRow> OnnxOps();
const OnnxOpRow* OnnxOp(const std::string& op);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_CONVERTER_H_
