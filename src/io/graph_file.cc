// Reading graph files: the document's keys, its nodes with their
// attributes, its edges, inputs and outputs, and its arrays.
#include "sarnic/graph_file.h"

#include <filesystem>

#include "io/graph_json.h"
#include "io/safetensors.h"
#include "sarnic/errors.h"

namespace sarnic {

namespace {

// Graph whose arrays may view a mapped weights file.
class FileGraph : public Graph {};

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
// relative to the document's folder; its path is appended to `files_read`.
std::optional<WeightsFile> WeightsOf(
    const Json& doc, const std::string& path,
    std::vector<std::string>* files_read = nullptr) {
  if (!doc.is_object() || !doc.contains("weights")) return std::nullopt;
  const ValueReader plain(path, nullptr);
  if (!doc["weights"].is_string()) plain.Fail("weights", "must be a path text");
  const std::string name = doc["weights"].get<std::string>();
  if (name.find('\0') != std::string::npos) {
    plain.Fail("weights",
               "the path " + Value(name).repr() + " holds a NUL character");
  }
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  const std::string weights_path = (dir / name).string();
  if (files_read != nullptr) files_read->push_back(weights_path);
  return ReadWeights(weights_path);
}

}  // namespace

namespace {

void ReadNodes(const ValueReader& r, const Json& nodes, DiGraph& g) {
  if (!nodes.is_array()) r.Fail("nodes", "must be a list");
  std::size_t i = 0;
  for (const Json& n : nodes) {
    const std::string at = "nodes[" + std::to_string(i++) + "]";
    if (!n.is_object() || !n.contains("name") || !n.contains("attrs") ||
        n.size() != 2) {
      r.Fail(at, "a node is {\"name\": ..., \"attrs\": {...}}");
    }
    if (!n["name"].is_string()) r.Fail(at, "the node name must be a text");
    const std::string name = n["name"].get<std::string>();
    CheckName(r, at, name);
    if (g.has_node(name)) {
      r.Fail("node " + Quoted(name), "the name is used twice");
    }
    if (!n["attrs"].is_object()) {
      r.Fail("node " + Quoted(name), "attrs must be an object");
    }
    AttrDict& attrs = g.add_node(name);
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
}

void ReadEdges(const ValueReader& r, const Json& edges, DiGraph& g) {
  if (!edges.is_array()) r.Fail("edges", "must be a list");
  std::size_t i = 0;
  for (const Json& e : edges) {
    const std::string at = "edges[" + std::to_string(i++) + "]";
    if (!e.is_array() || e.size() != 2 || !e[0].is_string() ||
        !e[1].is_string()) {
      r.Fail(at, "an edge is [from, to], two node names");
    }
    for (const Json& end : e) {
      if (!g.has_node(end.get<std::string>())) {
        r.Fail(at + " " + e.dump(),
               Quoted(end.get<std::string>()) + " is no node");
      }
    }
    g.add_edge(e[0].get<std::string>(), e[1].get<std::string>());
  }
}

void ReadTensors(const ValueReader& r, const Json& doc, Graph& g) {
  if (!doc.contains("tensor_dict")) return;
  if (!doc["tensor_dict"].is_object()) {
    r.Fail("tensor_dict", "must be an object");
  }
  for (const auto& [k, v] : doc["tensor_dict"].items()) {
    const std::string place = "tensor_dict " + Quoted(k);
    if (!v.is_object() || v.size() != 1 || !v.contains("__ndarray__")) {
      r.Fail(place, "must be an array {\"__ndarray__\": ...}");
    }
    g.tensor_dict.set(k, r.Array(v["__ndarray__"], place));
  }
}

}  // namespace

std::unique_ptr<Graph> LoadGraph(const std::string& path,
                                 std::vector<std::string>* files_read) {
  if (files_read != nullptr) files_read->push_back(path);
  const Json doc = ParseJson(path, "graph file");
  RequireKeys(ValueReader(path, nullptr), doc);
  const std::optional<WeightsFile> weights = WeightsOf(doc, path, files_read);
  const ValueReader r(path, weights ? &*weights : nullptr);
  auto g = std::make_unique<FileGraph>();
  ReadNodes(r, doc["nodes"], g->qm_nx_graph);
  ReadEdges(r, doc["edges"], g->qm_nx_graph);
  g->orig_inputs =
      NameList(r, doc["orig_inputs"], "orig_inputs", g->qm_nx_graph);
  g->orig_outputs =
      NameList(r, doc["orig_outputs"], "orig_outputs", g->qm_nx_graph);
  ReadTensors(r, doc, *g);
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

}  // namespace sarnic
