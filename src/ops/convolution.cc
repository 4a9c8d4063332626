// Convolutions: settings as small named tensors, written before the inputs,
// and the bias as an optional third input.
#include "ops/op_table.h"
#include "ops/protocol.h"
#include "sarnic/errors.h"
#include "sarnic/schema.h"

namespace sarnic {

using ops::DataTensor;
using ops::InputOf;
using ops::LayerHead;
using ops::ShapeTensor;
using ops::WriteHead;

namespace {

// A dilation or stride list: written as it is when it has one entry per
// output dimension, else as [1, first, second, 1].
Shape RankedSetting(const AttrDict& node, const char* attr) {
  const std::size_t n = ops::SequenceLength(node, attr);
  if (n == ops::SequenceLength(node, "output_shape")) {
    return IntListAttr(node, attr);
  }
  const std::string place = AttrPlace(node, attr);
  if (n < 2) {
    throw IndexError(place + " has " + std::to_string(n) +
                     " entries; it needs two, or one per output dimension");
  }
  const List& l = node.at(attr).as_list();
  return {1, ToInteger(l[0], place), ToInteger(l[1], place), 1};
}

// [input, filter, bias], or [input, filter] when the node has no bias or
// its bias has no layer.
Offset ConvInputs(BetterBuilder& b, const LayerIndex& layers,
                  const AttrDict& node) {
  const uint32_t x = InputOf(layers, node, "input");
  const uint32_t k = InputOf(layers, node, "filter");
  const Value* bias = node.find("bias");
  if (bias != nullptr && bias->is_text() && layers.contains(bias->as_text())) {
    return WriteInputs(b, {x, k, layers.at(bias->as_text())});
  }
  return WriteInputs(b, {x, k});
}

Offset export_conv(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                   const std::string& node_name, AttrDict& node,
                   const std::optional<std::string>& alt_name, snxf::Op type) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset dilation =
      ShapeTensor(b, "dilations", RankedSetting(node, "dilation"));
  const Offset stride =
      ShapeTensor(b, "strides", RankedSetting(node, "stride"));
  const Offset groups = DataTensor(b, "groups", Value(List{node.at("groups")}));
  const Offset activation = ops::Activation(b, node);
  std::vector<Offset> params = {activation, groups, dilation, stride};
  ops::AddPads(b, node, params);
  const Offset layer_params = WriteParams(b, params);
  const Offset inputs = ConvInputs(b, layers, node);
  return generate_layer(b, node, type, h.name, h.shape, inputs, layer_params);
}

Offset export_transpose_conv(BetterBuilder& b, Graph& /*graph*/,
                             const LayerIndex& layers,
                             const std::string& node_name, AttrDict& node,
                             const std::optional<std::string>& alt_name,
                             snxf::Op type) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset stride =
      ShapeTensor(b, "strides", RankedSetting(node, "stride"));
  const Offset activation = ops::Activation(b, node);
  std::vector<Offset> params = {activation, stride};
  ops::AddPads(b, node, params);
  const Offset layer_params = WriteParams(b, params);
  const Offset inputs = ConvInputs(b, layers, node);
  return generate_layer(b, node, type, h.name, h.shape, inputs, layer_params);
}

}  // namespace

void RegisterConvolutionOps(OpTable& table) {
  const AttrSpec input = Required("input", AttrKind::kNode, "the data input");
  const AttrSpec filter = Required("filter", AttrKind::kNode, "the weights");
  const AttrSpec bias =
      Optional("bias", AttrKind::kNode,
               "the bias; an input only when it names an exported layer");
  const AttrSpec stride =
      Required("stride", AttrKind::kIntList,
               "the strides: one per output dimension, or two [h, w] "
               "written as [1, h, w, 1]");
  table.add({"conv",
             snxf::Op::conv2d,
             "convolution",
             {input, filter, bias,
              Required("dilation", AttrKind::kIntList,
                       "the dilation factors, by the rule of stride"),
              stride,
              Required("groups", AttrKind::kInt,
                       "the number of groups (1 for an ordinary convolution)"),
              ops::ActivationAttr(), ops::HeadAttr(), ops::TailAttr()},
             "[input, filter, bias] or [input, filter]",
             "[activation, groups, dilations, strides] and, with pads, "
             "[..., tail, head]",
             export_conv});
  table.add({"transpose_conv",
             snxf::Op::deconv2d,
             "convolution",
             {input, filter, bias, stride, ops::ActivationAttr(),
              ops::HeadAttr(), ops::TailAttr()},
             "[input, filter, bias] or [input, filter]",
             "[activation, strides] and, with pads, [..., tail, head]",
             export_transpose_conv});
}

}  // namespace sarnic
