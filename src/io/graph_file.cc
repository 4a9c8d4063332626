// Reading and writing graph files.
#include "sarnic/graph_file.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>

#include "io/safetensors.h"
#include "sarnic/errors.h"

namespace sarnic {

using Json = nlohmann::ordered_json;

namespace {

constexpr int kMaxDepth = 64;

// The document parser, refusing integer literals beyond 64 bits, which
// would otherwise be read as reals.
class StrictDomParser : public nlohmann::detail::json_sax_dom_parser<Json> {
 public:
  StrictDomParser(Json& result, const std::string& path)
      : json_sax_dom_parser(result, /*allow_exceptions_=*/true), path_(path) {}

  bool number_float(Json::number_float_t value, const std::string& text) {
    if (text.find_first_of(".eE") == std::string::npos) {
      throw ValueError(path_ + ": integer " + text + " does not fit 64 bits");
    }
    return json_sax_dom_parser::number_float(value, text);
  }

 private:
  const std::string& path_;
};

Json ParseJson(const std::string& path, const std::string& what) {
  const std::string text = ReadFileText(path, what);
  Json doc;
  StrictDomParser parser(doc, path);
  try {
    Json::sax_parse(text, &parser);
  } catch (const Json::exception& e) {
    // Syntax errors, and numbers beyond the range of a double.
    throw ValueError(path + ": not valid JSON: " + e.what());
  }
  return doc;
}

// Reads values of the graph format's encoding, naming the file and place.
class ValueReader {
 public:
  ValueReader(std::string path, const WeightsFile* weights)
      : path_(std::move(path)), weights_(weights) {}

  [[noreturn]] void Fail(const std::string& place,
                         const std::string& problem) const {
    throw ValueError(path_ + ": " + place + ": " + problem);
  }

  Value Read(const Json& j, const std::string& place, int depth = 0) const {
    if (depth > kMaxDepth) Fail(place, "values nest too deeply");
    switch (j.type()) {
      case Json::value_t::null:
        return Value();
      case Json::value_t::boolean:
        return Value(j.get<bool>());
      case Json::value_t::number_integer:
        return Value(j.get<int64_t>());
      case Json::value_t::number_unsigned: {
        const auto u = j.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
          Fail(place, "integer " + j.dump() + " does not fit 64 bits");
        }
        return Value(static_cast<int64_t>(u));
      }
      case Json::value_t::number_float:
        return Value(j.get<double>());
      case Json::value_t::string:
        return Value(j.get<std::string>());
      case Json::value_t::array: {
        List l;
        l.reserve(j.size());
        for (const Json& item : j) l.push_back(Read(item, place, depth + 1));
        return Value(std::move(l));
      }
      case Json::value_t::object: {
        if (j.size() == 1 && j.contains("__ndarray__")) {
          return Value(Array(j["__ndarray__"], place));
        }
        Dict d;
        for (const auto& [k, v] : j.items())
          d.set(k, Read(v, place, depth + 1));
        return Value(std::move(d));
      }
      default:
        Fail(place, "unsupported JSON value " + j.dump());
    }
  }

  NdArray Array(const Json& a, const std::string& place) const {
    if (!a.is_object()) Fail(place, "__ndarray__ must be an object");
    if (a.contains("weights")) {
      if (a.size() != 1 || !a["weights"].is_string()) {
        Fail(place, "an array reference is {\"weights\": KEY}");
      }
      if (weights_ == nullptr) {
        Fail(place, "refers to weights tensor '" +
                        a["weights"].get<std::string>() +
                        "' but the graph names no weights file");
      }
      return weights_->Get(a["weights"].get<std::string>(), place);
    }
    for (const auto& [k, v] : a.items()) {
      if (k != "dtype" && k != "shape" && k != "data") {
        Fail(place, "inline array has an unknown key '" + k + "'");
      }
    }
    if (!a.contains("dtype") || !a["dtype"].is_string()) {
      Fail(place, "inline array lacks a text 'dtype'");
    }
    const auto dtype = DTypeFromName(a["dtype"].get<std::string>());
    if (!dtype) Fail(place, "unknown dtype " + a["dtype"].dump());
    if (!a.contains("shape") || !a["shape"].is_array()) {
      Fail(place, "inline array lacks a 'shape' list");
    }
    Shape shape;
    for (const Json& d : a["shape"]) {
      if (!d.is_number_integer() || d.get<int64_t>() < 0 ||
          (d.is_number_unsigned() &&
           d.get<uint64_t>() >
               static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))) {
        Fail(place,
             "shape entries must be non-negative integers, not " + d.dump());
      }
      shape.push_back(d.get<int64_t>());
    }
    int64_t count = 0;
    try {
      count = ElementCount(shape);
      ByteSize(*dtype, count);
    } catch (const ValueError&) {
      Fail(place, "the shape's element count or byte size overflows");
    }
    if (!a.contains("data") || !a["data"].is_array()) {
      Fail(place, "inline array lacks a 'data' list");
    }
    const Json& data = a["data"];
    if (static_cast<int64_t>(data.size()) != count) {
      Fail(place, "inline array has " + std::to_string(data.size()) +
                      " elements for shape of " + std::to_string(count));
    }
    NdArray out = NdArray::Zeros(*dtype, shape);
    if (count == 0) return out;
    // Elements go through a float64 or int64 array, then one conversion.
    if (IsFloating(*dtype)) {
      std::vector<double> v;
      v.reserve(data.size());
      for (const Json& e : data) v.push_back(Real(e, place));
      return NdArray::FromValues<double>(DType::kFloat64, shape, v)
          .AsType(*dtype);
    }
    std::vector<int64_t> v;
    v.reserve(data.size());
    for (const Json& e : data) v.push_back(Integer(e, *dtype, place));
    if (*dtype == DType::kUint64) {
      std::vector<uint64_t> u(v.begin(), v.end());
      return NdArray::FromValues<uint64_t>(DType::kUint64, shape, u);
    }
    return NdArray::FromValues<int64_t>(DType::kInt64, shape, v).AsType(*dtype);
  }

 private:
  double Real(const Json& e, const std::string& place) const {
    if (e.is_number()) return e.get<double>();
    if (e.is_string()) {
      const std::string s = e.get<std::string>();
      if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
      if (s == "inf") return std::numeric_limits<double>::infinity();
      if (s == "-inf") return -std::numeric_limits<double>::infinity();
    }
    Fail(place, "array element " + e.dump() + " is not a real number");
  }

  int64_t Integer(const Json& e, DType dtype, const std::string& place) const {
    if (dtype == DType::kBool && e.is_boolean()) return e.get<bool>() ? 1 : 0;
    if (e.is_number_integer()) {
      if (e.is_number_unsigned()) {
        const auto u = e.get<uint64_t>();
        if (dtype == DType::kUint64) return static_cast<int64_t>(u);
        if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
          return InRange(static_cast<int64_t>(u), dtype, e, place);
        }
      } else {
        return InRange(e.get<int64_t>(), dtype, e, place);
      }
    }
    Fail(place, "array element " + e.dump() + " is not a " +
                    std::string(DTypeName(dtype)) + " value");
  }

  int64_t InRange(int64_t v, DType d, const Json& e,
                  const std::string& place) const {
    int64_t lo = 0, hi = 0;
    switch (d) {
      case DType::kBool:
        lo = 0;
        hi = 1;
        break;
      case DType::kInt8:
        lo = -128;
        hi = 127;
        break;
      case DType::kUint8:
        lo = 0;
        hi = 255;
        break;
      case DType::kInt16:
        lo = -32768;
        hi = 32767;
        break;
      case DType::kUint16:
        lo = 0;
        hi = 65535;
        break;
      case DType::kInt32:
        lo = INT32_MIN;
        hi = INT32_MAX;
        break;
      case DType::kUint32:
        lo = 0;
        hi = UINT32_MAX;
        break;
      case DType::kInt64:
        return v;
      case DType::kUint64:
        lo = 0;
        hi = INT64_MAX;
        break;
      default:
        break;
    }
    if (v < lo || v > hi) {
      Fail(place, "array element " + e.dump() + " does not fit " +
                      std::string(DTypeName(d)));
    }
    return v;
  }

  std::string path_;
  const WeightsFile* weights_;
};

// Graph whose arrays may view a mapped weights file.
class FileGraph : public Graph {};

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

void RequireKeys(const ValueReader& r, const Json& doc) {
  static const char* kRequired[] = {"format",       "version", "orig_inputs",
                                    "orig_outputs", "nodes",   "edges"};
  static const char* kOptional[] = {"weights", "tensor_dict"};
  if (!doc.is_object()) r.Fail("document", "must be a JSON object");
  for (const char* k : kRequired) {
    if (!doc.contains(k)) r.Fail("document", std::string("lacks '") + k + "'");
  }
  for (const auto& [k, v] : doc.items()) {
    bool known = false;
    for (const char* n : kRequired) known = known || k == n;
    for (const char* n : kOptional) known = known || k == n;
    if (!known) r.Fail("document", "has an unknown key '" + k + "'");
  }
  if (doc["format"] != "snx-graph") {
    r.Fail("format", "must be \"snx-graph\", not " + doc["format"].dump());
  }
  if (!doc["version"].is_number_integer() || doc["version"] != 1) {
    r.Fail("version", "must be 1, not " + doc["version"].dump());
  }
}

void CheckName(const ValueReader& r, const std::string& place,
               const std::string& name) {
  if (name.empty()) r.Fail(place, "a node name must not be empty");
  if (name.find('\0') != std::string::npos) {
    r.Fail(place, "node name " + Value(name).repr() + " holds a NUL character");
  }
}

std::vector<std::string> NameList(const ValueReader& r, const Json& j,
                                  const char* key, const DiGraph& g) {
  if (!j.is_array()) r.Fail(key, "must be a list of node names");
  std::vector<std::string> out;
  for (const Json& n : j) {
    if (!n.is_string()) r.Fail(key, "holds " + n.dump() + ", not a node name");
    if (!g.has_node(n.get<std::string>())) {
      r.Fail(key,
             "names " + Quoted(n.get<std::string>()) + ", which is no node");
    }
    out.push_back(n.get<std::string>());
  }
  return out;
}

// The weights file that the graph document `doc` at `path` names, if any,
// relative to the document's folder.
std::optional<WeightsFile> WeightsOf(const Json& doc, const std::string& path) {
  if (!doc.is_object() || !doc.contains("weights")) return std::nullopt;
  const ValueReader plain(path, nullptr);
  if (!doc["weights"].is_string()) plain.Fail("weights", "must be a path text");
  const std::string name = doc["weights"].get<std::string>();
  if (name.find('\0') != std::string::npos) {
    plain.Fail("weights",
               "the path " + Value(name).repr() + " holds a NUL character");
  }
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  return ReadWeights((dir / name).string());
}

}  // namespace

std::unique_ptr<Graph> LoadGraph(const std::string& path) {
  const Json doc = ParseJson(path, "graph file");
  RequireKeys(ValueReader(path, nullptr), doc);
  const std::optional<WeightsFile> weights = WeightsOf(doc, path);
  const ValueReader r(path, weights ? &*weights : nullptr);
  auto g = std::make_unique<FileGraph>();
  if (!doc["nodes"].is_array()) r.Fail("nodes", "must be a list");
  std::size_t i = 0;
  for (const Json& n : doc["nodes"]) {
    const std::string at = "nodes[" + std::to_string(i++) + "]";
    if (!n.is_object() || !n.contains("name") || !n.contains("attrs") ||
        n.size() != 2) {
      r.Fail(at, "a node is {\"name\": ..., \"attrs\": {...}}");
    }
    if (!n["name"].is_string()) r.Fail(at, "the node name must be a text");
    const std::string name = n["name"].get<std::string>();
    CheckName(r, at, name);
    if (g->qm_nx_graph.has_node(name)) {
      r.Fail("node " + Quoted(name), "the name is used twice");
    }
    if (!n["attrs"].is_object()) {
      r.Fail("node " + Quoted(name), "attrs must be an object");
    }
    AttrDict& attrs = g->qm_nx_graph.add_node(name);
    for (const auto& [k, v] : n["attrs"].items()) {
      const std::string place =
          "node " + Quoted(name) + " attribute " + Quoted(k);
      Value value = r.Read(v, place);
      if (k == "datatype" &&
          (!value.is_text() || !DTypeFromName(value.as_text()))) {
        r.Fail(place, "must name an element type, not " + v.dump());
      }
      attrs.set(k, std::move(value));
    }
  }
  if (!doc["edges"].is_array()) r.Fail("edges", "must be a list");
  i = 0;
  for (const Json& e : doc["edges"]) {
    const std::string at = "edges[" + std::to_string(i++) + "]";
    if (!e.is_array() || e.size() != 2 || !e[0].is_string() ||
        !e[1].is_string()) {
      r.Fail(at, "an edge is [from, to], two node names");
    }
    for (const Json& end : e) {
      if (!g->qm_nx_graph.has_node(end.get<std::string>())) {
        r.Fail(at + " " + e.dump(),
               Quoted(end.get<std::string>()) + " is no node");
      }
    }
    g->qm_nx_graph.add_edge(e[0].get<std::string>(), e[1].get<std::string>());
  }
  g->orig_inputs =
      NameList(r, doc["orig_inputs"], "orig_inputs", g->qm_nx_graph);
  g->orig_outputs =
      NameList(r, doc["orig_outputs"], "orig_outputs", g->qm_nx_graph);
  if (doc.contains("tensor_dict")) {
    if (!doc["tensor_dict"].is_object())
      r.Fail("tensor_dict", "must be an object");
    for (const auto& [k, v] : doc["tensor_dict"].items()) {
      const std::string place = "tensor_dict " + Quoted(k);
      if (!v.is_object() || v.size() != 1 || !v.contains("__ndarray__")) {
        r.Fail(place, "must be an array {\"__ndarray__\": ...}");
      }
      g->tensor_dict.set(k, r.Array(v["__ndarray__"], place));
    }
  }
  return g;
}

OrderedMap<NdArray> LoadArrayMap(const std::string& path,
                                 const std::string& graph_path) {
  const Json doc = ParseJson(path, "constants file");
  const std::optional<WeightsFile> weights =
      WeightsOf(ParseJson(graph_path, "graph file"), graph_path);
  const ValueReader r(path, weights ? &*weights : nullptr);
  if (!doc.is_object()) r.Fail("document", "must map names to arrays");
  OrderedMap<NdArray> out;
  for (const auto& [k, v] : doc.items()) {
    const Value value = r.Read(v, Quoted(k));
    if (!value.is_array()) r.Fail(Quoted(k), "must be an array");
    out.set(k, value.as_array());
  }
  return out;
}

namespace {

class ValueWriter {
 public:
  explicit ValueWriter(std::vector<std::pair<std::string, NdArray>>* external)
      : external_(external) {}

  Json Write(const Value& v) const {
    switch (v.kind()) {
      case Value::Kind::kNone:
        return nullptr;
      case Value::Kind::kBool:
        return v.as_bool();
      case Value::Kind::kInt:
        return v.as_int();
      case Value::Kind::kReal:
        return v.as_real();
      case Value::Kind::kText:
        return v.as_text();
      case Value::Kind::kList: {
        Json a = Json::array();
        for (const Value& item : v.as_list()) a.push_back(Write(item));
        return a;
      }
      case Value::Kind::kDict: {
        Json o = Json::object();
        for (const auto& [k, item] : v.as_dict()) o[k] = Write(item);
        if (o.empty() || (o.size() == 1 && o.contains("__ndarray__"))) {
          // Cannot be told apart from an array when read back.
          throw ValueError(
              "a mapping of the form {\"__ndarray__\": ...} "
              "cannot be written to a graph file");
        }
        return o;
      }
      case Value::Kind::kArray:
        return Inline(v.as_array());
    }
    return nullptr;
  }

  static Json Inline(const NdArray& a) {
    Json data = Json::array();
    for (int64_t i = 0; i < a.size(); ++i) {
      if (IsFloating(a.dtype())) {
        const double d = a.GetDouble(i);
        if (std::isnan(d)) {
          data.push_back("nan");
        } else if (std::isinf(d)) {
          data.push_back(d > 0 ? "inf" : "-inf");
        } else {
          data.push_back(d);
        }
      } else if (a.dtype() == DType::kUint64) {
        uint64_t u;
        std::memcpy(&u, a.data() + i * 8, 8);
        data.push_back(u);
      } else if (a.dtype() == DType::kBool) {
        data.push_back(a.GetInt(i) != 0);
      } else {
        data.push_back(a.GetInt(i));
      }
    }
    return {{"__ndarray__",
             {{"dtype", DTypeName(a.dtype())},
              {"shape", a.shape()},
              {"data", data}}}};
  }

  Json Tensor(const std::string& name, const NdArray& a) const {
    if (external_ == nullptr) return Inline(a);
    external_->emplace_back(name, a);
    return {{"__ndarray__", {{"weights", name}}}};
  }

 private:
  std::vector<std::pair<std::string, NdArray>>* external_;
};

}  // namespace

void SaveGraph(const Graph& graph, const std::string& json_path,
               const std::optional<std::string>& weights_name) {
  std::vector<std::pair<std::string, NdArray>> external;
  const ValueWriter w(weights_name ? &external : nullptr);
  Json doc = Json::object();
  doc["format"] = "snx-graph";
  doc["version"] = 1;
  if (weights_name) doc["weights"] = *weights_name;
  doc["orig_inputs"] = graph.orig_inputs;
  doc["orig_outputs"] = graph.orig_outputs;
  Json nodes = Json::array();
  const DiGraph& g = graph.qm_nx_graph;
  for (uint32_t i = 0; i < g.number_of_nodes(); ++i) {
    Json attrs = Json::object();
    for (const auto& [k, v] : g.attrs_of(i)) attrs[k] = w.Write(v);
    nodes.push_back({{"name", g.name_of(i)}, {"attrs", attrs}});
  }
  doc["nodes"] = nodes;
  Json edges = Json::array();
  for (const auto& [a, b] : g.edges()) {
    edges.push_back({g.name_of(a), g.name_of(b)});
  }
  doc["edges"] = edges;
  Json tensors = Json::object();
  for (const auto& [k, a] : graph.tensor_dict) tensors[k] = w.Tensor(k, a);
  doc["tensor_dict"] = tensors;
  if (weights_name) {
    const std::filesystem::path dir =
        std::filesystem::path(json_path).parent_path();
    WriteWeights((dir / *weights_name).string(), external);
  }
  const std::string text = doc.dump(1) + "\n";
  WriteFileAtomically(json_path, text.data(), text.size());
}

}  // namespace sarnic
