// SarnicExporter's configuration and the export pipeline.
#include "sarnic/exporter.h"

#include <iostream>
#include <map>
#include <string>

#include "exporter/op_table.h"
#include "sarnic/engine.h"
#include "sarnic/errors.h"
#include "sarnic/schema.h"

namespace sarnic {

ValueError PluginResultError(const std::string& plugin, const std::string& op,
                             const std::string& node,
                             const std::string& returned) {
  return ValueError("Plug-in did not return a finished layer:",
                    plugin + " export_" + op + " for node '" + node +
                        "' returned " + returned +
                        ", not the offset of a Layer it finished");
}

uint64_t ModelDataBytes(std::string_view op, DType dtype, uint64_t nbytes) {
  if (op == "constant") return dtype == DType::kFloat64 ? nbytes / 2 : nbytes;
  if (op == "variable") return nbytes;
  return 0;
}

void CheckModelDataBytes(uint64_t data_bytes) {
  if (data_bytes > kMaxModelBytes) {
    throw ValueError("Model exceeds the 2 GiB limit of the format:",
                     std::to_string(data_bytes) + " bytes of tensor data");
  }
}

uint32_t LayerIndex::at(const std::string& name) const {
  auto it = map_.find(name);
  if (it == map_.end()) {
    throw KeyError(name, "no layer for '" + name +
                             "': the node has not been exported before its "
                             "use (unsupported op or missing node)");
  }
  return it->second;
}

SarnicExporter::SarnicExporter(Graph& graph_in, std::string name_in,
                               ExportOptions options)
    : graph(graph_in),
      name(std::move(name_in)),
      mem_map(options.mem_map),
      opt_map(options.opt_map),
      save_map(std::move(options.save_map)),
      save_layers(options.save_layers
                      ? options.save_layers
                      : std::make_shared<std::vector<std::string>>()),
      copy_layers(options.copy_layers
                      ? options.copy_layers
                      : std::make_shared<std::vector<CopyPair>>()),
      svm(std::move(options.svm)),
      ext_constants(std::move(options.ext_constants)),
      labels(std::move(options.labels)),
      input_names(std::move(options.input_names)),
      output_names(std::move(options.output_names)),
      normalization(std::move(options.normalization)),
      alternate_input_error_message(
          "The alternate input has a value greater than 32768"),
      planner(std::move(options.planner)),
      diagnostics_(options.diagnostics) {
  // A plug-in sees every option already stored and the user exporters made
  // before it.
  for (const Plugin& plugin : options.user_ops) {
    if (plugin.factory) user_ops.push_back(plugin.factory(*this));
  }
}

std::ostream& SarnicExporter::out() const {
  return diagnostics_ != nullptr ? *diagnostics_ : std::cout;
}

namespace {

// Lower bounds of what a model takes besides its tensor data: the model
// table with its creator string and resources, and per layer that carries
// data its table, name, shape and parameter vectors and tensor table (a
// small model measures about 200 bytes and 85 per such layer).
constexpr uint64_t kModelMinBytes = 128;
constexpr uint64_t kDataLayerMinBytes = 48;

// The byte size the model will need: the tensor data it copies plus room
// for the tables around it. A model that cannot fit the format's limit is
// refused here, before anything is reserved or built.
std::size_t EstimateModelBytes(const SarnicExporter& e) {
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
  if (e.ext_constants) {
    for (const auto& [k, a] : *e.ext_constants) {
      data += static_cast<uint64_t>(a.size()) * 4;
      least += kDataLayerMinBytes + k.size();
    }
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

}  // namespace

// Accepts the alternative names of one side (inputs or outputs) or falls
// back to the graph's own names, printing why.
static void ResolveNames(SarnicExporter& e,
                         std::optional<std::vector<std::string>>& names,
                         const std::vector<std::string>& orig,
                         const std::string& side,
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

ModelBuffer SarnicExporter::run() {
  std::map<std::string, std::string> rename_map;
  graph.optimize();
  if (!copy_layers->empty()) add_copy();
  validate_model();
  if (planner != "spec" && planner != "best") {
    throw ValueError("planner must be \"spec\" or \"best\":",
                     Value(planner).repr());
  }

  BetterBuilder builder(EstimateModelBytes(*this));
  std::vector<Offset> layers;
  LayerIndex layers_map;
  LayerCounter layer_index;
  constexpr uint32_t kBlockSize = 1024;
  uint32_t block_count = 0;
  if (mem_map) {
    block_count = memory_map(graph.qm_nx_graph, kBlockSize, opt_map, save_map,
                             *save_layers);
  }

  ResolveNames(*this, input_names, graph.orig_inputs, "input", rename_map);
  ResolveNames(*this, output_names, graph.orig_outputs, "output", rename_map);

  if (ext_constants) {
    for (const auto& [const_name, array] : *ext_constants) {
      if (graph.qm_nx_graph.has_node(const_name)) {
        out() << "WARNING: Unable to add " << const_name
              << " to SNX, name already in use.\n";
        continue;
      }
      layers.push_back(export_external_constant(builder, const_name, array));
      layers_map.set(const_name, layer_index.next());
    }
  }

  DiGraph& g = graph.qm_nx_graph;
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
    const OpFunction* user = nullptr;
    const UserExporter* plugin = nullptr;
    for (const auto& u : user_ops) {
      if (u && (user = u->find(op)) != nullptr) {
        plugin = u.get();
        break;
      }
    }
    Offset layer;
    if (user != nullptr) {
      layer = (*user)(builder, graph, layers_map, node_name, node, alt_name);
      if (!builder.IsFinishedLayer(layer)) {
        throw PluginResultError(plugin->name(), op, node_name,
                                std::to_string(layer));
      }
    } else if (const BuiltinOp* own = BuiltinOps().find(op)) {
      layer =
          (*own)(*this, builder, graph, layers_map, node_name, node, alt_name);
    } else {
      out() << "WARNING: unsupported op " << op << "\n";
      continue;
    }
    layers.push_back(layer);
    layers_map.set(node_name, layer_index.next());
  }

  if (svm) export_svm(builder, graph, layers_map, layer_index, layers, *svm);

  const Offset model_layers =
      OffsetVector(builder, snxf::ModelStartLayersVector, layers);
  const Offset model_name = builder.CreateString(name);
  const Offset model_creator =
      builder.CreateString("SarnicEngine " + engine::version() + " for Python");
  Offset labels_vec = 0;
  if (labels) {
    std::vector<Offset> strings;
    strings.reserve(labels->size());
    for (const std::string& l : *labels) {
      strings.push_back(builder.CreateString(l));
    }
    labels_vec = OffsetVector(builder, snxf::ModelStartLabelsVector, strings);
  }

  const Offset outputs_str = builder.CreateString(Joined(*output_names));
  const Offset outputs_meta = builder.CreateString("outputs");
  snxf::ResourceStart(builder);
  snxf::ResourceAddName(builder, outputs_meta);
  snxf::ResourceAddMeta(builder, outputs_str);
  const Offset model_outputs = snxf::ResourceEnd(builder);

  const Offset normalization_str = builder.CreateString(normalization);
  const Offset normalization_meta = builder.CreateString("image_normalization");
  snxf::ResourceStart(builder);
  snxf::ResourceAddName(builder, normalization_meta);
  snxf::ResourceAddMeta(builder, normalization_str);
  const Offset model_normalization = snxf::ResourceEnd(builder);

  std::vector<Offset> aliases;
  if (!rename_map.empty()) {
    for (const std::string& orig_name : graph.orig_outputs) {
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

  // Read front to back: last alias ... first alias, normalization, outputs.
  std::vector<Offset> meta(aliases.rbegin(), aliases.rend());
  meta.push_back(model_normalization);
  meta.push_back(model_outputs);
  const Offset meta_vec =
      OffsetVector(builder, snxf::ModelStartMetaVector, meta);
  const Offset input_layers = IndexVector(builder, snxf::ModelStartInputsVector,
                                          layers_map, graph.orig_inputs);
  const Offset output_layers = IndexVector(
      builder, snxf::ModelStartOutputsVector, layers_map, graph.orig_outputs);

  snxf::ModelStart(builder);
  snxf::ModelAddLayers(builder, model_layers);
  snxf::ModelAddName(builder, model_name);
  snxf::ModelAddCreator(builder, model_creator);
  if (mem_map) {
    snxf::ModelAddBlockCount(builder, block_count);
    snxf::ModelAddBlockSize(builder, kBlockSize);
  }
  if (labels) snxf::ModelAddLabels(builder, labels_vec);
  snxf::ModelAddMeta(builder, meta_vec);
  snxf::ModelAddInputs(builder, input_layers);
  snxf::ModelAddOutputs(builder, output_layers);
  const Offset model = snxf::ModelEnd(builder);
  builder.FinishWithFileIdentifierx(model, "SNXF");
  return builder.Release();
}

}  // namespace sarnic
