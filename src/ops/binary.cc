// Element-wise operations on two or more inputs, and the activations that
// carry parameter tensors.
#include "exporter/op_table.h"
#include "ops/protocol.h"
#include "sarnic/errors.h"
#include "sarnic/exporter.h"
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
Offset TwoInputs(const SarnicExporter& e, BetterBuilder& b,
                 const LayerIndex& layers, const std::string& name,
                 AttrDict& node, const std::optional<std::string>& alt_name,
                 const char* second, snxf::Op op) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset inputs = WriteInputs(b, InputsOf(layers, node, {"x", second}));
  return e.generate_layer(b, node, op, h.name, h.shape, inputs);
}

}  // namespace

Offset SarnicExporter::export_add(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return TwoInputs(*this, b, layers, node_name, node, alt_name, "y",
                   snxf::Op::add);
}

Offset SarnicExporter::export_sub(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return TwoInputs(*this, b, layers, node_name, node, alt_name, "y",
                   snxf::Op::subtract);
}

Offset SarnicExporter::export_mul(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return TwoInputs(*this, b, layers, node_name, node, alt_name, "y",
                   snxf::Op::multiply);
}

Offset SarnicExporter::export_div(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return TwoInputs(*this, b, layers, node_name, node, alt_name, "y",
                   snxf::Op::divide);
}

Offset SarnicExporter::export_pow(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return TwoInputs(*this, b, layers, node_name, node, alt_name, "y",
                   snxf::Op::pow);
}

Offset SarnicExporter::export_prelu(
    BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
    const std::string& node_name, AttrDict& node,
    const std::optional<std::string>& alt_name) {
  return TwoInputs(*this, b, layers, node_name, node, alt_name, "scales",
                   snxf::Op::prelu);
}

Offset SarnicExporter::export_add_n(
    BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
    const std::string& node_name, AttrDict& node,
    const std::optional<std::string>& alt_name) {
  // The n-ary sum has no layer type of its own: it is written as `none`.
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset inputs = WriteInputs(b, ops::ValuesOf(layers, node));
  return generate_layer(b, node, snxf::Op::none, h.name, h.shape, inputs);
}

Offset SarnicExporter::export_leaky_relu(
    BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
    const std::string& node_name, AttrDict& node,
    const std::optional<std::string>& alt_name) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset alpha = DataTensor(*this, b, "alpha", node.at("alpha"));
  const Offset params = WriteParams(b, {alpha});
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  return generate_layer(b, node, snxf::Op::leaky_relu, h.name, h.shape, inputs,
                        params);
}

Offset SarnicExporter::export_swish(
    BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
    const std::string& node_name, AttrDict& node,
    const std::optional<std::string>& alt_name) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset hard = DataTensor(*this, b, "hard", node.at("hard"));
  const Offset beta = DataTensor(*this, b, "beta", node.at("beta"));
  const Offset params = WriteParams(b, {beta, hard});
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  return generate_layer(b, node, snxf::Op::swish, h.name, h.shape, inputs,
                        params);
}

void RegisterBinaryOps(OpTable& table) {
  table.add("add", &SarnicExporter::export_add);
  table.add("sub", &SarnicExporter::export_sub);
  table.add("mul", &SarnicExporter::export_mul);
  table.add("div", &SarnicExporter::export_div);
  table.add("pow", &SarnicExporter::export_pow);
  table.add("prelu", &SarnicExporter::export_prelu);
  table.add("add_n", &SarnicExporter::export_add_n);
  table.add("leaky_relu", &SarnicExporter::export_leaky_relu);
  table.add("swish", &SarnicExporter::export_swish);
}

}  // namespace sarnic
