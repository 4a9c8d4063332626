// Copy layers: the output of a source layer stored into a target that
// becomes a zero-initialised variable kept intact for the whole run.
#include <algorithm>
#include <ostream>
#include <string>

#include "data/data_layers.h"
#include "sarnic/errors.h"
#include "sarnic/schema.h"
#include "serialize/layer_parts.h"

namespace sarnic {

namespace {

// Why the copy of `source` into `target` cannot be made (the message
// line), or an empty text when it can.
std::string CopyRefusal(const DiGraph& g, const std::string& source,
                        const std::string& target) {
  const std::string unable = "Unable to add copy for ";
  if (!g.has_node(source)) {
    return unable + source + ", it does not exist in the graph";
  }
  if (!g.has_node(target)) {
    return unable + target + ", it does not exist in the graph";
  }
  const AttrDict& target_node = g.node(target);
  const Value* target_op = target_node.find("op");
  if (target_op == nullptr ||
      !(*target_op == Value("constant") || *target_op == Value("external"))) {
    return unable + target + ", target is not a constant or external";
  }
  if (!(g.node(source).at("output_shape") == target_node.at("output_shape"))) {
    return unable + source + ", shape mistmatch";
  }
  // A second copy of the same source would take the first one's node name
  // and silently replace it.
  if (g.has_node("sx_" + source + "_copy")) {
    return unable + source + ", a copy of it already exists";
  }
  return "";
}

}  // namespace

void add_copy(Graph& graph, const std::vector<std::vector<std::string>>& copies,
              std::vector<std::string>& save_layers, std::ostream& out) {
  DiGraph& g = graph.qm_nx_graph;
  for (std::size_t i = 0; i < copies.size(); ++i) {
    const std::vector<std::string>& pair = copies[i];
    if (pair.size() < 2) {
      throw IndexError("copy_layers entry " + std::to_string(i) + " has " +
                       std::to_string(pair.size()) +
                       " name(s); a copy needs a source and a target");
    }
    const std::string& source = pair[0];
    const std::string& target = pair[1];
    if (const std::string refusal = CopyRefusal(g, source, target);
        !refusal.empty()) {
      out << refusal << "\n";
      continue;
    }
    AttrDict& target_node = g.node(target);
    const Value shape = target_node.at("output_shape");
    target_node.set("op", Value("variable"));
    graph.tensor_dict.set(
        target,
        NdArray::Zeros(DType::kFloat32,
                       IntList(shape, AttrPlace(target_node, "output_shape"))));
    if (std::find(save_layers.begin(), save_layers.end(), target) ==
        save_layers.end()) {
      save_layers.push_back(target);
    }
    const std::string copy_name = "sx_" + source + "_copy";
    AttrDict& copy = g.add_node(copy_name);
    copy.set("op", Value("copy"));
    copy.set("input", Value(source));
    copy.set("target", Value(target));
    copy.set("output_shape", shape);
    g.add_edge(source, copy_name);
  }
}

Offset export_copy(BetterBuilder& builder, Graph& /*graph*/,
                   const LayerIndex& layers, const std::string& node_name,
                   AttrDict& node, const std::optional<std::string>& alt_name) {
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
