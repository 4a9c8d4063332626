// The steps the operation exporters share: the layer head (name and shape),
// input positions looked up by attribute, and the two tensor forms of
// parameters (a data-less tensor whose shape vector is an integer list, and
// a tensor holding a value as data).
#ifndef SARNIC_OPS_PROTOCOL_H_
#define SARNIC_OPS_PROTOCOL_H_

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "sarnic/layers.h"
#include "sarnic/operations.h"
#include "serialize/layer_parts.h"
#include "serialize/tensor.h"

namespace sarnic::ops {

struct LayerHead {
  Offset name;
  Offset shape;
};

// The layer name (the alternative name when given and not empty) and the
// shape vector from `output_shape`, written in that order.
LayerHead WriteHead(BetterBuilder& b, const std::string& name,
                    const AttrDict& node,
                    const std::optional<std::string>& alt_name);

// The position of the layer that attribute `attr` names.
uint32_t InputOf(const LayerIndex& layers, const AttrDict& node,
                 const std::string& attr);
// Positions for several attributes, looked up in the order given.
std::vector<uint32_t> InputsOf(const LayerIndex& layers, const AttrDict& node,
                               std::initializer_list<const char*> attrs);
// Positions of the names in the sequence attribute `values`, in order.
std::vector<uint32_t> ValuesOf(const LayerIndex& layers, const AttrDict& node);

// A data-less tensor whose shape vector is the integer list `dims`.
Offset ShapeTensor(BetterBuilder& b, const char* tensor, const Shape& dims);
// A data-less tensor whose shape vector is the node's integer list `attr`.
Offset ShapeTensor(BetterBuilder& b, const char* tensor, const AttrDict& node,
                   const char* attr);
// A tensor holding `data`.
Offset DataTensor(BetterBuilder& b, const char* tensor, const Value& data);

// The node has both pad lists `head` and `tail`.
bool HasPads(const AttrDict& node);

// The "activation" tensor: the node's `activation`, or the text "linear".
Offset Activation(BetterBuilder& b, const AttrDict& node);

// When the node has both pad lists, writes the tensors "head" then "tail"
// and appends them in read order [..., tail, head].
void AddPads(BetterBuilder& b, const AttrDict& node,
             std::vector<Offset>& params);

// The declarations that several families share: the optional pad lists
// `head` and `tail`, and the fused activation.
AttrSpec HeadAttr();
AttrSpec TailAttr();
AttrSpec ActivationAttr();

// Length of the sequence attribute `attr` (a TypeError for a non-sequence).
std::size_t SequenceLength(const AttrDict& node, const char* attr);

}  // namespace sarnic::ops

#endif  // SARNIC_OPS_PROTOCOL_H_
