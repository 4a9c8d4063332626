// The model's description as text for people and as streamed JSON.
#include <cstdio>
#include <ostream>
#include <sstream>

#include "sarnic/analysis.h"
#include "sarnic/model_reader.h"
#include "sarnic/value.h"

namespace sarnic {

using Json = nlohmann::ordered_json;

namespace {

std::string Dumped(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Text(const Json& j) {
  if (j.is_null()) return "-";
  if (j.is_string()) return Printable(j.get<std::string>());
  if (j.is_number_float()) return PythonRealRepr(j.get<double>());
  return Dumped(j);
}

std::string ShapeText(const Json& j) {
  if (j.is_null()) return "-";
  std::string s = "[";
  for (std::size_t i = 0; i < j.size(); ++i) {
    if (i) s += ", ";
    s += Dumped(j[i]);
  }
  return s + "]";
}

// A preview of numbers; the non-finite ones, strings in JSON, read as
// Python prints them: nan, inf, -inf.
std::string NumbersText(const Json& list) {
  std::string s = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) s += ", ";
    const Json& v = list[i];
    if (!v.is_string()) {
      s += Dumped(v);
    } else {
      const std::string& w = v.get_ref<const std::string&>();
      s += w == "NaN" ? "nan" : w == "Infinity" ? "inf" : "-inf";
    }
  }
  return s + "]";
}

std::string Refs(const Json& list) {
  std::string s;
  for (const Json& r : list) {
    if (!s.empty()) s += ", ";
    s += Dumped(r["index"]) + ":" + Text(r["name"]);
  }
  return s.empty() ? "-" : s;
}

void FormatHeader(std::ostream& o, const Json& d) {
  o << "model:       " << Text(d["name"]) << "\n"
    << "creator:     " << Text(d["creator"]) << "\n"
    << "arena:       " << Text(d["block_count"]) << " blocks of "
    << Text(d["block_size"]) << " bytes\n"
    << "inputs:      " << Refs(d["inputs"]) << "\n"
    << "outputs:     " << Refs(d["outputs"]) << "\n";
  if (d["labels"].is_null()) {
    o << "labels:      -\n";
  } else {
    o << "labels:      " << d["labels"].size() << " [";
    for (std::size_t i = 0; i < d["labels"].size(); ++i) {
      o << (i ? ", " : "") << Text(d["labels"][i]);
    }
    o << "]\n";
  }
  for (const Json& r : d["meta"]) {
    o << "resource:    " << Text(r["name"]);
    if (r.contains("meta")) {
      std::string meta = r["meta"].get<std::string>();
      for (char& c : meta) {
        if (c == '\n') c = ',';
      }
      o << " = \"" << Printable(meta) << "\"";
    }
    if (r.contains("layer")) {
      o << " -> layer " << Dumped(r["layer"]["index"]) << " ("
        << Text(r["layer"]["name"]) << ")";
    }
    if (r.contains("data_bytes"))
      o << " (" << Dumped(r["data_bytes"]) << " bytes)";
    o << "\n";
  }
}

void FormatLayer(std::ostream& o, const Json& l) {
  o << "  " << Dumped(l["index"]) << "  " << Text(l["type"]) << "  "
    << Text(l["name"]) << "  shape " << ShapeText(l["shape"]) << "  inputs "
    << Refs(l["inputs"]) << "  block " << Text(l["block"]) << "  datatype "
    << Text(l["datatype"]);
  if (l.contains("quantization")) {
    const Json& q = l["quantization"];
    o << "  quant";
    if (q.contains("scale")) o << " scale " << NumbersText(q["scale"]);
    if (q.contains("zero")) o << " zero " << Dumped(q["zero"]);
    o << " axis " << Text(q["axis"]);
  }
  if (l.contains("panel_size")) o << "  panel " << Dumped(l["panel_size"]);
  o << "\n";
  for (const Json& p : l["params"]) {
    o << "      param " << Text(p["name"]) << "  shape "
      << ShapeText(p["shape"]) << "  " << Text(p["data"]) << " x "
      << Dumped(p["count"]);
    if (p.contains("preview")) {
      o << "  "
        << (p["data"] == "str" ? Dumped(p["preview"])
                               : NumbersText(p["preview"]));
    }
    o << "\n";
  }
}

// `text` with every line but the first indented by `indent` spaces.
void Indented(std::ostream& o, const std::string& text, std::size_t indent) {
  const std::string pad(indent, ' ');
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos;
       start = nl + 1) {
    o.write(text.data() + start, static_cast<std::streamsize>(nl + 1 - start));
    o << pad;
  }
  o << text.substr(start);
}

}  // namespace

std::string FormatDescription(const Json& d) {
  std::ostringstream o;
  FormatHeader(o, d);
  o << "layers:      " << d["layers"].size() << "\n";
  for (const Json& l : d["layers"]) FormatLayer(o, l);
  return o.str();
}

void WriteDescription(std::ostream& out, const snxf::Model& model,
                      const DescribeOptions& options, bool json,
                      const ModelFacts* facts) {
  Json header = DescribeHeader(model);
  if (json && facts != nullptr) {
    Json tagged = {{"format", "snx-model"}, {"version", 1}};
    tagged.update(header);
    tagged["summary"] = SummaryJson(*facts, /*per_layer=*/false);
    header = std::move(tagged);
  }
  const LayerRange range = SelectLayers(model, options);
  if (!json) {
    FormatHeader(out, header);
    out << "layers:      " << range.end - range.begin << "\n";
    for (uint32_t i = range.begin; i < range.end; ++i) {
      FormatLayer(out, DescribeLayer(model, i, options.params));
    }
    if (facts != nullptr && !options.layer) WriteSummaryText(out, *facts);
    return;
  }
  // The same document as DescribeModel(...).dump(2), one layer at a time.
  std::string head = header.dump(2, ' ', false, Json::error_handler_t::replace);
  head.erase(head.size() - 2);  // "\n}"
  out << head << ",\n  \"layers\": [";
  for (uint32_t i = range.begin; i < range.end; ++i) {
    out << (i == range.begin ? "\n    " : ",\n    ");
    Json layer = DescribeLayer(model, i, options.params);
    // The layer's output as the planner counts it, beside its description.
    if (facts != nullptr) {
      const LayerFacts& f = facts->layers[i];
      layer["output"] = {{"bytes", f.bytes},
                         {"blocks", f.blocks},
                         {"live", {f.first, f.last}}};
    }
    Indented(out, layer.dump(2, ' ', false, Json::error_handler_t::replace), 4);
  }
  out << (range.begin == range.end ? "]" : "\n  ]") << "\n}\n";
}

}  // namespace sarnic
