// Element-wise operations on two or more inputs.
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

// Name, shape, the inputs [x, second] in that order, and the common layer
// record. The first input is the left-hand operand.
template <const char* const* kSecond>
Offset TwoInputs(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
                 const std::string& name, AttrDict& node,
                 const std::optional<std::string>& alt_name, snxf::Op type) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset inputs = WriteInputs(b, InputsOf(layers, node, {"x", *kSecond}));
  return generate_layer(b, node, type, h.name, h.shape, inputs);
}

constexpr const char* kY = "y";
constexpr const char* kScales = "scales";

Offset export_add_n(BetterBuilder& b, Graph& /*graph*/,
                    const LayerIndex& layers, const std::string& node_name,
                    AttrDict& node, const std::optional<std::string>& alt_name,
                    snxf::Op type) {
  // The n-ary sum has no layer type of its own: it is written as `none`.
  const LayerHead h = WriteHead(b, node_name, node, alt_name);
  const Offset inputs = WriteInputs(b, ops::ValuesOf(layers, node));
  return generate_layer(b, node, type, h.name, h.shape, inputs);
}

}  // namespace

void RegisterBinaryOps(OpTable& table) {
  using snxf::Op;
  const AttrSpec x = Required("x", AttrKind::kNode, "the first operand");
  const AttrSpec y = Required("y", AttrKind::kNode, "the second operand");
  const struct {
    const char* op;
    Op type;
  } rows[] = {
      {"add", Op::add},    {"sub", Op::subtract}, {"mul", Op::multiply},
      {"div", Op::divide}, {"pow", Op::pow},
  };
  for (const auto& r : rows) {
    table.add(
        {r.op, r.type, "binary", {x, y}, "[x, y]", "none", TwoInputs<&kY>});
  }
  table.add({"prelu",
             Op::prelu,
             "binary",
             {x, Required("scales", AttrKind::kNode,
                          "the slopes of the negative part")},
             "[x, scales]",
             "none",
             TwoInputs<&kScales>});
  table.add(
      {"add_n",
       Op::none,
       "binary",
       {Required("values", AttrKind::kNodeList, "the summands, in order")},
       "one entry per name of values, in order",
       "none",
       export_add_n});
}

}  // namespace sarnic
