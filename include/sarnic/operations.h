// What each operation is, declared once next to its exporter: the layer
// type it writes, its family, its attributes with their kinds and
// meanings, its input vector and its parameter tensors. The operation
// reference, the documentation and the graph checker are made from these
// declarations.
#ifndef SARNIC_OPERATIONS_H_
#define SARNIC_OPERATIONS_H_

#include <optional>
#include <string>
#include <vector>

#include "sarnic/layers.h"
#include "snx_generated.h"

namespace sarnic {

// The kinds of attribute value an operation reads.
enum class AttrKind {
  kNode,        // a node name: one of the layer's inputs
  kNodeList,    // a list of node names: several inputs
  kIntList,     // a list of integers
  kInt,         // an integer (or a value that converts to one exactly)
  kReal,        // a real number
  kText,        // a text
  kFlag,        // a value tested for truth, or only for presence
  kActivation,  // the fused activation: a text such as "relu" or "linear"
  kValue,       // any value a tensor can hold (number, text, list, array)
};

// The name of a kind as the reference shows it ("node", "list of integers").
const char* AttrKindName(AttrKind kind);

struct AttrSpec {
  std::string name;
  bool required;
  AttrKind kind;
  std::string meaning;
};

// How a built-in operation is written: the calling convention of every
// exporter plus the layer type its row declares, so that one writer serves
// every operation of a family and no writer names a type of its own.
using OpWriter = Offset (*)(BetterBuilder& builder, Graph& graph,
                            const LayerIndex& layers, const std::string& name,
                            AttrDict& node,
                            const std::optional<std::string>& alt_name,
                            snxf::Op type);

struct OpSpec {
  std::string op;  // the graph's op text
  snxf::Op type;   // the layer type written
  std::string family;
  std::vector<AttrSpec> attrs;  // besides output_shape and the common ones
  std::string inputs;           // the input vector, element 0 first
  std::string params;           // the parameter tensors, element 0 first
  OpWriter writer;
  // Made by the table from the fields above: the name of `type` and the
  // exporter with `type` bound.
  std::string layer_type = {};
  OpFunction exporter = {};

  const AttrSpec* attr(const std::string& name) const;
};

inline AttrSpec Required(std::string name, AttrKind kind, std::string meaning) {
  return {std::move(name), true, kind, std::move(meaning)};
}
inline AttrSpec Optional(std::string name, AttrKind kind, std::string meaning) {
  return {std::move(name), false, kind, std::move(meaning)};
}

// The attributes every layer may carry, written by the common layer record:
// output_shape, block, datatype and quantization.
const std::vector<AttrSpec>& CommonAttrs();

}  // namespace sarnic

#endif  // SARNIC_OPERATIONS_H_
