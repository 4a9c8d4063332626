// Pooling: the window and strides as data-less tensors, the kind of pooling
// as the text of the "pooling" tensor.
#include "ops/op_table.h"
#include "ops/protocol.h"
#include "sarnic/errors.h"
#include "sarnic/schema.h"

namespace sarnic {

using ops::DataTensor;
using ops::InputOf;
using ops::LayerHead;
using ops::ShapeTensor;
using ops::WriteHead;

namespace {

// Average pooling wraps a window or stride shorter or longer than the
// output rank in a leading and a trailing 1; max pooling writes it as given.
Shape PoolSetting(const AttrDict& node, const char* attr, bool wrap) {
  Shape s = IntListAttr(node, attr);
  if (wrap && s.size() != ops::SequenceLength(node, "output_shape")) {
    s.insert(s.begin(), 1);
    s.push_back(1);
  }
  return s;
}

Offset Pool(BetterBuilder& b, const LayerIndex& layers, const std::string& name,
            AttrDict& node, const std::optional<std::string>& alt_name,
            bool average) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset size =
      ShapeTensor(b, "ksize", PoolSetting(node, "size", average));
  const Offset stride =
      ShapeTensor(b, "strides", PoolSetting(node, "stride", average));
  const Offset pool_type =
      DataTensor(b, "pooling", Value(average ? "AVERAGE" : "MAXIMUM"));
  std::vector<Offset> params = {pool_type, stride, size};
  ops::AddPads(b, node, params);
  const Offset layer_params = WriteParams(b, params);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "input")});
  return generate_layer(b, node, snxf::Op::pool2d, h.name, h.shape, inputs,
                        layer_params);
}

Offset export_avg_pool(BetterBuilder& b, Graph& /*graph*/,
                       const LayerIndex& layers, const std::string& node_name,
                       AttrDict& node,
                       const std::optional<std::string>& alt_name) {
  return Pool(b, layers, node_name, node, alt_name, true);
}

Offset export_max_pool(BetterBuilder& b, Graph& /*graph*/,
                       const LayerIndex& layers, const std::string& node_name,
                       AttrDict& node,
                       const std::optional<std::string>& alt_name) {
  return Pool(b, layers, node_name, node, alt_name, false);
}

}  // namespace

void RegisterPoolingOps(OpTable& table) {
  const std::vector<AttrSpec> attrs = {
      Required("input", AttrKind::kNode, "the input"),
      Required("size", AttrKind::kIntList, "the pooling window"),
      Required("stride", AttrKind::kIntList, "the strides"), ops::HeadAttr(),
      ops::TailAttr()};
  const char* params =
      "[pooling, strides, ksize] and, with pads, [..., tail, head]";
  table.add({"avg_pool", "pool2d", "pooling", attrs, "[input]",
             std::string(params) +
                 "; a window or stride with fewer entries than the output "
                 "has dimensions is written as [1, ..., 1]",
             export_avg_pool});
  table.add({"max_pool", "pool2d", "pooling", attrs, "[input]", params,
             export_max_pool});
}

}  // namespace sarnic
