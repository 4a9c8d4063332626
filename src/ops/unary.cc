// Element-wise operations on one input `x`, and the activations whose
// parameters are tensors (leaky_relu, swish).
#include <algorithm>
#include <vector>

#include "ops/op_table.h"
#include "ops/protocol.h"
#include "sarnic/errors.h"
#include "sarnic/schema.h"

namespace sarnic {

using ops::DataTensor;
using ops::InputOf;
using ops::LayerHead;
using ops::WriteHead;

namespace {

// Name, shape, the one input `x`, and the common layer record.
Offset OneInput(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                const std::string& name, AttrDict& node,
                const std::optional<std::string>& alt_name, snxf::Op type) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  return generate_layer(b, node, type, h.name, h.shape, inputs);
}

// A square is the element-wise product of the input with itself.
Offset Square(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
              const std::string& name, AttrDict& node,
              const std::optional<std::string>& alt_name, snxf::Op type) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const uint32_t x = InputOf(layers, node, "x");
  const uint32_t y = InputOf(layers, node, "x");
  const Offset inputs = WriteInputs(b, {x, y});
  return generate_layer(b, node, type, h.name, h.shape, inputs);
}

Offset ReciprocalRoot(BetterBuilder& b, Graph& /*graph*/,
                      const LayerIndex& layers, const std::string& name,
                      AttrDict& node,
                      const std::optional<std::string>& alt_name,
                      snxf::Op type) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  const Value* epsilon = node.find("epsilon");
  const Offset eps = DataTensor(b, "epsilon", epsilon ? *epsilon : Value(0.0));
  const Offset params = WriteParams(b, {eps});
  return generate_layer(b, node, type, h.name, h.shape, inputs, params);
}

// An activation of the one input `x` with the named data tensors as its
// parameters: written in the order given, read in the reverse order.
template <const char* const*... kTensors>
Offset Activation(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                  const std::string& name, AttrDict& node,
                  const std::optional<std::string>& alt_name, snxf::Op type) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  // A braced list evaluates its elements left to right.
  std::vector<Offset> tensors = {
      DataTensor(b, *kTensors, node.at(*kTensors))...};
  std::reverse(tensors.begin(), tensors.end());
  const Offset params = WriteParams(b, tensors);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "x")});
  return generate_layer(b, node, type, h.name, h.shape, inputs, params);
}

constexpr const char* kAlpha = "alpha";
constexpr const char* kBeta = "beta";
constexpr const char* kHard = "hard";

}  // namespace

void RegisterUnaryOps(OpTable& table) {
  using snxf::Op;
  const AttrSpec x = Required("x", AttrKind::kNode, "the input");
  const struct {
    const char* op;
    Op type;
  } rows[] = {
      {"abs", Op::abs},         {"cos", Op::none},        {"sin", Op::none},
      {"exp", Op::exp},         {"log", Op::log},         {"neg", Op::none},
      {"sqrt", Op::sqrt},       {"relu", Op::relu},       {"relu6", Op::relu6},
      {"sigmoid", Op::sigmoid}, {"tanh", Op::tanh},       {"elu", Op::none},
      {"quant", Op::quant},     {"dequant", Op::dequant},
  };
  for (const auto& r : rows) {
    table.add({r.op, r.type, "unary", {x}, "[x]", "none", OneInput});
  }
  table.add({"sqr",
             Op::multiply,
             "unary",
             {x},
             "[x, x]: a square is the product of the input with itself",
             "none",
             Square});
  table.add({"rsqrt",
             Op::rsqrt,
             "unary",
             {x, Optional("epsilon", AttrKind::kReal,
                          "added before the root (default 0.0)")},
             "[x]",
             "[epsilon: float32 data]",
             ReciprocalRoot});
  // Swish writes hard, then beta, and reads [beta, hard].
  table.add({"leaky_relu",
             Op::leaky_relu,
             "unary",
             {x, Required("alpha", AttrKind::kValue,
                          "the slope of the negative part")},
             "[x]",
             "[alpha: data]",
             Activation<&kAlpha>});
  table.add({"swish",
             Op::swish,
             "unary",
             {x, Required("hard", AttrKind::kValue, "the swish setting hard"),
              Required("beta", AttrKind::kValue, "the swish setting beta")},
             "[x]",
             "[beta: data, hard: data]",
             Activation<&kHard, &kBeta>});
}

}  // namespace sarnic
