// The common Layer record: type, name, shape, inputs, parameters and the
// per-node extras (memory block, element type, quantization).
#include "sarnic/errors.h"
#include "sarnic/schema.h"
#include "serialize/layer_parts.h"
#include "serialize/tensor.h"

namespace sarnic {

namespace {

snxf::Datatype DatatypeOf(const AttrDict& node) {
  const Value& v = node.at("datatype");
  std::optional<DType> dtype;
  if (v.is_text()) dtype = DTypeFromName(v.as_text());
  if (dtype.has_value()) {
    auto it = dtype_flags.find(*dtype);
    if (it != dtype_flags.end()) return it->second;
  }
  throw KeyError(v.str(), AttrPlace(node, "datatype") + " names no model " +
                              "element type: " + v.repr());
}

}  // namespace

uint32_t BlockOf(const AttrDict& node) {
  const Value& v = node.at("block");
  if (!v.is_integer()) {
    throw TypeError(AttrPlace(node, "block") + " must be an integer, not " +
                    v.repr());
  }
  return CheckedUint32(v.as_int(), AttrPlace(node, "block"));
}

int32_t Int32Attr(const AttrDict& node, const std::string& attr) {
  const Value& v = node.at(attr);
  if (!v.is_integer()) {
    throw TypeError(AttrPlace(node, attr) + " must be an integer, not " +
                    v.repr());
  }
  return CheckedInt32(v.as_int(), AttrPlace(node, attr));
}

Offset generate_layer(BetterBuilder& builder, const AttrDict& node, snxf::Op op,
                      Offset layer_name, Offset shape, Offset inputs,
                      Offset params) {
  QuantVectors quant;
  if (IsQuantized(node)) quant = WriteQuantVectors(builder, node);
  // Field values are read before the table opens, so a bad value fails
  // without leaving a table half written.
  std::optional<uint32_t> block;
  if (node.contains("block")) block = BlockOf(node);
  std::optional<snxf::Datatype> datatype;
  if (node.contains("datatype")) datatype = DatatypeOf(node);
  std::optional<int32_t> axis;
  if (node.contains("quant_axis")) axis = Int32Attr(node, "quant_axis");

  snxf::LayerStart(builder);
  snxf::LayerAddType(builder, op);
  snxf::LayerAddName(builder, layer_name);
  snxf::LayerAddShape(builder, shape);
  if (inputs != 0) snxf::LayerAddInputs(builder, inputs);
  if (params != 0) snxf::LayerAddParams(builder, params);
  if (block) snxf::LayerAddBlock(builder, *block);
  if (datatype) snxf::LayerAddDatatype(builder, *datatype);
  if (quant.scale != 0) {
    snxf::LayerAddScale(builder, quant.scale);
    snxf::LayerAddZero(builder, quant.zero);
  }
  if (axis) snxf::LayerAddAxis(builder, *axis);
  return snxf::LayerEnd(builder);
}

}  // namespace sarnic
