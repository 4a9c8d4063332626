// Writing graph files: the JSON document, its arrays inline or in a
// safetensors file beside it.
#include <filesystem>

#include "io/graph_json.h"
#include "io/safetensors.h"
#include "sarnic/errors.h"
#include "sarnic/graph_file.h"

namespace sarnic {

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
    const std::string weights_path = (dir / *weights_name).string();
    if (SameDestination(weights_path, json_path)) {
      // The graph file would replace its own weights.
      throw ValueError("The weights file and the graph file are one file:",
                       weights_path);
    }
    WriteWeights(weights_path, external);
  }
  const std::string text = doc.dump(1) + "\n";
  WriteFileAtomically(json_path, text.data(), text.size());
}

}  // namespace sarnic
