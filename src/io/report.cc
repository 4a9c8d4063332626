// The summary of a model, as JSON and as text, and the HTML report.
#include <functional>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "sarnic/analysis.h"

namespace sarnic {

using Json = nlohmann::ordered_json;

namespace {

// The summary without its layers and its peak: small whatever the model.
Json SummaryHead(const ModelFacts& f) {
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
  return j;
}

Json LayerJson(const LayerFacts& l) {
  return {{"index", l.index},
          {"name", std::string(l.name)},
          {"type", l.type},
          {"shape", std::vector<int32_t>(l.shape.begin(), l.shape.end())},
          {"inputs", std::vector<uint32_t>(l.inputs.begin(), l.inputs.end())},
          {"bytes", l.bytes},
          {"blocks", l.blocks},
          {"block", l.block ? Json(*l.block) : Json(nullptr)},
          {"live", {l.first, l.last}},
          {"param_bytes", l.param_bytes},
          {"attributes", l.attributes}};
}

Json PeakJson(const ModelFacts& f) {
  if (!f.peak_step) return nullptr;
  return {{"step", *f.peak_step},
          {"layers", f.peak_layers},
          {"blocks", f.peak_blocks},
          {"bytes", f.peak_blocks * f.block_size}};
}

std::string Dump(const Json& j, int indent) {
  return j.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// `text` with every line but the first indented by `indent` spaces.
std::string Indent(const std::string& text, std::size_t indent) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '\n') out.append(indent, ' ');
  }
  return out;
}

}  // namespace

Json SummaryJson(const ModelFacts& f, bool per_layer) {
  Json j = SummaryHead(f);
  if (per_layer) {
    Json layers = Json::array();
    for (const LayerFacts& l : f.layers) layers.push_back(LayerJson(l));
    j["layers"] = layers;
  }
  j["peak"] = PeakJson(f);
  return j;
}

void WriteSummaryJson(std::ostream& out, const ModelFacts& f, int indent,
                      const std::function<std::string(std::string)>& filter) {
  // The head's closing brace gives way to the layers and the peak, written
  // one layer at a time: the document as SummaryJson(f).dump(indent).
  const bool pretty = indent >= 0;
  const std::string nl = pretty ? "\n" : "";
  const std::string pad = pretty ? std::string(indent, ' ') : "";
  const std::string colon = pretty ? ": " : ":";
  std::string head = Dump(SummaryHead(f), indent);
  head.erase(head.size() - (pretty ? 2 : 1));  // "\n}" or "}"
  out << filter(head) << "," << nl << pad << "\"layers\"" << colon << "[";
  for (std::size_t i = 0; i < f.layers.size(); ++i) {
    out << (i ? "," : "") << nl << pad << pad
        << filter(pretty ? Indent(Dump(LayerJson(f.layers[i]), indent),
                                  2 * static_cast<std::size_t>(indent))
                         : Dump(LayerJson(f.layers[i]), indent));
  }
  out << (f.layers.empty() ? "" : nl + pad) << "]," << nl << pad << "\"peak\""
      << colon
      << filter(pretty ? Indent(Dump(PeakJson(f), indent),
                                static_cast<std::size_t>(indent))
                       : Dump(PeakJson(f), indent))
      << nl << "}";
}

std::string SummaryText(const ModelFacts& f) {
  std::ostringstream o;
  WriteSummaryText(o, f);
  return o.str();
}

std::string DeviceMemoryText(const ModelFacts& f) {
  std::ostringstream o;
  o << std::fixed << std::setprecision(1);
  auto kib = [](uint64_t bytes) { return static_cast<double>(bytes) / 1024; };
  const DeviceMemory d = DeviceMemoryOf(f);
  o << "flash " << kib(d.flash) << " KiB (model), ";
  if (f.block_size == 0) {
    o << "RAM " << kib(d.ram)
      << " KiB with no plan (every output in a buffer of its own)";
    return o.str();
  }
  const uint64_t blocks = f.reserved_blocks + f.planned_blocks;
  o << "RAM " << kib(d.ram) << " KiB (arena: " << blocks << " blocks of "
    << f.block_size << " bytes, " << f.reserved_blocks << " reserved";
  if (d.outside_arena > 0) {
    o << "; " << d.outside_arena << " bytes of inputs and outputs outside it";
  }
  o << ")";
  if (f.peak_blocks > 0) {
    const double above = 100.0 *
                         (static_cast<double>(f.planned_blocks) -
                          static_cast<double>(f.peak_blocks)) /
                         static_cast<double>(f.peak_blocks);
    o << ", " << above << "% above the lower bound of " << f.peak_blocks
      << " blocks";
  }
  return o.str();
}

void WriteSummaryText(std::ostream& o, const ModelFacts& f) {
  o << "summary:\n"
    << "  device:      " << DeviceMemoryText(f) << "\n"
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
