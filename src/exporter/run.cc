// The export pipeline: optimise, copies, validation, the arena plan, the
// names, the layers in topological order, the SVM head, then the model
// table around them.
#include <map>
#include <ostream>
#include <string>

#include "data/data_layers.h"
#include "picture/picture.h"
#include "planner/memory_map.h"
#include "sarnic/engine.h"
#include "sarnic/errors.h"
#include "sarnic/exporter.h"
#include "sarnic/schema.h"
#include "svm/svm.h"

namespace sarnic {

namespace {

constexpr uint32_t kBlockSize = 1024;

// Lower bounds of what a model takes besides its tensor data: the model
// table with its creator string and resources, and per layer that carries
// data its table, name, shape and parameter vectors and tensor table (a
// small model measures about 200 bytes and 85 per such layer).
constexpr uint64_t kModelMinBytes = 128;
constexpr uint64_t kDataLayerMinBytes = 48;

// The byte size the model will need: the tensor data it copies plus room
// for the tables around it. A model that cannot fit the format's limit is
// refused here, before anything is reserved or built.
std::size_t EstimateModelBytes(const SarnicExporter& e,
                               const std::optional<SvmHead>& svm) {
  uint64_t data = 0;
  uint64_t least = kModelMinBytes + e.name.size();
  const DiGraph& g = e.graph.qm_nx_graph;
  for (uint32_t i = 0; i < g.number_of_nodes(); ++i) {
    const Value* op = g.attrs_of(i).find("op");
    if (op == nullptr || !op->is_text()) continue;
    if (op->as_text() != "constant" && op->as_text() != "variable") continue;
    const NdArray* a = e.graph.tensor_dict.find(g.name_of(i));
    if (a == nullptr) continue;
    data += ModelDataBytes(op->as_text(), a->dtype(), a->nbytes());
    least += kDataLayerMinBytes + g.name_of(i).size();
  }
  if (e.options.ext_constants) {
    for (const auto& [k, a] : *e.options.ext_constants) {
      data += static_cast<uint64_t>(a.size()) * 4;
      least += kDataLayerMinBytes + k.size();
    }
  }
  if (svm) {
    data += svm->data_bytes();
    least += kDataLayerMinBytes * svm->params.size();
  }
  CheckModelDataBytes(data);
  if (data + least > kMaxModelBytes) {
    throw ValueError("Model exceeds the 2 GiB limit of the format:",
                     std::to_string(data + least) + " bytes at the least, " +
                         std::to_string(data) + " of them tensor data");
  }
  const uint64_t tables =
      4096 + 512 * static_cast<uint64_t>(g.number_of_nodes());
  return static_cast<std::size_t>(
      std::min<uint64_t>(data + tables, kMaxModelBytes));
}

// Writes a vector of table or string offsets that reads in the given order.
Offset OffsetVector(BetterBuilder& b,
                    void (*start)(BetterBuilder&, std::size_t),
                    const std::vector<Offset>& items) {
  start(b, items.size());
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    b.PrependUOffsetTRelative(*it);
  }
  return b.EndVector(items.size());
}

Offset IndexVector(BetterBuilder& b, void (*start)(BetterBuilder&, std::size_t),
                   const LayerIndex& layers_map,
                   const std::vector<std::string>& names) {
  start(b, names.size());
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    b.PrependUint32(layers_map.at(*it));
  }
  return b.EndVector(names.size());
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += "\n";
    out += names[i];
  }
  return out;
}

// Accepts the alternative names of one side (inputs or outputs) or falls
// back to the graph's own names, printing why.
void ResolveNames(SarnicExporter& e,
                  std::optional<std::vector<std::string>>& names,
                  const std::vector<std::string>& orig, const std::string& side,
                  std::map<std::string, std::string>& rename_map) {
  if (!names.has_value() || names->empty()) {
    names = orig;
    return;
  }
  bool accepted = true;
  if (names->size() != orig.size()) {
    e.out() << "Number of alternative " << side << " names does not match "
            << "number of " << side << " nodes in model. Using default.\n";
    accepted = false;
  }
  for (const std::string& n : *names) {
    if (e.graph.qm_nx_graph.has_node(n)) {
      e.out() << "Alternative " << side << " name " << n
              << " already exists in the model. Using default.\n";
      accepted = false;
      break;
    }
  }
  if (!accepted) {
    names = orig;
    return;
  }
  for (std::size_t i = 0; i < orig.size(); ++i) {
    rename_map[orig[i]] = (*names)[i];
  }
}

// Plans the arena, stores the blocks in the nodes and draws the plan when
// asked; the plan's block count.
uint32_t PlanArena(SarnicExporter& e) {
  MemoryMapOptions m;
  m.block_size = kBlockSize;
  m.opt_map = e.options.opt_map;
  m.try_best = e.options.planner == "best";
  m.save_layers = *e.options.save_layers;
  const MemoryPlan plan =
      memory_map(e.graph.qm_nx_graph, e.graph.orig_outputs, m, e.out());
  for (const auto& [node, block] : plan.node_blocks) {
    e.graph.qm_nx_graph.attrs_of(node).set("block", Value(block));
  }
  if (e.options.save_map) {
    SaveMemoryMapPicture(*e.options.save_map, plan, e.out());
  }
  return plan.block_count;
}

// The constants given outside the graph become the first layers.
void ExportExternalConstants(SarnicExporter& e, BetterBuilder& builder,
                             LayerList& layers) {
  if (!e.options.ext_constants) return;
  for (const auto& [const_name, array] : *e.options.ext_constants) {
    if (e.graph.qm_nx_graph.has_node(const_name)) {
      e.out() << "WARNING: Unable to add " << const_name
              << " to SNX, name already in use.\n";
      continue;
    }
    layers.append(const_name,
                  export_external_constant(builder, const_name, array));
  }
}

// The attribute of `node` that names `input` (a text, or an item of a
// list), or an empty text.
std::string AttributeNaming(const AttrDict& node, const std::string& input) {
  for (const auto& [k, v] : node) {
    if (v.is_text() && v.as_text() == input) return k;
    if (v.is_list()) {
      for (const Value& item : v.as_list()) {
        if (item.is_text() && item.as_text() == input) return k;
      }
    }
  }
  return "";
}

// The missing layer `e` of node `name`'s input, with the consuming node, its
// attribute and why the input has no layer.
MissingLayerError MissingInput(const SarnicExporter& e, const std::string& name,
                               const AttrDict& node,
                               const MissingLayerError& error) {
  const std::string& input = error.key();
  const DiGraph& g = e.graph.qm_nx_graph;
  std::string why;
  if (!g.has_node(input)) {
    why = "there is no node '" + input + "'";
  } else if (const Value* op = g.node(input).find("op");
             op == nullptr || !op->is_text() ||
             e.export_op(op->as_text()) == nullptr) {
    why = "its op " + (op ? op->repr() : std::string("(none)")) +
          " has no exporter";
  } else {
    why = "it is not exported yet: the graph has no edge from '" + input +
          "' to '" + name + "' to put it first";
  }
  const std::string attr = AttributeNaming(node, input);
  return MissingLayerError(
      input, "node '" + name + "'" +
                 (attr.empty() ? "" : " attribute '" + attr + "'") +
                 ": no layer for '" + input + "': " + why);
}

// One layer per node, in topological order, each written by the exporter
// of its op; a plug-in's result is checked to be a layer it finished.
void ExportNodes(SarnicExporter& e, BetterBuilder& builder, LayerList& layers,
                 const std::map<std::string, std::string>& rename_map) {
  DiGraph& g = e.graph.qm_nx_graph;
  for (uint32_t idx : g.topological_order()) {
    const std::string& node_name = g.name_of(idx);
    AttrDict& node = g.attrs_of(idx);
    const Value& op_value = node.at("op");
    if (!op_value.is_text()) {
      throw TypeError("node '" + node_name + "' attribute 'op' must be a " +
                      "text, not " + op_value.repr());
    }
    const std::string& op = op_value.as_text();
    std::optional<std::string> alt_name;
    if (auto it = rename_map.find(node_name); it != rename_map.end()) {
      alt_name = it->second;
    }
    const UserExporter* plugin = nullptr;
    const OpFunction* fn = e.export_op(op, &plugin);
    if (fn == nullptr) {
      e.out() << "WARNING: unsupported op " << op << "\n";
      continue;
    }
    Offset layer = 0;
    try {
      layer =
          (*fn)(builder, e.graph, layers.index(), node_name, node, alt_name);
    } catch (const MissingLayerError& error) {
      throw MissingInput(e, node_name, node, error);
    }
    if (plugin != nullptr && !builder.IsFinishedLayer(layer)) {
      throw PluginResultError(plugin->name(), op, node_name,
                              std::to_string(layer));
    }
    layers.append(node_name, layer);
  }
}

// A resource holding a text.
Offset TextResource(BetterBuilder& b, const std::string& resource_name,
                    const std::string& text) {
  const Offset text_str = b.CreateString(text);
  const Offset meta = b.CreateString(resource_name);
  snxf::ResourceStart(b);
  snxf::ResourceAddName(b, meta);
  snxf::ResourceAddMeta(b, text_str);
  return snxf::ResourceEnd(b);
}

// The resources in read order: one alias per renamed output (last first),
// the normalization text, the output names.
Offset WriteMeta(SarnicExporter& e, BetterBuilder& builder,
                 const LayerIndex& layers_map, bool renamed) {
  const Offset model_outputs =
      TextResource(builder, "outputs", Joined(*e.options.output_names));
  const Offset model_normalization =
      TextResource(builder, "image_normalization", e.options.normalization);
  std::vector<Offset> aliases;
  if (renamed) {
    for (const std::string& orig_name : e.graph.orig_outputs) {
      const Offset alias_name = builder.CreateString("alias_" + orig_name);
      const uint32_t alias_idx = layers_map.at(orig_name);
      snxf::ResourceStartDataVector(builder, 4);
      for (int byte = 3; byte >= 0; --byte) {
        builder.PrependUint8(static_cast<uint8_t>(alias_idx >> (8 * byte)));
      }
      const Offset idx = builder.EndVector(4);
      snxf::ResourceStart(builder);
      snxf::ResourceAddName(builder, alias_name);
      snxf::ResourceAddData(builder, idx);
      aliases.push_back(snxf::ResourceEnd(builder));
    }
  }
  std::vector<Offset> meta(aliases.rbegin(), aliases.rend());
  meta.push_back(model_normalization);
  meta.push_back(model_outputs);
  return OffsetVector(builder, snxf::ModelStartMetaVector, meta);
}

// The Model table around the layers, and the finished buffer.
ModelBuffer FinishModel(SarnicExporter& e, BetterBuilder& builder,
                        const LayerList& layers, bool renamed,
                        uint32_t block_count) {
  const Offset model_layers =
      OffsetVector(builder, snxf::ModelStartLayersVector, layers.offsets());
  const Offset model_name = builder.CreateString(e.name);
  const Offset model_creator =
      builder.CreateString("SarnicEngine " + engine::version() + " for Python");
  Offset labels_vec = 0;
  if (e.options.labels) {
    std::vector<Offset> strings;
    strings.reserve(e.options.labels->size());
    for (const std::string& l : *e.options.labels) {
      strings.push_back(builder.CreateString(l));
    }
    labels_vec = OffsetVector(builder, snxf::ModelStartLabelsVector, strings);
  }
  const Offset meta_vec = WriteMeta(e, builder, layers.index(), renamed);
  const Offset input_layers = IndexVector(builder, snxf::ModelStartInputsVector,
                                          layers.index(), e.graph.orig_inputs);
  const Offset output_layers =
      IndexVector(builder, snxf::ModelStartOutputsVector, layers.index(),
                  e.graph.orig_outputs);

  snxf::ModelStart(builder);
  snxf::ModelAddLayers(builder, model_layers);
  snxf::ModelAddName(builder, model_name);
  snxf::ModelAddCreator(builder, model_creator);
  if (e.options.mem_map) {
    snxf::ModelAddBlockCount(builder, block_count);
    snxf::ModelAddBlockSize(builder, kBlockSize);
  }
  if (e.options.labels) snxf::ModelAddLabels(builder, labels_vec);
  snxf::ModelAddMeta(builder, meta_vec);
  snxf::ModelAddInputs(builder, input_layers);
  snxf::ModelAddOutputs(builder, output_layers);
  const Offset model = snxf::ModelEnd(builder);
  builder.FinishWithFileIdentifierx(model, "SNXF");
  return builder.Release();
}

}  // namespace

ModelBuffer SarnicExporter::run() {
  // The options are checked before the graph is touched: a refused export
  // leaves the caller's graph as it was.
  ValidateOptions(options);
  graph.optimize();
  if (!options.copy_layers->empty()) {
    add_copy(graph, *options.copy_layers, *options.save_layers, out());
  }
  validate_model();
  // The SVM head's folder is read before anything is built, as arrays: its
  // data counts in the builder's reservation.
  const std::optional<SvmHead> svm =
      options.svm ? std::optional<SvmHead>(ReadSvmHead(*options.svm))
                  : std::nullopt;

  BetterBuilder builder(EstimateModelBytes(*this, svm), options.allocator);
  LayerList layers;
  const uint32_t block_count = options.mem_map ? PlanArena(*this) : 0;

  std::map<std::string, std::string> rename_map;
  ResolveNames(*this, options.input_names, graph.orig_inputs, "input",
               rename_map);
  ResolveNames(*this, options.output_names, graph.orig_outputs, "output",
               rename_map);
  ExportExternalConstants(*this, builder, layers);
  ExportNodes(*this, builder, layers, rename_map);
  if (svm) export_svm(builder, layers, *svm);
  return FinishModel(*this, builder, layers, !rename_map.empty(), block_count);
}

}  // namespace sarnic
