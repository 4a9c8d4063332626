// Copy layers: the output of a source layer stored into a target that
// becomes a zero-initialised variable kept intact for the whole run.
#include <algorithm>
#include <string>

#include "sarnic/errors.h"
#include "sarnic/exporter.h"
#include "sarnic/schema.h"
#include "serialize/layer_parts.h"

namespace sarnic {

void SarnicExporter::add_copy() {
  DiGraph& g = graph.qm_nx_graph;
  for (std::size_t i = 0; i < copy_layers->size(); ++i) {
    const CopyPair& pair = (*copy_layers)[i];
    if (pair.size() < 2) {
      throw IndexError("copy_layers entry " + std::to_string(i) + " has " +
                       std::to_string(pair.size()) +
                       " name(s); a copy needs a source and a target");
    }
    const std::string& source = pair[0];
    const std::string& target = pair[1];
    if (!g.has_node(source)) {
      out() << "Unable to add copy for " << source
            << ", it does not exist in the graph\n";
      continue;
    }
    if (!g.has_node(target)) {
      out() << "Unable to add copy for " << target
            << ", it does not exist in the graph\n";
      continue;
    }
    AttrDict& target_node = g.node(target);
    const Value* target_op = target_node.find("op");
    if (target_op == nullptr ||
        !(*target_op == Value("constant") || *target_op == Value("external"))) {
      out() << "Unable to add copy for " << target
            << ", target is not a constant or external\n";
      continue;
    }
    const AttrDict& source_node = g.node(source);
    if (!(source_node.at("output_shape") == target_node.at("output_shape"))) {
      out() << "Unable to add copy for " << source << ", shape mistmatch\n";
      continue;
    }
    // A second copy of the same source would take the first one's node
    // name and silently replace it.
    const std::string copy_name = "sx_" + source + "_copy";
    if (g.has_node(copy_name)) {
      out() << "Unable to add copy for " << source
            << ", a copy of it already exists\n";
      continue;
    }
    const Value shape = target_node.at("output_shape");
    target_node.set("op", Value("variable"));
    graph.tensor_dict.set(
        target,
        NdArray::Zeros(DType::kFloat32,
                       IntList(shape, AttrPlace(target_node, "output_shape"))));
    if (std::find(save_layers->begin(), save_layers->end(), target) ==
        save_layers->end()) {
      save_layers->push_back(target);
    }
    AttrDict& copy = g.add_node(copy_name);
    copy.set("op", Value("copy"));
    copy.set("input", Value(source));
    copy.set("target", Value(target));
    copy.set("output_shape", shape);
    g.add_edge(source, copy_name);
  }
}

Offset SarnicExporter::export_copy(BetterBuilder& builder, Graph& /*graph*/,
                                   const LayerIndex& layers,
                                   const std::string& node_name, AttrDict& node,
                                   const std::optional<std::string>& alt_name) {
  const Offset layer_name = WriteLayerName(builder, node_name, alt_name);
  const Offset layer_shape = WriteOutputShape(builder, node);
  const uint32_t x = layers.at(node.at("input").str());
  const uint32_t t = layers.at(node.at("target").str());
  const Offset layer_inputs = WriteInputs(builder, {t, x});
  std::optional<uint32_t> block;
  if (node.contains("block")) block = BlockOf(node);
  snxf::LayerStart(builder);
  snxf::LayerAddType(builder, snxf::Op::copy);
  snxf::LayerAddName(builder, layer_name);
  snxf::LayerAddShape(builder, layer_shape);
  snxf::LayerAddInputs(builder, layer_inputs);
  if (block) snxf::LayerAddBlock(builder, *block);
  return snxf::LayerEnd(builder);
}

}  // namespace sarnic
