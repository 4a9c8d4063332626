#include "sarnic/model_reader.h"

#include <cmath>
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
    throw FormatError(what, "",
                      "too short to be a model file (" +
                          std::to_string(bytes.size()) + " bytes)");
  }
  if (std::memcmp(bytes.data() + 4, "SNXF", 4) != 0) {
    throw FormatError(what, "", "not a model file (no SNXF identifier)");
  }
  if (bytes.size() >= kMaxModelBytes) {
    throw FormatError(what, "", "larger than any model file can be");
  }
  flatbuffers::Verifier verifier(bytes.data(), bytes.size());
  if (!snxf::VerifyModelBuffer(verifier)) {
    throw FormatError(what, "", "the model file is corrupt or truncated");
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

// JSON has no NaN or infinities: they are written as the strings "NaN",
// "Infinity" and "-Infinity" (the words JavaScript and Python use).
Json Real(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

template <typename T>
Json Preview(const flatbuffers::Vector<T>* v, std::size_t& count) {
  Json out = Json::array();
  count = v->size();
  for (uint32_t i = 0; i < v->size() && i < 8; ++i) {
    if constexpr (std::is_same_v<T, float>) {
      out.push_back(Real(static_cast<double>(v->Get(i))));
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

}  // namespace sarnic
