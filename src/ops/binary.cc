// Element-wise operations on two or more inputs, and the activations that
// carry parameter tensors.
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

// Name, shape, the inputs [first, second] in that order, and the common
// layer record. The first input is the left-hand operand.
Offset TwoInputs(BetterBuilder& b, const LayerIndex& layers,
                 const std::string& name, AttrDict& node,
                 const std::optional<std::string>& alt_name, const char* second,
                 snxf::Op op) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset inputs = WriteInputs(b, InputsOf(layers, node, {"x", second}));
  return generate_layer(b, node, op, h.name, h.shape, inputs);
}

Offset export_add(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return TwoInputs(b, layers, node_name, node, alt_name, "y", snxf::Op::add);
}

Offset export_sub(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return TwoInputs(b, layers, node_name, node, alt_name, "y",
                   snxf::Op::subtract);
}

Offset export_mul(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return TwoInputs(b, layers, node_name, node, alt_name, "y",
                   snxf::Op::multiply);
}

Offset export_div(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return TwoInputs(b, layers, node_name, node, alt_name, "y", snxf::Op::divide);
}

Offset export_pow(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return TwoInputs(b, layers, node_name, node, alt_name, "y", snxf::Op::pow);
}

Offset export_prelu(BetterBuilder& b, Graph& /*graph*/,
                    const LayerIndex& layers, const std::string& node_name,
                    AttrDict& node,
                    const std::optional<std::string>& alt_name) {
  return TwoInputs(b, layers, node_name, node, alt_name, "scales",
                   snxf::Op::prelu);
}

Offset export_add_n(BetterBuilder& b, Graph& /*graph*/,
                    const LayerIndex& layers, const std::string& node_name,
                    AttrDict& node,
                    const std::optional<std::string>& alt_name) {
  // The n-ary sum has no layer type of its own: it is written as `none`.
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset inputs = WriteInputs(b, ops::ValuesOf(layers, node));
  return generate_layer(b, node, snxf::Op::none, h.name, h.shape, inputs);
}

Offset export_leaky_relu(BetterBuilder& b, Graph& /*graph*/,
                         const LayerIndex& layers, const std::string& node_name,
                         AttrDict& node,
                         const std::optional<std::string>& alt_name) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset alpha = DataTensor(b, "alpha", node.at("alpha"));
  const Offset params = WriteParams(b, {alpha});
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  return generate_layer(b, node, snxf::Op::leaky_relu, h.name, h.shape, inputs,
                        params);
}

Offset export_swish(BetterBuilder& b, Graph& /*graph*/,
                    const LayerIndex& layers, const std::string& node_name,
                    AttrDict& node,
                    const std::optional<std::string>& alt_name) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset hard = DataTensor(b, "hard", node.at("hard"));
  const Offset beta = DataTensor(b, "beta", node.at("beta"));
  const Offset params = WriteParams(b, {beta, hard});
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  return generate_layer(b, node, snxf::Op::swish, h.name, h.shape, inputs,
                        params);
}

}  // namespace

void RegisterBinaryOps(OpTable& table) {
  table.add("add", export_add);
  table.add("sub", export_sub);
  table.add("mul", export_mul);
  table.add("div", export_div);
  table.add("pow", export_pow);
  table.add("prelu", export_prelu);
  table.add("add_n", export_add_n);
  table.add("leaky_relu", export_leaky_relu);
  table.add("swish", export_swish);
}

}  // namespace sarnic
