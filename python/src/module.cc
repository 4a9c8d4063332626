// The extension module behind sarnic_exporter: the export of a Python
// graph, the builder and schema operations for plug-ins, and graph files.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <limits>
#include <sstream>

#include "convert.h"
#include "sarnic/errors.h"
#include "sarnic/exporter.h"
#include "sarnic/graph_file.h"

namespace sarnic::python {

namespace {

// A builder handed to Python plug-ins for the duration of one call. Python
// may keep the handle; it is invalidated when the call ends, so that a kept
// handle raises instead of reaching a builder that is gone.
struct Builder {
  BetterBuilder* b;
  BetterBuilder& get() const {
    if (b == nullptr) {
      throw Error(
          "the builder is no longer valid: a plug-in's builder serves one "
          "export_<op> call and is invalidated when that call ends");
    }
    return *b;
  }
};

// The layer offset a plug-in returned: an integer of the offset range.
Offset PluginResult(const py::object& result, const std::string& plugin,
                    const std::string& op, const std::string& node) {
  if (py::isinstance<py::int_>(result) && !py::isinstance<py::bool_>(result)) {
    const auto v = result.cast<py::int_>();
    if (py::int_(0) <= v && v <= py::int_(std::numeric_limits<Offset>::max())) {
      return v.cast<Offset>();
    }
  }
  throw PluginResultError(plugin, op, node,
                          py::repr(result).cast<std::string>());
}

// A user exporter made by a Python plug-in: its export_<op> methods.
class PyUserExporter : public UserExporter {
 public:
  PyUserExporter(py::object obj, py::object graph, py::object nx)
      : obj_(std::move(obj)), graph_(std::move(graph)), nx_(std::move(nx)) {}

  const OpFunction* find(const std::string& op) const override {
    auto it = cache_.find(op);
    if (it != cache_.end()) return it->second ? &*it->second : nullptr;
    const std::string method = "export_" + op;
    if (!py::hasattr(obj_, method.c_str())) {
      cache_[op] = std::nullopt;
      return nullptr;
    }
    py::object fn = obj_.attr(method.c_str());
    py::object graph = graph_;
    py::object nx = nx_;
    const std::string plugin = name();
    cache_[op] =
        OpFunction([fn, graph, nx, plugin, op](
                       BetterBuilder& builder, Graph&, const LayerIndex& layers,
                       const std::string& name, AttrDict& attrs,
                       const std::optional<std::string>& alt) {
          auto handle = std::make_shared<Builder>(Builder{&builder});
          struct Invalidate {
            Builder& h;
            ~Invalidate() { h.b = nullptr; }
          } invalidate{*handle};
          py::object wrapped = py::cast(handle);
          py::dict index;
          for (const auto& [k, v] : layers.entries()) index[py::str(k)] = v;
          // The plug-in sees the caller's own attribute dictionary, with what
          // the export added before this call (the block, copy nodes).
          if (!nx.attr("has_node")(name).cast<bool>())
            nx.attr("add_node")(name);
          py::dict node = nx.attr("nodes")[py::str(name)];
          for (const auto& [k, v] : attrs) {
            if (k == "block" || !node.contains(py::str(k))) {
              node[py::str(k)] = FromValue(v);
            }
          }
          py::object result = alt ? fn(wrapped, graph, index, name, node, *alt)
                                  : fn(wrapped, graph, index, name, node);
          return PluginResult(result, plugin, op, name);
        });
    return &*cache_[op];
  }

  std::string name() const override {
    const py::handle type = py::type::of(obj_);
    return "plug-in " + py::str(type.attr("__module__")).cast<std::string>() +
           "." + py::str(type.attr("__qualname__")).cast<std::string>();
  }

 private:
  py::object obj_, graph_, nx_;
  mutable std::map<std::string, std::optional<OpFunction>> cache_;
};

// A Python attribute dictionary as a node's attributes.
void SetAttrs(AttrDict& attrs, const py::dict& d, const std::string& node) {
  for (const auto& [k, v] : d) {
    const std::string key = py::str(k).cast<std::string>();
    const std::string place = node.empty() ? "node" : "node '" + node + "'";
    attrs.set(key, ToValue(v, place + " attribute '" + key + "'"));
  }
}

// The op of a node of `g`, when it is a text.
const std::string* OpOf(const Graph& g, const std::string& node) {
  if (!g.qm_nx_graph.has_node(node)) return nullptr;
  const Value* op = g.qm_nx_graph.node(node).find("op");
  return op != nullptr && op->is_text() ? &op->as_text() : nullptr;
}

// Converts the arrays that the model will hold: those of constant and
// variable nodes (other entries are never read by the export). Their bytes
// are counted from shapes and element types first, so that an export too
// large for the format is refused before any array is copied (a broadcast
// view would be expanded by the copy).
void ConvertModelArrays(Graph& g, const py::dict& tensors,
                        const py::object& ext_constants) {
  std::vector<std::pair<std::string, py::handle>> kept;
  uint64_t data = 0;
  for (const auto& [k, v] : tensors) {
    const std::string key = py::str(k).cast<std::string>();
    const std::string* op = OpOf(g, key);
    if (op == nullptr || (*op != "constant" && *op != "variable")) continue;
    bool is_float64 = false;
    const uint64_t bytes = NominalBytes(v, &is_float64);
    data += ModelDataBytes(*op, is_float64 ? DType::kFloat64 : DType::kFloat32,
                           bytes);
    // Checked at every step, so that the sum cannot wrap around.
    CheckModelDataBytes(data);
    kept.emplace_back(key, v);
  }
  if (!ext_constants.is_none()) {
    // Written as float32.
    for (const auto& [k, v] : ext_constants.cast<py::dict>()) {
      if (py::isinstance<py::array>(v)) {
        data += std::min<uint64_t>(v.attr("size").cast<uint64_t>(),
                                   kMaxModelBytes) *
                4;
        CheckModelDataBytes(data);
      }
    }
  }
  CheckModelDataBytes(data);
  for (const auto& [key, v] : kept) {
    g.tensor_dict.set(key, ToArray(v, "tensor_dict '" + key + "'"));
  }
}

std::optional<std::vector<std::string>> Names(const py::object& o) {
  if (o.is_none()) return std::nullopt;
  return o.cast<std::vector<std::string>>();
}

// Builds the C++ graph from the Python one, runs the export and reports
// what changed, so the caller's objects can be updated.
py::bytes Run(py::object graph, const std::string& name, py::dict opts,
              py::list user_exporters, py::dict changes) {
  Graph g;
  py::object nx = graph.attr("qm_nx_graph");
  for (const py::handle n : nx.attr("nodes")) {
    const std::string node_name = py::str(n).cast<std::string>();
    SetAttrs(g.qm_nx_graph.add_node(node_name), nx.attr("nodes")[n], node_name);
  }
  for (const py::handle n : nx.attr("nodes")) {
    for (const py::handle s : nx.attr("successors")(n)) {
      g.qm_nx_graph.add_edge(py::str(n).cast<std::string>(),
                             py::str(s).cast<std::string>());
    }
  }
  g.orig_inputs = graph.attr("orig_inputs").cast<std::vector<std::string>>();
  g.orig_outputs = graph.attr("orig_outputs").cast<std::vector<std::string>>();
  ConvertModelArrays(g, graph.attr("tensor_dict"), opts["ext_constants"]);
  // What the export may change, as it was before.
  std::vector<AttrDict> before;
  for (uint32_t i = 0; i < g.qm_nx_graph.number_of_nodes(); ++i) {
    before.push_back(g.qm_nx_graph.attrs_of(i));
  }
  std::map<std::string, const void*> tensor_before;
  for (const auto& [k, a] : g.tensor_dict) tensor_before[k] = a.data();
  const std::size_t edges_before = g.qm_nx_graph.number_of_edges();

  std::ostringstream diagnostics;
  ExportOptions o;
  o.mem_map = opts["mem_map"].cast<bool>();
  o.opt_map = opts["opt_map"].cast<bool>();
  if (!opts["save_map"].is_none())
    o.save_map = py::str(opts["save_map"]).cast<std::string>();
  o.save_layers = std::make_shared<std::vector<std::string>>(
      opts["save_layers"].cast<std::vector<std::string>>());
  const std::size_t saved_before = o.save_layers->size();
  o.copy_layers = std::make_shared<std::vector<CopyPair>>();
  for (const py::handle pair : opts["copy_layers"]) {
    o.copy_layers->push_back(py::cast<std::vector<std::string>>(pair));
  }
  if (!opts["svm"].is_none()) o.svm = py::str(opts["svm"]).cast<std::string>();
  if (!opts["ext_constants"].is_none()) {
    o.ext_constants.emplace();
    for (const auto& [k, v] : opts["ext_constants"].cast<py::dict>()) {
      const std::string key = py::str(k).cast<std::string>();
      o.ext_constants->set(key, ToArray(v, "ext_constants '" + key + "'"));
    }
  }
  o.labels = Names(opts["labels"]);
  o.input_names = Names(opts["input_names"]);
  o.output_names = Names(opts["output_names"]);
  o.normalization = opts["normalization"].cast<std::string>();
  o.planner = opts["planner"].cast<std::string>();
  for (const py::handle u : user_exporters) {
    auto user = std::make_shared<PyUserExporter>(
        py::reinterpret_borrow<py::object>(u), graph, nx);
    o.user_ops.push_back(Plugin{[user](SarnicExporter&) { return user; }});
  }
  o.diagnostics = &diagnostics;
  SarnicExporter e(g, name, std::move(o));
  // Reports the changes made to the graph, also when the export fails.
  auto report = [&] {
    py::module_::import("sys").attr("stdout").attr("write")(diagnostics.str());
    py::list nodes;
    for (uint32_t i = 0; i < g.qm_nx_graph.number_of_nodes(); ++i) {
      const AttrDict& now = g.qm_nx_graph.attrs_of(i);
      py::dict diff;
      for (const auto& [k, v] : now) {
        const Value* old = i < before.size() ? before[i].find(k) : nullptr;
        if (old == nullptr || !(*old == v)) diff[py::str(k)] = FromValue(v);
      }
      if (i >= before.size() || py::len(diff) > 0) {
        nodes.append(py::make_tuple(g.qm_nx_graph.name_of(i), diff));
      }
    }
    py::list new_edges;
    const auto& edges = g.qm_nx_graph.edges();
    for (std::size_t k = edges_before; k < edges.size(); ++k) {
      new_edges.append(py::make_tuple(g.qm_nx_graph.name_of(edges[k].first),
                                      g.qm_nx_graph.name_of(edges[k].second)));
    }
    py::dict new_tensors;
    for (const auto& [k, a] : g.tensor_dict) {
      auto it = tensor_before.find(k);
      if (it == tensor_before.end() || it->second != a.data()) {
        new_tensors[py::str(k)] = FromArray(a);
      }
    }
    py::list saved;
    for (std::size_t k = saved_before; k < e.save_layers->size(); ++k) {
      saved.append((*e.save_layers)[k]);
    }
    changes["nodes"] = nodes;
    changes["edges"] = new_edges;
    changes["tensors"] = new_tensors;
    changes["saved"] = saved;
    if (e.input_names) changes["input_names"] = *e.input_names;
    if (e.output_names) changes["output_names"] = *e.output_names;
  };
  try {
    ModelBuffer buf = e.run();
    py::bytes model(reinterpret_cast<const char*>(buf.data()), buf.size());
    report();
    return model;
  } catch (...) {
    report();
    throw;
  }
}

}  // namespace

namespace {

void BindSchema(py::module_& m) {
  py::module_ s =
      m.def_submodule("snxf", "The model schema's table operations.");
  py::enum_<snxf::Op>(s, "Op")
      .value("none", snxf::Op::none)
      .value("abs", snxf::Op::abs)
      .value("add", snxf::Op::add)
      .value("batchnorm", snxf::Op::batchnorm)
      .value("concat", snxf::Op::concat)
      .value("constant", snxf::Op::constant)
      .value("conv2d", snxf::Op::conv2d)
      .value("copy", snxf::Op::copy)
      .value("deconv2d", snxf::Op::deconv2d)
      .value("dense", snxf::Op::dense)
      .value("dequant", snxf::Op::dequant)
      .value("divide", snxf::Op::divide)
      .value("exp", snxf::Op::exp)
      .value("gru", snxf::Op::gru)
      .value("input", snxf::Op::input)
      .value("leaky_relu", snxf::Op::leaky_relu)
      .value("linear", snxf::Op::linear)
      .value("log", snxf::Op::log)
      .value("matmul", snxf::Op::matmul)
      .value("multiply", snxf::Op::multiply)
      .value("pad", snxf::Op::pad)
      .value("pool2d", snxf::Op::pool2d)
      .value("pow", snxf::Op::pow)
      .value("prelu", snxf::Op::prelu)
      .value("quant", snxf::Op::quant)
      .value("reduce_max", snxf::Op::reduce_max)
      .value("reduce_mean", snxf::Op::reduce_mean)
      .value("reduce_min", snxf::Op::reduce_min)
      .value("reduce_product", snxf::Op::reduce_product)
      .value("reduce_sum", snxf::Op::reduce_sum)
      .value("relu", snxf::Op::relu)
      .value("relu6", snxf::Op::relu6)
      .value("reshape", snxf::Op::reshape)
      .value("resize", snxf::Op::resize)
      .value("rsqrt", snxf::Op::rsqrt)
      .value("shuffle", snxf::Op::shuffle)
      .value("sigmoid", snxf::Op::sigmoid)
      .value("slice", snxf::Op::slice)
      .value("softmax", snxf::Op::softmax)
      .value("sqrt", snxf::Op::sqrt)
      .value("subtract", snxf::Op::subtract)
      .value("svm_decision_stats", snxf::Op::svm_decision_stats)
      .value("svm_soft_probability", snxf::Op::svm_soft_probability)
      .value("svm_update_kernel", snxf::Op::svm_update_kernel)
      .value("swish", snxf::Op::swish)
      .value("tanh", snxf::Op::tanh)
      .value("variable", snxf::Op::variable);
  py::enum_<snxf::Datatype>(s, "Datatype")
      .value("I8", snxf::Datatype::I8)
      .value("U8", snxf::Datatype::U8)
      .value("I16", snxf::Datatype::I16)
      .value("U16", snxf::Datatype::U16)
      .value("I32", snxf::Datatype::I32)
      .value("U32", snxf::Datatype::U32)
      .value("I64", snxf::Datatype::I64)
      .value("U64", snxf::Datatype::U64)
      .value("F32", snxf::Datatype::F32)
      .value("F64", snxf::Datatype::F64);
  s.def("ModelStart", [](Builder& b) { return snxf::ModelStart(b.get()); });
  s.def("ModelAddLayers",
        [](Builder& b, Offset v) { return snxf::ModelAddLayers(b.get(), v); });
  s.def("ModelStartLayersVector", [](Builder& b, std::size_t v) {
    return snxf::ModelStartLayersVector(b.get(), v);
  });
  s.def("ModelAddName",
        [](Builder& b, Offset v) { return snxf::ModelAddName(b.get(), v); });
  s.def("ModelAddCreator",
        [](Builder& b, Offset v) { return snxf::ModelAddCreator(b.get(), v); });
  s.def("ModelAddBlockCount", [](Builder& b, uint32_t v) {
    return snxf::ModelAddBlockCount(b.get(), v);
  });
  s.def("ModelAddBlockSize", [](Builder& b, uint32_t v) {
    return snxf::ModelAddBlockSize(b.get(), v);
  });
  s.def("ModelAddLabels",
        [](Builder& b, Offset v) { return snxf::ModelAddLabels(b.get(), v); });
  s.def("ModelStartLabelsVector", [](Builder& b, std::size_t v) {
    return snxf::ModelStartLabelsVector(b.get(), v);
  });
  s.def("ModelAddMeta",
        [](Builder& b, Offset v) { return snxf::ModelAddMeta(b.get(), v); });
  s.def("ModelStartMetaVector", [](Builder& b, std::size_t v) {
    return snxf::ModelStartMetaVector(b.get(), v);
  });
  s.def("ModelAddInputs",
        [](Builder& b, Offset v) { return snxf::ModelAddInputs(b.get(), v); });
  s.def("ModelStartInputsVector", [](Builder& b, std::size_t v) {
    return snxf::ModelStartInputsVector(b.get(), v);
  });
  s.def("ModelAddOutputs",
        [](Builder& b, Offset v) { return snxf::ModelAddOutputs(b.get(), v); });
  s.def("ModelStartOutputsVector", [](Builder& b, std::size_t v) {
    return snxf::ModelStartOutputsVector(b.get(), v);
  });
  s.def("ModelEnd", [](Builder& b) { return snxf::ModelEnd(b.get()); });
  s.def("ResourceStart",
        [](Builder& b) { return snxf::ResourceStart(b.get()); });
  s.def("ResourceAddName",
        [](Builder& b, Offset v) { return snxf::ResourceAddName(b.get(), v); });
  s.def("ResourceAddMeta",
        [](Builder& b, Offset v) { return snxf::ResourceAddMeta(b.get(), v); });
  s.def("ResourceAddData",
        [](Builder& b, Offset v) { return snxf::ResourceAddData(b.get(), v); });
  s.def("ResourceStartDataVector", [](Builder& b, std::size_t v) {
    return snxf::ResourceStartDataVector(b.get(), v);
  });
  s.def("ResourceEnd", [](Builder& b) { return snxf::ResourceEnd(b.get()); });
  s.def("LayerStart", [](Builder& b) { return snxf::LayerStart(b.get()); });
  s.def("LayerAddType",
        [](Builder& b, snxf::Op v) { return snxf::LayerAddType(b.get(), v); });
  s.def("LayerAddName",
        [](Builder& b, Offset v) { return snxf::LayerAddName(b.get(), v); });
  s.def("LayerAddShape",
        [](Builder& b, Offset v) { return snxf::LayerAddShape(b.get(), v); });
  s.def("LayerStartShapeVector", [](Builder& b, std::size_t v) {
    return snxf::LayerStartShapeVector(b.get(), v);
  });
  s.def("LayerAddInputs",
        [](Builder& b, Offset v) { return snxf::LayerAddInputs(b.get(), v); });
  s.def("LayerStartInputsVector", [](Builder& b, std::size_t v) {
    return snxf::LayerStartInputsVector(b.get(), v);
  });
  s.def("LayerAddParams",
        [](Builder& b, Offset v) { return snxf::LayerAddParams(b.get(), v); });
  s.def("LayerStartParamsVector", [](Builder& b, std::size_t v) {
    return snxf::LayerStartParamsVector(b.get(), v);
  });
  s.def("LayerAddBlock",
        [](Builder& b, uint32_t v) { return snxf::LayerAddBlock(b.get(), v); });
  s.def("LayerAddDatatype", [](Builder& b, snxf::Datatype v) {
    return snxf::LayerAddDatatype(b.get(), v);
  });
  s.def("LayerAddScale",
        [](Builder& b, Offset v) { return snxf::LayerAddScale(b.get(), v); });
  s.def("LayerStartScaleVector", [](Builder& b, std::size_t v) {
    return snxf::LayerStartScaleVector(b.get(), v);
  });
  s.def("LayerAddZero",
        [](Builder& b, Offset v) { return snxf::LayerAddZero(b.get(), v); });
  s.def("LayerStartZeroVector", [](Builder& b, std::size_t v) {
    return snxf::LayerStartZeroVector(b.get(), v);
  });
  s.def("LayerAddAxis",
        [](Builder& b, int32_t v) { return snxf::LayerAddAxis(b.get(), v); });
  s.def("LayerAddPanelSize", [](Builder& b, int32_t v) {
    return snxf::LayerAddPanelSize(b.get(), v);
  });
  s.def("LayerEnd", [](Builder& b) { return snxf::LayerEnd(b.get()); });
  s.def("TensorStart", [](Builder& b) { return snxf::TensorStart(b.get()); });
  s.def("TensorAddName",
        [](Builder& b, Offset v) { return snxf::TensorAddName(b.get(), v); });
  s.def("TensorAddShape",
        [](Builder& b, Offset v) { return snxf::TensorAddShape(b.get(), v); });
  s.def("TensorStartShapeVector", [](Builder& b, std::size_t v) {
    return snxf::TensorStartShapeVector(b.get(), v);
  });
  s.def("TensorAddDataStr", [](Builder& b, Offset v) {
    return snxf::TensorAddDataStr(b.get(), v);
  });
  s.def("TensorAddDataRaw", [](Builder& b, Offset v) {
    return snxf::TensorAddDataRaw(b.get(), v);
  });
  s.def("TensorAddDataI8",
        [](Builder& b, Offset v) { return snxf::TensorAddDataI8(b.get(), v); });
  s.def("TensorAddDataI16", [](Builder& b, Offset v) {
    return snxf::TensorAddDataI16(b.get(), v);
  });
  s.def("TensorAddDataI32", [](Builder& b, Offset v) {
    return snxf::TensorAddDataI32(b.get(), v);
  });
  s.def("TensorAddDataF32", [](Builder& b, Offset v) {
    return snxf::TensorAddDataF32(b.get(), v);
  });
  s.def("TensorEnd", [](Builder& b) { return snxf::TensorEnd(b.get()); });
}

void BindBuilder(py::module_& m) {
  py::class_<Builder, std::shared_ptr<Builder>>(m, "Builder")
      .def("CreateString",
           [](Builder& b, const py::object& s) {
             return b.get().CreateString(py::isinstance<py::bytes>(s)
                                             ? s.cast<std::string>()
                                             : py::str(s).cast<std::string>());
           })
      .def("StartVector",
           [](Builder& b, std::size_t elem, std::size_t count,
              std::size_t align) { b.get().StartVector(elem, count, align); })
      .def("EndVector",
           [](Builder& b, std::size_t n) { return b.get().EndVector(n); })
      .def("PrependByte", [](Builder& b, int8_t v) { b.get().PrependByte(v); })
      .def("PrependUint8",
           [](Builder& b, uint8_t v) { b.get().PrependUint8(v); })
      .def("PrependInt16",
           [](Builder& b, int16_t v) { b.get().PrependInt16(v); })
      .def("PrependInt32",
           [](Builder& b, int32_t v) { b.get().PrependInt32(v); })
      .def("PrependUint32",
           [](Builder& b, uint32_t v) { b.get().PrependUint32(v); })
      .def("PrependFloat32",
           [](Builder& b, float v) { b.get().PrependFloat32(v); })
      .def("PrependUOffsetTRelative",
           [](Builder& b, Offset v) { b.get().PrependUOffsetTRelative(v); })
      .def("PrependSOffsetTRelative",
           [](Builder& b, Offset v) { b.get().PrependSOffsetTRelative(v); });
}

// export_tensor and generate_layer depend on nothing but their arguments;
// an exporter over an empty graph serves them.
Offset ExportTensor(Builder& b, const std::string& name,
                    const py::object& shape, const py::object& data) {
  Graph g;
  SarnicExporter e(g, "");
  std::optional<Shape> s;
  if (!shape.is_none()) s = shape.cast<std::vector<int64_t>>();
  return e.export_tensor(b.get(), name, s,
                         data.is_none() ? Value() : ToValue(data, "data"));
}

Offset GenerateLayer(Builder& b, const py::dict& node, snxf::Op op, Offset name,
                     Offset shape, Offset inputs, Offset params) {
  Graph g;
  SarnicExporter e(g, "");
  AttrDict attrs;
  SetAttrs(attrs, node, "");
  return e.generate_layer(b.get(), attrs, op, name, shape, inputs, params);
}

py::tuple LoadGraphFile(const std::string& path) {
  const std::unique_ptr<Graph> g = LoadGraph(path);
  py::list nodes, edges;
  for (uint32_t i = 0; i < g->qm_nx_graph.number_of_nodes(); ++i) {
    py::dict attrs;
    for (const auto& [k, v] : g->qm_nx_graph.attrs_of(i))
      attrs[py::str(k)] = FromValue(v);
    nodes.append(py::make_tuple(g->qm_nx_graph.name_of(i), attrs));
  }
  for (const auto& [a, b] : g->qm_nx_graph.edges()) {
    edges.append(
        py::make_tuple(g->qm_nx_graph.name_of(a), g->qm_nx_graph.name_of(b)));
  }
  py::dict tensors;
  for (const auto& [k, a] : g->tensor_dict) tensors[py::str(k)] = FromArray(a);
  return py::make_tuple(nodes, edges, g->orig_inputs, g->orig_outputs, tensors);
}

void SaveGraphFile(const py::list& nodes, const py::list& edges,
                   const std::vector<std::string>& inputs,
                   const std::vector<std::string>& outputs,
                   const py::dict& tensors, const std::string& path,
                   const std::optional<std::string>& weights) {
  Graph g;
  for (const py::handle n : nodes) {
    const auto t = n.cast<py::tuple>();
    const std::string name = py::str(t[0]).cast<std::string>();
    SetAttrs(g.qm_nx_graph.add_node(name), t[1].cast<py::dict>(), name);
  }
  for (const py::handle e : edges) {
    const auto t = e.cast<py::tuple>();
    g.qm_nx_graph.add_edge(py::str(t[0]).cast<std::string>(),
                           py::str(t[1]).cast<std::string>());
  }
  g.orig_inputs = inputs;
  g.orig_outputs = outputs;
  for (const auto& [k, v] : tensors) {
    const std::string key = py::str(k).cast<std::string>();
    g.tensor_dict.set(key, ToArray(v, "tensor_dict '" + key + "'"));
  }
  SaveGraph(g, path, weights);
}

}  // namespace

}  // namespace sarnic::python

PYBIND11_MODULE(_core, m) {
  using namespace sarnic;
  using namespace sarnic::python;
  m.doc() = "The SNX exporter's native core.";
  // The library's errors as Python's own exceptions.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const ValueError& e) {
      py::object err = py::module_::import("builtins")
                           .attr("ValueError")(e.message(), e.detail());
      PyErr_SetObject(PyExc_ValueError, err.ptr());
    } catch (const KeyError& e) {
      py::object err =
          py::module_::import("builtins").attr("KeyError")(e.key(), e.what());
      PyErr_SetObject(PyExc_KeyError, err.ptr());
    } catch (const TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const IoError& e) {
      PyErr_SetString(PyExc_OSError, e.what());
    } catch (const Error& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });
  BindBuilder(m);
  BindSchema(m);
  m.def("run", &Run, "Exports a graph; fills `changes` with what it changed.");
  m.def("export_tensor", &ExportTensor, py::arg("builder"), py::arg("name"),
        py::arg("shape") = py::none(), py::arg("data") = py::none());
  m.def("generate_layer", &GenerateLayer, py::arg("builder"), py::arg("node"),
        py::arg("op"), py::arg("name"), py::arg("shape"), py::arg("inputs") = 0,
        py::arg("params") = 0);
  m.def("load_graph", &LoadGraphFile);
  m.def("save_graph", &SaveGraphFile);
}
