// Reductions over axes: the axes in ascending order and a keep-dimensions
// flag that is always 0 (whether dimensions remain shows in the shape).
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

// Sorts the node's own `axes` list ascending, in place: whoever reads the
// node afterwards sees the sorted list.
Shape SortAxesInPlace(AttrDict& node) {
  Value& axes = node.at("axes");
  const std::string place = AttrPlace(node, "axes");
  if (!axes.is_list()) {
    throw ValueError("Expected a sequence of integers:",
                     axes.repr() + " (" + place + ")");
  }
  List& items = axes.as_list();
  for (const Value& v : items) {
    if (!v.is_integer()) {
      throw ValueError("Expected a sequence of integers:",
                       axes.repr() + " (" + place + ")");
    }
  }
  std::stable_sort(
      items.begin(), items.end(),
      [](const Value& a, const Value& b) { return a.as_int() < b.as_int(); });
  return IntList(axes, place);
}

Offset Reduce(BetterBuilder& b, Graph& /*graph*/, const LayerIndex& layers,
              const std::string& name, AttrDict& node,
              const std::optional<std::string>& alt_name, snxf::Op type) {
  const LayerHead h = WriteHead(b, name, node, alt_name);
  const Offset axes = ShapeTensor(b, "axes", SortAxesInPlace(node));
  const Offset keep_dims = DataTensor(b, "keep_dims", Value(0));
  const Offset params = WriteParams(b, {keep_dims, axes});
  const Offset inputs = WriteInputs(b, {InputOf(layers, node, "input")});
  return generate_layer(b, node, type, h.name, h.shape, inputs, params);
}

}  // namespace

void RegisterReductionOps(OpTable& table) {
  const std::vector<AttrSpec> attrs = {
      Required("input", AttrKind::kNode, "the input"),
      Required("axes", AttrKind::kIntList,
               "the axes reduced (they do not stay as dimensions); sorted "
               "in place by the export")};
  using snxf::Op;
  const struct {
    const char* op;
    Op type;
  } rows[] = {
      {"sum_reduce", Op::reduce_sum},      {"mean_reduce", Op::reduce_mean},
      {"max_reduce", Op::reduce_max},      {"min_reduce", Op::reduce_min},
      {"prod_reduce", Op::reduce_product},
  };
  for (const auto& r : rows) {
    table.add(
        {r.op, r.type, "reduction", attrs, "[input]",
         "[keep_dims: int16 data 0, axes: data-less, shape = the sorted axes]",
         Reduce});
  }
}

}  // namespace sarnic
