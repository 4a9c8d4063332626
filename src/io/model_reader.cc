#include "sarnic/model_reader.h"

#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>

#include "sarnic/errors.h"
#include "sarnic/files.h"
#include "sarnic/value.h"

namespace sarnic {

using Json = nlohmann::ordered_json;

const snxf::Model& ReadModel(std::span<const uint8_t> bytes,
                             const std::string& what) {
  if (bytes.size() < 8) {
    throw ValueError(what + ": too short to be a model file (" +
                     std::to_string(bytes.size()) + " bytes)");
  }
  if (std::memcmp(bytes.data() + 4, "SNXF", 4) != 0) {
    throw ValueError(what + ": not a model file (no SNXF identifier)");
  }
  if (bytes.size() >= kMaxModelBytes) {
    throw ValueError(what + ": larger than any model file can be");
  }
  flatbuffers::Verifier verifier(bytes.data(), bytes.size());
  if (!snxf::VerifyModelBuffer(verifier)) {
    throw ValueError(what + ": the model file is corrupt or truncated");
  }
  return *snxf::GetModel(bytes.data());
}

namespace {

// Anything this large is refused before a byte of it is read.
constexpr std::size_t kMaxModelFileBytes = kMaxModelBytes - 1;

}  // namespace

const snxf::Model& ReadModelFile(const std::string& path,
                                 std::vector<uint8_t>& storage) {
  const auto file = MappedFile::Open(path, "model file", kMaxModelFileBytes);
  const auto* bytes = reinterpret_cast<const uint8_t*>(file->data());
  storage.assign(bytes, bytes + file->size());
  return ReadModel(storage, path);
}

ModelFile ModelFile::Open(const std::string& path) {
  auto file = MappedFile::Open(path, "model file", kMaxModelFileBytes);
  const std::span<const uint8_t> bytes(
      reinterpret_cast<const uint8_t*>(file->data()), file->size());
  const snxf::Model& model = ReadModel(bytes, path);
  return ModelFile(std::move(file), model);
}

namespace {

std::string LayerName(const snxf::Model& m, uint32_t i) {
  if (m.layers() == nullptr || i >= m.layers()->size()) return "";
  const auto* n = m.layers()->Get(i)->name();
  return n ? n->str() : "";
}

Json IndexList(const snxf::Model& m, const flatbuffers::Vector<uint32_t>* v) {
  Json out = Json::array();
  if (v == nullptr) return out;
  for (uint32_t i : *v)
    out.push_back({{"index", i}, {"name", LayerName(m, i)}});
  return out;
}

template <typename T>
Json Preview(const flatbuffers::Vector<T>* v, std::size_t& count) {
  Json out = Json::array();
  count = v->size();
  for (uint32_t i = 0; i < v->size() && i < 8; ++i) {
    if constexpr (std::is_same_v<T, float>) {
      out.push_back(static_cast<double>(v->Get(i)));
    } else {
      out.push_back(static_cast<int64_t>(v->Get(i)));
    }
  }
  return out;
}

Json DescribeTensor(const snxf::Tensor& t, bool with_data) {
  Json j = Json::object();
  j["name"] = t.name() ? t.name()->str() : "";
  j["shape"] =
      t.shape()
          ? Json(std::vector<int32_t>(t.shape()->begin(), t.shape()->end()))
          : Json(nullptr);
  std::string kind = "none";
  std::size_t count = 0;
  Json preview = Json::array();
  if (t.data_str()) {
    kind = "str";
    count = t.data_str()->size();
    for (uint32_t i = 0; i < count && i < 8; ++i) {
      preview.push_back(t.data_str()->Get(i)->str());
    }
  } else if (t.data_raw()) {
    kind = "u8";
    preview = Preview(t.data_raw(), count);
  } else if (t.data_i8()) {
    kind = "i8";
    preview = Preview(t.data_i8(), count);
  } else if (t.data_i16()) {
    kind = "i16";
    preview = Preview(t.data_i16(), count);
  } else if (t.data_i32()) {
    kind = "i32";
    preview = Preview(t.data_i32(), count);
  } else if (t.data_f32()) {
    kind = "f32";
    preview = Preview(t.data_f32(), count);
  }
  j["data"] = kind;
  j["count"] = count;
  if (with_data) j["preview"] = preview;
  return j;
}

}  // namespace

Json DescribeLayer(const snxf::Model& m, uint32_t index, bool params) {
  const snxf::Layer& l = *m.layers()->Get(index);
  Json j = Json::object();
  j["index"] = index;
  const char* type = snxf::EnumNameOp(l.type());
  j["type"] =
      (type && *type) ? type : std::to_string(static_cast<int>(l.type()));
  j["name"] = l.name() ? l.name()->str() : "";
  j["shape"] =
      l.shape()
          ? Json(std::vector<int32_t>(l.shape()->begin(), l.shape()->end()))
          : Json(nullptr);
  j["inputs"] = IndexList(m, l.inputs());
  j["block"] = l.block() ? Json(*l.block()) : Json(nullptr);
  if (l.datatype()) {
    const char* dt = snxf::EnumNameDatatype(*l.datatype());
    j["datatype"] =
        (dt && *dt) ? dt : std::to_string(static_cast<int>(*l.datatype()));
  } else {
    j["datatype"] = nullptr;
  }
  if (l.scale() || l.zero() || l.axis()) {
    Json q = Json::object();
    std::size_t n = 0;
    if (l.scale()) q["scale"] = Preview(l.scale(), n);
    if (l.zero()) q["zero"] = Preview(l.zero(), n);
    q["axis"] = l.axis() ? Json(*l.axis()) : Json(nullptr);
    j["quantization"] = q;
  }
  if (l.panel_size()) j["panel_size"] = *l.panel_size();
  Json ps = Json::array();
  if (l.params()) {
    for (const auto* t : *l.params()) ps.push_back(DescribeTensor(*t, params));
  }
  j["params"] = ps;
  return j;
}

Json DescribeHeader(const snxf::Model& m) {
  Json d = Json::object();
  d["name"] = m.name() ? m.name()->str() : "";
  d["creator"] = m.creator() ? m.creator()->str() : "";
  d["block_size"] = m.block_size() ? Json(*m.block_size()) : Json(nullptr);
  d["block_count"] = m.block_count() ? Json(*m.block_count()) : Json(nullptr);
  d["inputs"] = IndexList(m, m.inputs());
  d["outputs"] = IndexList(m, m.outputs());
  if (m.labels()) {
    Json labels = Json::array();
    for (const auto* s : *m.labels()) labels.push_back(s->str());
    d["labels"] = labels;
  } else {
    d["labels"] = nullptr;
  }
  Json meta = Json::array();
  if (m.meta()) {
    for (const auto* r : *m.meta()) {
      Json e = Json::object();
      e["name"] = r->name() ? r->name()->str() : "";
      if (r->meta()) e["meta"] = r->meta()->str();
      if (r->data()) {
        if (r->data()->size() == 4) {
          uint32_t idx = 0;
          for (int b = 3; b >= 0; --b) idx = (idx << 8) | r->data()->Get(b);
          e["layer"] = {{"index", idx}, {"name", LayerName(m, idx)}};
        } else {
          e["data_bytes"] = r->data()->size();
        }
      }
      meta.push_back(e);
    }
  }
  d["meta"] = meta;
  return d;
}

LayerRange SelectLayers(const snxf::Model& m, const DescribeOptions& options) {
  const uint32_t n = m.layers() ? m.layers()->size() : 0;
  if (!options.layer) return {0, n};
  std::optional<uint32_t> only;
  for (uint32_t i = 0; i < n; ++i) {
    if (LayerName(m, i) == *options.layer) only = i;
  }
  if (!only) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(options.layer->c_str(), &end, 10);
    if (!options.layer->empty() && *end == '\0' && v < n) {
      only = static_cast<uint32_t>(v);
    }
  }
  if (!only) {
    throw KeyError(*options.layer,
                   "the model has no layer '" + *options.layer + "'");
  }
  return {*only, *only + 1};
}

Json DescribeModel(const snxf::Model& m, const DescribeOptions& options) {
  Json d = DescribeHeader(m);
  const LayerRange range = SelectLayers(m, options);
  Json layers = Json::array();
  for (uint32_t i = range.begin; i < range.end; ++i) {
    layers.push_back(DescribeLayer(m, i, options.params));
  }
  d["layers"] = layers;
  return d;
}

namespace {

std::string Dumped(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Text from the file, safe to print on a terminal: control characters
// (C0, DEL and C1) are escaped as JSON escapes them, and bytes that are not
// UTF-8 become U+FFFD, as in the JSON output.
std::string Printable(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  auto escape = [&out](uint32_t c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
    out += buf;
  };
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c == '\n') {
        out += "\\n";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c < 0x20 || c == 0x7f) {
        escape(c);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // The length of a well-formed sequence starting here, or 0.
    std::size_t len = c >= 0xc2 && c <= 0xdf   ? 2
                      : c >= 0xe0 && c <= 0xef ? 3
                      : c >= 0xf0 && c <= 0xf4 ? 4
                                               : 0;
    uint32_t code = len == 2 ? c & 0x1fu : len == 3 ? c & 0x0fu : c & 0x07u;
    for (std::size_t k = 1; k < len; ++k) {
      const auto d = i + k < s.size() ? static_cast<unsigned char>(s[i + k])
                                      : static_cast<unsigned char>(0);
      if ((d & 0xc0) != 0x80) {
        len = 0;
        break;
      }
      code = (code << 6) | (d & 0x3fu);
    }
    const bool overlong = (len == 3 && code < 0x800) ||
                          (len == 4 && code < 0x10000) || code > 0x10ffff ||
                          (code >= 0xd800 && code <= 0xdfff);
    if (len == 0 || overlong) {
      out += "\xef\xbf\xbd";
      ++i;
    } else if (code >= 0x80 && code <= 0x9f) {
      escape(code);
      i += len;
    } else {
      out.append(s, i, len);
      i += len;
    }
  }
  return out;
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
    if (q.contains("scale")) o << " scale " << Dumped(q["scale"]);
    if (q.contains("zero")) o << " zero " << Dumped(q["zero"]);
    o << " axis " << Text(q["axis"]);
  }
  if (l.contains("panel_size")) o << "  panel " << Dumped(l["panel_size"]);
  o << "\n";
  for (const Json& p : l["params"]) {
    o << "      param " << Text(p["name"]) << "  shape "
      << ShapeText(p["shape"]) << "  " << Text(p["data"]) << " x "
      << Dumped(p["count"]);
    if (p.contains("preview")) o << "  " << Dumped(p["preview"]);
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
                      const DescribeOptions& options, bool json) {
  const Json header = DescribeHeader(model);
  const LayerRange range = SelectLayers(model, options);
  if (!json) {
    FormatHeader(out, header);
    out << "layers:      " << range.end - range.begin << "\n";
    for (uint32_t i = range.begin; i < range.end; ++i) {
      FormatLayer(out, DescribeLayer(model, i, options.params));
    }
    return;
  }
  // The same document as DescribeModel(...).dump(2), one layer at a time.
  std::string head = header.dump(2, ' ', false, Json::error_handler_t::replace);
  head.erase(head.size() - 2);  // "\n}"
  out << head << ",\n  \"layers\": [";
  for (uint32_t i = range.begin; i < range.end; ++i) {
    out << (i == range.begin ? "\n    " : ",\n    ");
    Indented(out,
             DescribeLayer(model, i, options.params)
                 .dump(2, ' ', false, Json::error_handler_t::replace),
             4);
  }
  out << (range.begin == range.end ? "]" : "\n  ]") << "\n}\n";
}

}  // namespace sarnic
