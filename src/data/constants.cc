// Layers that bring data into the model: constants, variables, model inputs
// and the constants supplied outside the graph.
#include "data/data_layers.h"
#include "sarnic/errors.h"
#include "sarnic/schema.h"
#include "serialize/layer_parts.h"
#include "serialize/tensor.h"

namespace sarnic {

namespace {

Offset export_constant(BetterBuilder& builder, Graph& g,
                       const LayerIndex& /*layers*/,
                       const std::string& node_name, AttrDict& node) {
  const Offset layer_name = builder.CreateString(node_name);
  const Offset layer_shape = WriteOutputShape(builder, node);
  NdArray& array = g.tensor_dict.at(node_name);
  // The model holds no float64 constants; the converted array replaces the
  // graph's own, so the caller sees what was written.
  if (array.dtype() == DType::kFloat64) array = array.AsType(DType::kFloat32);
  const Offset data = export_tensor(builder, "data", std::nullopt, array);
  const Offset layer_params = WriteParams(builder, {data});
  QuantVectors quant;
  if (IsQuantized(node)) quant = WriteQuantVectors(builder, node);
  std::optional<int32_t> panel;
  if (node.contains("panel")) {
    const int32_t p = Int32Attr(node, "panel");
    if (p != 0) panel = p;
  }
  std::optional<int32_t> axis;
  if (node.contains("quant_axis")) axis = Int32Attr(node, "quant_axis");

  snxf::LayerStart(builder);
  snxf::LayerAddType(builder, snxf::Op::constant);
  snxf::LayerAddName(builder, layer_name);
  snxf::LayerAddShape(builder, layer_shape);
  snxf::LayerAddDatatype(builder, dtype_flags.at(array.dtype()));
  snxf::LayerAddParams(builder, layer_params);
  if (panel) snxf::LayerAddPanelSize(builder, *panel);
  if (quant.scale != 0) {
    snxf::LayerAddScale(builder, quant.scale);
    snxf::LayerAddZero(builder, quant.zero);
  }
  if (axis) snxf::LayerAddAxis(builder, *axis);
  return snxf::LayerEnd(builder);
}

Offset export_variable(BetterBuilder& builder, Graph& g,
                       const LayerIndex& /*layers*/,
                       const std::string& node_name, AttrDict& node,
                       const std::optional<std::string>& /*alt_name*/) {
  const Offset layer_name = builder.CreateString(node_name);
  const Offset layer_shape = WriteOutputShape(builder, node);
  const Offset data =
      export_tensor(builder, "data", std::nullopt, g.tensor_dict.at(node_name));
  const Offset layer_params = WriteParams(builder, {data});
  return generate_layer(builder, node, snxf::Op::variable, layer_name,
                        layer_shape, 0, layer_params);
}

Offset export_external(BetterBuilder& builder, Graph& /*graph*/,
                       const LayerIndex& /*layers*/,
                       const std::string& node_name, AttrDict& node,
                       const std::optional<std::string>& alt_name) {
  const Offset layer_name = WriteLayerName(builder, node_name, alt_name);
  const Offset layer_shape = WriteOutputShape(builder, node);
  const Offset shape =
      export_tensor(builder, "shape", IntListAttr(node, "output_shape"));
  const Offset layer_params = WriteParams(builder, {shape});
  return generate_layer(builder, node, snxf::Op::input, layer_name, layer_shape,
                        0, layer_params);
}

}  // namespace

Offset export_external_constant(BetterBuilder& builder,
                                const std::string& const_name,
                                const NdArray& np_array) {
  return WriteConstantLayer(builder, const_name, np_array,
                            "external constant '" + const_name + "'");
}

Offset WriteConstantLayer(BetterBuilder& builder, const std::string& const_name,
                          const NdArray& np_array, const std::string& what) {
  const Offset layer_name = builder.CreateString(const_name);
  const Offset layer_shape = WriteLayerShape(builder, np_array.shape(), what);
  // float32 data is written as it is; other types go through a converted
  // copy.
  const NdArray data_f32 = np_array.dtype() == DType::kFloat32
                               ? np_array
                               : np_array.AsType(DType::kFloat32);
  const Offset data = export_tensor(builder, "data", std::nullopt, data_f32);
  const Offset layer_params = WriteParams(builder, {data});
  snxf::LayerStart(builder);
  snxf::LayerAddType(builder, snxf::Op::constant);
  snxf::LayerAddName(builder, layer_name);
  snxf::LayerAddShape(builder, layer_shape);
  snxf::LayerAddParams(builder, layer_params);
  return snxf::LayerEnd(builder);
}

std::vector<OpSpec> DataOps() {
  // The data layers are written by functions the pipeline also calls
  // directly, each knowing its own layer type; the rows adapt them.
  const OpWriter constant = [](BetterBuilder& b, Graph& g,
                               const LayerIndex& layers, const std::string& n,
                               AttrDict& node,
                               const std::optional<std::string>&, snxf::Op) {
    return export_constant(b, g, layers, n, node);
  };
  const OpWriter variable =
      [](BetterBuilder& b, Graph& g, const LayerIndex& layers,
         const std::string& n, AttrDict& node,
         const std::optional<std::string>& alt,
         snxf::Op) { return export_variable(b, g, layers, n, node, alt); };
  const OpWriter external =
      [](BetterBuilder& b, Graph& g, const LayerIndex& layers,
         const std::string& n, AttrDict& node,
         const std::optional<std::string>& alt,
         snxf::Op) { return export_external(b, g, layers, n, node, alt); };
  const OpWriter copy = [](BetterBuilder& b, Graph& g, const LayerIndex& layers,
                           const std::string& n, AttrDict& node,
                           const std::optional<std::string>& alt, snxf::Op) {
    return export_copy(b, g, layers, n, node, alt);
  };
  return {
      {"constant",
       snxf::Op::constant,
       "data",
       {Optional("panel", AttrKind::kInt,
                 "the panel size for the engine; 0 or absent writes none")},
       "none",
       "[data: the node's array from tensor_dict, float64 written as "
       "float32]",
       constant},
      {"variable",
       snxf::Op::variable,
       "data",
       {},
       "none",
       "[data: the node's array from tensor_dict]",
       variable},
      {"external",
       snxf::Op::input,
       "data",
       {},
       "none",
       "[shape: data-less, shape = output_shape]",
       external},
      {"copy",
       snxf::Op::copy,
       "data",
       {Required("input", AttrKind::kNode, "the layer whose output is copied"),
        Required("target", AttrKind::kNode, "the variable it is copied into")},
       "[target, input]",
       "none",
       copy},
  };
}

}  // namespace sarnic
