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
  const AttrSpec x = Required("x", AttrKind::kNode, "the first operand");
  const AttrSpec y = Required("y", AttrKind::kNode, "the second operand");
  const struct {
    const char* op;
    const char* layer_type;
    OpFunction fn;
  } rows[] = {
      {"add", "add", export_add},      {"sub", "subtract", export_sub},
      {"mul", "multiply", export_mul}, {"div", "divide", export_div},
      {"pow", "pow", export_pow},
  };
  for (const auto& r : rows) {
    table.add({r.op, r.layer_type, "binary", {x, y}, "[x, y]", "none", r.fn});
  }
  table.add({"prelu",
             "prelu",
             "binary",
             {x, Required("scales", AttrKind::kNode,
                          "the slopes of the negative part")},
             "[x, scales]",
             "none",
             export_prelu});
  table.add(
      {"add_n",
       "none",
       "binary",
       {Required("values", AttrKind::kNodeList, "the summands, in order")},
       "one entry per name of values, in order",
       "none",
       export_add_n});
  table.add({"leaky_relu",
             "leaky_relu",
             "binary",
             {x, Required("alpha", AttrKind::kValue,
                          "the slope of the negative part")},
             "[x]",
             "[alpha: data]",
             export_leaky_relu});
  table.add({"swish",
             "swish",
             "binary",
             {x, Required("hard", AttrKind::kValue, "the swish setting hard"),
              Required("beta", AttrKind::kValue, "the swish setting beta")},
             "[x]",
             "[beta: data, hard: data]",
             export_swish});
}

}  // namespace sarnic
