// Element-wise operations on one input `x`.
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

// Name, shape, the one input `x`, and the common layer record.
Offset OneInput(const SarnicExporter& e, BetterBuilder& b,
                const LayerIndex& layers, const std::string& name,
                AttrDict& node, const std::optional<std::string>& alt_name,
                snxf::Op op) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  return e.generate_layer(b, node, op, h.name, h.shape, inputs);
}

}  // namespace

Offset SarnicExporter::export_abs(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::abs);
}

Offset SarnicExporter::export_cos(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::none);
}

Offset SarnicExporter::export_sin(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::none);
}

Offset SarnicExporter::export_exp(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::exp);
}

Offset SarnicExporter::export_log(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::log);
}

Offset SarnicExporter::export_neg(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::none);
}

Offset SarnicExporter::export_sqrt(BetterBuilder& b, Graph& /*graph*/,
                                   const LayerIndex& layers,
                                   const std::string& node_name, AttrDict& node,
                                   const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::sqrt);
}

Offset SarnicExporter::export_relu(BetterBuilder& b, Graph& /*graph*/,
                                   const LayerIndex& layers,
                                   const std::string& node_name, AttrDict& node,
                                   const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::relu);
}

Offset SarnicExporter::export_relu6(
    BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
    const std::string& node_name, AttrDict& node,
    const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::relu6);
}

Offset SarnicExporter::export_sigmoid(
    BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
    const std::string& node_name, AttrDict& node,
    const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name,
                  snxf::Op::sigmoid);
}

Offset SarnicExporter::export_tanh(BetterBuilder& b, Graph& /*graph*/,
                                   const LayerIndex& layers,
                                   const std::string& node_name, AttrDict& node,
                                   const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::tanh);
}

Offset SarnicExporter::export_elu(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::none);
}

Offset SarnicExporter::export_quant(
    BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
    const std::string& node_name, AttrDict& node,
    const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name, snxf::Op::quant);
}

Offset SarnicExporter::export_dequant(
    BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
    const std::string& node_name, AttrDict& node,
    const std::optional<std::string>& alt_name) {
  return OneInput(*this, b, layers, node_name, node, alt_name,
                  snxf::Op::dequant);
}

Offset SarnicExporter::export_sqr(BetterBuilder& b, Graph& /*graph*/,
                                  const LayerIndex& layers,
                                  const std::string& node_name, AttrDict& node,
                                  const std::optional<std::string>& alt_name) {
  // A square is the element-wise product of the input with itself.
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const uint32_t x = InputOf(layers, node, "x");
  const uint32_t y = InputOf(layers, node, "x");
  const Offset inputs = WriteInputs(b, {x, y});
  return generate_layer(b, node, snxf::Op::multiply, h.name, h.shape, inputs);
}

Offset SarnicExporter::export_rsqrt(
    BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
    const std::string& node_name, AttrDict& node,
    const std::optional<std::string>& alt_name) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  const Value* epsilon = node.find("epsilon");
  const Offset eps =
      DataTensor(*this, b, "epsilon", epsilon ? *epsilon : Value(0.0));
  const Offset params = WriteParams(b, {eps});
  return generate_layer(b, node, snxf::Op::rsqrt, h.name, h.shape, inputs,
                        params);
}

void RegisterUnaryOps(OpTable& table) {
  table.add("abs", &SarnicExporter::export_abs);
  table.add("cos", &SarnicExporter::export_cos);
  table.add("sin", &SarnicExporter::export_sin);
  table.add("exp", &SarnicExporter::export_exp);
  table.add("log", &SarnicExporter::export_log);
  table.add("neg", &SarnicExporter::export_neg);
  table.add("sqrt", &SarnicExporter::export_sqrt);
  table.add("relu", &SarnicExporter::export_relu);
  table.add("relu6", &SarnicExporter::export_relu6);
  table.add("sigmoid", &SarnicExporter::export_sigmoid);
  table.add("tanh", &SarnicExporter::export_tanh);
  table.add("elu", &SarnicExporter::export_elu);
  table.add("quant", &SarnicExporter::export_quant);
  table.add("dequant", &SarnicExporter::export_dequant);
  table.add("sqr", &SarnicExporter::export_sqr);
  table.add("rsqrt", &SarnicExporter::export_rsqrt);
}

}  // namespace sarnic
