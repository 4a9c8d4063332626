#include "sarnic/model_reader.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sarnic/errors.h"
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

const snxf::Model& ReadModelFile(const std::string& path,
                                 std::vector<uint8_t>& storage) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw IoError("cannot read " + path);
  storage.assign(std::istreambuf_iterator<char>(in),
                 std::istreambuf_iterator<char>());
  if (in.bad()) throw IoError("cannot read " + path);
  return ReadModel(storage, path);
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

}  // namespace

Json DescribeModel(const snxf::Model& m, const DescribeOptions& options) {
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
  Json layers = Json::array();
  const uint32_t n = m.layers() ? m.layers()->size() : 0;
  std::optional<uint32_t> only;
  if (options.layer) {
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
  }
  for (uint32_t i = 0; i < n; ++i) {
    if (only && *only != i) continue;
    layers.push_back(DescribeLayer(m, i, options.params));
  }
  d["layers"] = layers;
  return d;
}

namespace {

std::string Text(const Json& j) {
  if (j.is_null()) return "-";
  if (j.is_string()) return j.get<std::string>();
  if (j.is_number_float()) return PythonRealRepr(j.get<double>());
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string ShapeText(const Json& j) {
  if (j.is_null()) return "-";
  std::string s = "[";
  for (std::size_t i = 0; i < j.size(); ++i) {
    if (i) s += ", ";
    s += j[i].dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  return s + "]";
}

std::string Refs(const Json& list) {
  std::string s;
  for (const Json& r : list) {
    if (!s.empty()) s += ", ";
    s += r["index"].dump(-1, ' ', false, Json::error_handler_t::replace) + ":" +
         r["name"].get<std::string>();
  }
  return s.empty() ? "-" : s;
}

}  // namespace

std::string FormatDescription(const Json& d) {
  std::ostringstream o;
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
      o << (i ? ", " : "") << d["labels"][i].get<std::string>();
    }
    o << "]\n";
  }
  for (const Json& r : d["meta"]) {
    o << "resource:    " << r["name"].get<std::string>();
    if (r.contains("meta")) {
      std::string meta = r["meta"].get<std::string>();
      for (char& c : meta) {
        if (c == '\n') c = ',';
      }
      o << " = \"" << meta << "\"";
    }
    if (r.contains("layer")) {
      o << " -> layer "
        << r["layer"]["index"].dump(-1, ' ', false,
                                    Json::error_handler_t::replace)
        << " (" << r["layer"]["name"].get<std::string>() << ")";
    }
    if (r.contains("data_bytes"))
      o << " ("
        << r["data_bytes"].dump(-1, ' ', false, Json::error_handler_t::replace)
        << " bytes)";
    o << "\n";
  }
  o << "layers:      " << d["layers"].size() << "\n";
  for (const Json& l : d["layers"]) {
    o << "  " << l["index"].dump(-1, ' ', false, Json::error_handler_t::replace)
      << "  " << l["type"].get<std::string>() << "  "
      << l["name"].get<std::string>() << "  shape " << ShapeText(l["shape"])
      << "  inputs " << Refs(l["inputs"]) << "  block " << Text(l["block"])
      << "  datatype " << Text(l["datatype"]);
    if (l.contains("quantization")) {
      const Json& q = l["quantization"];
      o << "  quant";
      if (q.contains("scale"))
        o << " scale "
          << q["scale"].dump(-1, ' ', false, Json::error_handler_t::replace);
      if (q.contains("zero"))
        o << " zero "
          << q["zero"].dump(-1, ' ', false, Json::error_handler_t::replace);
      o << " axis " << Text(q["axis"]);
    }
    if (l.contains("panel_size"))
      o << "  panel "
        << l["panel_size"].dump(-1, ' ', false, Json::error_handler_t::replace);
    o << "\n";
    for (const Json& p : l["params"]) {
      o << "      param " << p["name"].get<std::string>() << "  shape "
        << ShapeText(p["shape"]) << "  " << p["data"].get<std::string>()
        << " x "
        << p["count"].dump(-1, ' ', false, Json::error_handler_t::replace);
      if (p.contains("preview"))
        o << "  "
          << p["preview"].dump(-1, ' ', false, Json::error_handler_t::replace);
      o << "\n";
    }
  }
  return o.str();
}

}  // namespace sarnic
