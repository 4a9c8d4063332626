// Element-wise operations on one input `x`.
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

// Name, shape, the one input `x`, and the common layer record.
Offset OneInput(BetterBuilder& b, const LayerIndex& layers,
                const std::string& name, AttrDict& node,
                const std::optional<std::string>& alt_name, snxf::Op op) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  return generate_layer(b, node, op, h.name, h.shape, inputs);
}

Offset export_abs(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::abs);
}

Offset export_cos(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::none);
}

Offset export_sin(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::none);
}

Offset export_exp(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::exp);
}

Offset export_log(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::log);
}

Offset export_neg(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::none);
}

Offset export_sqrt(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                   const std::string& node_name, AttrDict& node,
                   const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::sqrt);
}

Offset export_relu(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                   const std::string& node_name, AttrDict& node,
                   const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::relu);
}

Offset export_relu6(BetterBuilder& b, Graph& /*graph*/,
                    const LayerIndex& layers, const std::string& node_name,
                    AttrDict& node,
                    const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::relu6);
}

Offset export_sigmoid(BetterBuilder& b, Graph& /*graph*/,
                      const LayerIndex& layers, const std::string& node_name,
                      AttrDict& node,
                      const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::sigmoid);
}

Offset export_tanh(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                   const std::string& node_name, AttrDict& node,
                   const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::tanh);
}

Offset export_elu(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::none);
}

Offset export_quant(BetterBuilder& b, Graph& /*graph*/,
                    const LayerIndex& layers, const std::string& node_name,
                    AttrDict& node,
                    const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::quant);
}

Offset export_dequant(BetterBuilder& b, Graph& /*graph*/,
                      const LayerIndex& layers, const std::string& node_name,
                      AttrDict& node,
                      const std::optional<std::string>& alt_name) {
  return OneInput(b, layers, node_name, node, alt_name, snxf::Op::dequant);
}

Offset export_sqr(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& node_name, AttrDict& node,
                  const std::optional<std::string>& alt_name) {
  // A square is the element-wise product of the input with itself.
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const uint32_t x = InputOf(layers, node, "x");
  const uint32_t y = InputOf(layers, node, "x");
  const Offset inputs = WriteInputs(b, {x, y});
  return generate_layer(b, node, snxf::Op::multiply, h.name, h.shape, inputs);
}

Offset export_rsqrt(BetterBuilder& b, Graph& /*graph*/,
                    const LayerIndex& layers, const std::string& node_name,
                    AttrDict& node,
                    const std::optional<std::string>& alt_name) {
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  const Value* epsilon = node.find("epsilon");
  const Offset eps = DataTensor(b, "epsilon", epsilon ? *epsilon : Value(0.0));
  const Offset params = WriteParams(b, {eps});
  return generate_layer(b, node, snxf::Op::rsqrt, h.name, h.shape, inputs,
                        params);
}

}  // namespace

void RegisterUnaryOps(OpTable& table) {
  const AttrSpec x = Required("x", AttrKind::kNode, "the input");
  // op text, layer type written, exporter
  const struct {
    const char* op;
    const char* layer_type;
    OpFunction fn;
  } rows[] = {
      {"abs", "abs", export_abs},       {"cos", "none", export_cos},
      {"sin", "none", export_sin},      {"exp", "exp", export_exp},
      {"log", "log", export_log},       {"neg", "none", export_neg},
      {"sqrt", "sqrt", export_sqrt},    {"relu", "relu", export_relu},
      {"relu6", "relu6", export_relu6}, {"sigmoid", "sigmoid", export_sigmoid},
      {"tanh", "tanh", export_tanh},    {"elu", "none", export_elu},
      {"quant", "quant", export_quant}, {"dequant", "dequant", export_dequant},
  };
  for (const auto& r : rows) {
    table.add({r.op, r.layer_type, "unary", {x}, "[x]", "none", r.fn});
  }
  table.add({"sqr",
             "multiply",
             "unary",
             {x},
             "[x, x]: a square is the product of the input with itself",
             "none",
             export_sqr});
  table.add({"rsqrt",
             "rsqrt",
             "unary",
             {x, Optional("epsilon", AttrKind::kReal,
                          "added before the root (default 0.0)")},
             "[x]",
             "[epsilon: float32 data]",
             export_rsqrt});
}

}  // namespace sarnic
