// The summary of a model, as JSON and as text, and the HTML report.
#include <sstream>

#include "sarnic/analysis.h"

namespace sarnic {

using Json = nlohmann::ordered_json;

Json SummaryJson(const ModelFacts& f, bool per_layer) {
  Json j = Json::object();
  j["format"] = "snx-summary";
  j["version"] = 1;
  j["model"] = f.name;
  j["file_bytes"] = f.file_bytes;
  Json params = Json::object();
  for (const auto& [kind, t] : f.params) {
    params[kind] = {
        {"tensors", t.tensors}, {"elements", t.elements}, {"bytes", t.bytes}};
  }
  j["params"] = params;
  const uint64_t blocks = f.reserved_blocks + f.planned_blocks;
  j["arena"] = {{"block_size", f.block_size},
                {"reserved_blocks", f.reserved_blocks},
                {"planned_blocks", f.planned_blocks},
                {"blocks", blocks},
                {"bytes", blocks * f.block_size}};
  j["layer_types"] = f.layer_types;
  if (per_layer) {
    Json layers = Json::array();
    for (const LayerFacts& l : f.layers) {
      layers.push_back(
          {{"index", l.index},
           {"name", std::string(l.name)},
           {"type", l.type},
           {"shape", std::vector<int32_t>(l.shape.begin(), l.shape.end())},
           {"inputs", std::vector<uint32_t>(l.inputs.begin(), l.inputs.end())},
           {"bytes", l.bytes},
           {"blocks", l.blocks},
           {"block", l.block ? Json(*l.block) : Json(nullptr)},
           {"live", {l.first, l.last}}});
    }
    j["layers"] = layers;
  }
  if (f.peak_step) {
    j["peak"] = {{"step", *f.peak_step},
                 {"layers", f.peak_layers},
                 {"blocks", f.peak_blocks},
                 {"bytes", f.peak_blocks * f.block_size}};
  } else {
    j["peak"] = nullptr;
  }
  return j;
}

std::string SummaryText(const ModelFacts& f) {
  std::ostringstream o;
  WriteSummaryText(o, f);
  return o.str();
}

void WriteSummaryText(std::ostream& o, const ModelFacts& f) {
  o << "summary:\n"
    << "  file:        " << f.file_bytes << " bytes\n";
  for (const auto& [kind, t] : f.params) {
    o << "  parameters:  " << kind << "  " << t.tensors << " tensors, "
      << t.elements << " elements, " << t.bytes << " bytes\n";
  }
  const uint64_t blocks = f.reserved_blocks + f.planned_blocks;
  if (f.block_size == 0) {
    o << "  arena:       no plan\n";
  } else {
    o << "  arena:       " << f.reserved_blocks << " reserved + "
      << f.planned_blocks << " planned = " << blocks << " blocks, "
      << blocks * f.block_size << " bytes\n";
  }
  o << "  layer types:";
  for (const auto& [type, count] : f.layer_types)
    o << " " << type << " " << count;
  o << "\n";
  if (f.peak_step) {
    o << "  peak:        step " << *f.peak_step << ", " << f.peak_blocks
      << " blocks (" << f.peak_blocks * f.block_size << " bytes) in "
      << f.peak_layers.size() << " layers:";
    for (uint32_t i : f.peak_layers) o << " " << i;
    o << "\n";
  }
  o << "  outputs:     index  bytes  blocks  live\n";
  for (const LayerFacts& l : f.layers) {
    o << "    " << l.index << "  " << l.bytes << "  " << l.blocks << "  "
      << l.first << "-" << l.last << (l.block ? "" : "  (not planned)") << "\n";
  }
}

}  // namespace sarnic
