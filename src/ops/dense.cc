// Operations whose operands are all input layers: fully connected layers,
// the matrix product, batch normalization and the GRU cell.
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

Offset Dense(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
             const std::string& name, AttrDict& node,
             const std::optional<std::string>& alt_name, snxf::Op type) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset activation = ops::Activation(b, node);
  const Offset params = WriteParams(b, {activation});
  const Offset inputs =
      WriteInputs(b, InputsOf(layers, node, {"A", "B", "bias"}));
  return generate_layer(b, node, type, h.name, h.shape, inputs, params);
}

Offset export_matmul(BetterBuilder& b, Graph& /*graph*/,
                     const LayerIndex& layers, const std::string& node_name,
                     AttrDict& node, const std::optional<std::string>& alt_name,
                     snxf::Op type) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  // Only the text "True" requests a transposition; the tensor's presence is
  // the whole encoding.
  const bool trans_a_bool = node.at("transposeA") == Value("True");
  Offset transpose_a = 0;
  if (trans_a_bool) transpose_a = DataTensor(b, "transpose_a", Value("true"));
  const bool trans_b_bool = node.at("transposeB") == Value("True");
  Offset transpose_b = 0;
  if (trans_b_bool) transpose_b = DataTensor(b, "transpose_b", Value("true"));
  std::vector<Offset> params;
  if (trans_b_bool) params.push_back(transpose_b);
  if (trans_a_bool) params.push_back(transpose_a);
  const Offset layer_params = WriteParams(b, params);
  const Offset inputs = WriteInputs(b, InputsOf(layers, node, {"A", "B"}));
  return generate_layer(b, node, type, h.name, h.shape, inputs, layer_params);
}

Offset export_batch_normalization(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name,
                                  snxf::Op type) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset inputs = WriteInputs(
      b, InputsOf(layers, node,
                  {"input", "mean", "variance", "offset", "scale", "epsilon"}));
  return generate_layer(b, node, type, h.name, h.shape, inputs);
}

Offset export_cudnn_gru(BetterBuilder& b, Graph& /*graph*/,
                        const LayerIndex& layers, const std::string& node_name,
                        AttrDict& node,
                        const std::optional<std::string>& alt_name,
                        snxf::Op type) {
  // Written directly: a GRU layer never carries parameters, a datatype or
  // quantization fields, only its block.
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset inputs = WriteInputs(
      b,
      InputsOf(layers, node,
               {"input", "h", "w_ir", "b_ir", "w_h", "b_wh", "r_h", "b_rh"}));
  std::optional<uint32_t> block;
  if (node.contains("block")) block = BlockOf(node);
  snxf::LayerStart(b);
  snxf::LayerAddType(b, type);
  snxf::LayerAddName(b, h.name);
  snxf::LayerAddShape(b, h.shape);
  snxf::LayerAddInputs(b, inputs);
  if (block) snxf::LayerAddBlock(b, *block);
  return snxf::LayerEnd(b);
}

}  // namespace

void RegisterDenseOps(OpTable& table) {
  const AttrSpec a = Required("A", AttrKind::kNode, "the first operand");
  const AttrSpec b = Required("B", AttrKind::kNode, "the second operand");
  const AttrSpec bias = Required("bias", AttrKind::kNode, "the bias");
  table.add({"dense",
             snxf::Op::dense,
             "dense",
             {a, b, bias, ops::ActivationAttr()},
             "[A, B, bias]",
             "[activation]",
             Dense});
  table.add({"linear",
             snxf::Op::linear,
             "dense",
             {a, b, bias, ops::ActivationAttr()},
             "[A, B, bias]",
             "[activation]",
             Dense});
  table.add({"matmul",
             snxf::Op::matmul,
             "dense",
             {a, b,
              Required("transposeA", AttrKind::kText,
                       "\"True\" transposes A; any other value does not"),
              Required("transposeB", AttrKind::kText,
                       "\"True\" transposes B; any other value does not")},
             "[A, B]",
             "[], [transpose_a], [transpose_b] or [transpose_b, transpose_a]",
             export_matmul});
  std::vector<AttrSpec> bn;
  for (const char* n : {"input", "mean", "variance", "offset", "scale"}) {
    bn.push_back(Required(n, AttrKind::kNode, std::string("the ") + n));
  }
  bn.push_back(Required("epsilon", AttrKind::kNode,
                        "the epsilon, an input layer (not a number)"));
  table.add({"batch_normalization", snxf::Op::batchnorm, "dense", bn,
             "[input, mean, variance, offset, scale, epsilon]", "none",
             export_batch_normalization});
  std::vector<AttrSpec> gru;
  for (const char* n :
       {"input", "h", "w_ir", "b_ir", "w_h", "b_wh", "r_h", "b_rh"}) {
    gru.push_back(
        Required(n, AttrKind::kNode, std::string("the cell's input ") + n));
  }
  table.add({"cudnn_gru", snxf::Op::gru, "dense", gru,
             "[input, h, w_ir, b_ir, w_h, b_wh, r_h, b_rh]", "none",
             export_cudnn_gru});
}

}  // namespace sarnic
