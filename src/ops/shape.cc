// Shape and layout operations: integer lists as data-less tensors whose
// shape vector is the list, scalars as one-element data tensors.
#include <algorithm>

#include "ops/op_table.h"
#include "ops/protocol.h"
#include "sarnic/errors.h"
#include "sarnic/schema.h"

namespace sarnic {

using ops::DataTensor;
using ops::InputOf;
using ops::InputsOf;
using ops::LayerHead;
using ops::ShapeTensor;
using ops::WriteHead;

namespace {

// One data-less tensor `kTensor` holding the list attribute `kList` as the
// only parameter, then the one input named by `kInput`.
template <const char* const* kTensor, const char* const* kList,
          const char* const* kInput>
Offset OneListParam(BetterBuilder& b, Graph& /*graph*/,
                    const LayerIndex& layers, const std::string& name,
                    AttrDict& node, const std::optional<std::string>& alt_name,
                    snxf::Op type) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset param = ShapeTensor(b, *kTensor, node, *kList);
  const Offset params = WriteParams(b, {param});
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, *kInput)});
  return generate_layer(b, node, type, h.name, h.shape, inputs, params);
}

constexpr const char* kShape = "shape";
constexpr const char* kOutputShape = "output_shape";
constexpr const char* kAxes = "axes";
constexpr const char* kInput = "input";
constexpr const char* kX = "x";

Value Flag(const AttrDict& node, const char* attr) {
  return Value(node.at(attr).truthy() ? 1 : 0);
}

Offset export_slice(BetterBuilder& b, Graph& /*graph*/,
                    const LayerIndex& layers, const std::string& node_name,
                    AttrDict& node, const std::optional<std::string>& alt_name,
                    snxf::Op type) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset axes = ShapeTensor(b, "axes", node, "axes");
  const Offset head = ShapeTensor(b, "head", node, "begin");
  const Offset tail = ShapeTensor(b, "tail", node, "end");
  const Offset strides =
      node.contains("strides")
          ? ShapeTensor(b, "strides", node, "strides")
          : ShapeTensor(b, "strides",
                        Shape(ops::SequenceLength(node, "axes"), 1));
  const Offset params = WriteParams(b, {axes, head, tail, strides});
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "input")});
  return generate_layer(b, node, type, h.name, h.shape, inputs, params);
}

Offset export_pad(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name, snxf::Op type) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset head = ShapeTensor(b, "head", node, "head");
  const Offset tail = ShapeTensor(b, "tail", node, "tail");
  const Offset value = DataTensor(b, "value", node.at("value"));
  std::vector<Offset> params = {head, tail, value};
  // The tensor's presence is the flag, whatever the attribute's value.
  if (node.contains("fusible")) {
    params.push_back(ShapeTensor(b, "fusible", Shape{}));
  }
  const Offset layer_params = WriteParams(b, params);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "input")});
  return generate_layer(b, node, type, h.name, h.shape, inputs, layer_params);
}

Offset export_concat(BetterBuilder& b, Graph& /*graph*/,
                     const LayerIndex& layers, const std::string& node_name,
                     AttrDict& node, const std::optional<std::string>& alt_name,
                     snxf::Op type) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset axis = DataTensor(
      b, "axis", Value(ToInteger(node.at("axis"), AttrPlace(node, "axis"))));
  const Offset params = WriteParams(b, {axis});
  const Offset inputs = WriteInputs(b, ops::ValuesOf(layers, node));
  return generate_layer(b, node, type, h.name, h.shape, inputs, params);
}

Offset export_resize(BetterBuilder& b, Graph& /*graph*/,
                     const LayerIndex& layers, const std::string& node_name,
                     AttrDict& node, const std::optional<std::string>& alt_name,
                     snxf::Op type) {
  // The inputs come before the parameters here.
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "input")});
  const Offset mode = DataTensor(
      b, "mode", Value(ToInteger(node.at("mode"), AttrPlace(node, "mode"))));
  const Offset align_corners =
      DataTensor(b, "align_corners", Flag(node, "align_corners"));
  const Offset half_pixel_centers =
      DataTensor(b, "half_pixel_centers", Flag(node, "half_pixel_centers"));
  const Offset params =
      WriteParams(b, {mode, align_corners, half_pixel_centers});
  return generate_layer(b, node, type, h.name, h.shape, inputs, params);
}

}  // namespace

namespace {

// The two operations that cut or extend their input.
void RegisterSliceAndPad(OpTable& table, const AttrSpec& input,
                         const AttrSpec& axes) {
  const AttrSpec head = Required("head", AttrKind::kIntList,
                                 "pad widths before the data, per dimension");
  const AttrSpec tail = Required("tail", AttrKind::kIntList,
                                 "pad widths after the data, per dimension");
  table.add(
      {"slice",
       snxf::Op::slice,
       "shape",
       {input, axes,
        Required("begin", AttrKind::kIntList, "the first index, per axis"),
        Required("end", AttrKind::kIntList, "the end index, per axis"),
        Optional("strides", AttrKind::kIntList,
                 "the steps, per axis (default 1 each)")},
       "[input]",
       "[axes, head = begin, tail = end, strides], data-less",
       export_slice});
  table.add(
      {"pad",
       snxf::Op::pad,
       "shape",
       {input, head, tail, Required("value", AttrKind::kValue, "the pad value"),
        Optional("fusible", AttrKind::kFlag,
                 "present when the pad may be fused into the next "
                 "layer; only its presence counts")},
       "[input]",
       "[head, tail, value] or [head, tail, value, fusible]",
       export_pad});
}

}  // namespace

void RegisterShapeOps(OpTable& table) {
  const AttrSpec input = Required("input", AttrKind::kNode, "the input");
  const AttrSpec axes = Required("axes", AttrKind::kIntList, "the axes");
  // A reshape's target shape is the node's own output shape.
  table.add({"reshape",
             snxf::Op::reshape,
             "shape",
             {input},
             "[input]",
             "[shape: data-less, shape = output_shape]",
             OneListParam<&kShape, &kOutputShape, &kInput>});
  table.add({"transpose",
             snxf::Op::shuffle,
             "shape",
             {input, Required("axes", AttrKind::kIntList,
                              "the permutation of the input's axes")},
             "[input]",
             "[axes: data-less, shape = axes]",
             OneListParam<&kAxes, &kAxes, &kInput>});
  table.add({"softmax",
             snxf::Op::softmax,
             "shape",
             {Required("x", AttrKind::kNode, "the input"), axes},
             "[x]",
             "[axes: data-less, shape = axes]",
             OneListParam<&kAxes, &kAxes, &kX>});
  RegisterSliceAndPad(table, input, axes);
  table.add({"concat",
             snxf::Op::concat,
             "shape",
             {Required("values", AttrKind::kNodeList, "the parts, in order"),
              Required("axis", AttrKind::kInt, "the axis joined along")},
             "one entry per name of values, in order",
             "[axis: int16 data]",
             export_concat});
  table.add(
      {"resize",
       snxf::Op::resize,
       "shape",
       {input, Required("mode", AttrKind::kInt, "the resize mode"),
        Required("align_corners", AttrKind::kFlag, "align the corner pixels"),
        Required("half_pixel_centers", AttrKind::kFlag,
                 "sample at pixel centres")},
       "[input]",
       "[mode, align_corners, half_pixel_centers], int16 data",
       export_resize});
}

}  // namespace sarnic
