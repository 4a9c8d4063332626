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

template <bool kAverage>
Offset Pool(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
            const std::string& name, AttrDict& node,
            const std::optional<std::string>& alt_name, snxf::Op type) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset size =
      ShapeTensor(b, "ksize", PoolSetting(node, "size", kAverage));
  const Offset stride =
      ShapeTensor(b, "strides", PoolSetting(node, "stride", kAverage));
  const Offset pool_type =
      DataTensor(b, "pooling", Value(kAverage ? "AVERAGE" : "MAXIMUM"));
  std::vector<Offset> params = {pool_type, stride, size};
  ops::AddPads(b, node, params);
  const Offset layer_params = WriteParams(b, params);
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "input")});
  return generate_layer(b, node, type, h.name, h.shape, inputs, layer_params);
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
  table.add({"avg_pool", snxf::Op::pool2d, "pooling", attrs, "[input]",
             std::string(params) +
                 "; a window or stride with fewer entries than the output "
                 "has dimensions is written as [1, ..., 1]",
             Pool<true>});
  table.add({"max_pool", snxf::Op::pool2d, "pooling", attrs, "[input]", params,
             Pool<false>});
}

}  // namespace sarnic
