// The export of a Python graph: the export run into a Python bytes object,
// its lines on Python's standard output, and what it changed reported back
// for the caller's objects (the graph and options come in by
// export_args.cc).
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <sstream>
#include <streambuf>
#include <string_view>
#include <type_traits>

#include "bindings.h"
#include "convert.h"
#include "export_args.h"
#include "sarnic/analysis.h"
#include "sarnic/checker.h"
#include "sarnic/errors.h"
#include "sarnic/operations.h"

namespace sarnic::python {

namespace {

uint64_t Mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  return h * 0xff51afd7ed558ccdULL;
}
uint64_t FingerprintOf(const Value& v) {
  uint64_t h = static_cast<uint64_t>(v.kind()) + 1;
  switch (v.kind()) {
    case Value::Kind::kNone:
      return h;
    case Value::Kind::kBool:
    case Value::Kind::kInt:
      return Mix(h, static_cast<uint64_t>(v.as_int()));
    case Value::Kind::kReal: {
      const double d = v.as_real();
      uint64_t bits = 0;
      std::memcpy(&bits, &d, sizeof bits);
      return Mix(h, bits);
    }
    case Value::Kind::kText:
      return Mix(h, std::hash<std::string>{}(v.as_text()));
    case Value::Kind::kList:
      for (const Value& item : v.as_list()) h = Mix(h, FingerprintOf(item));
      return Mix(h, v.as_list().size());
    case Value::Kind::kDict:
      for (const auto& [k, item] : v.as_dict()) {
        h = Mix(Mix(h, std::hash<std::string>{}(k)), FingerprintOf(item));
      }
      return h;
    case Value::Kind::kArray: {
      const NdArray& a = v.as_array();
      h = Mix(h, static_cast<uint64_t>(a.dtype()));
      for (int64_t d : a.shape()) h = Mix(h, static_cast<uint64_t>(d));
      const std::span<const std::byte> bytes = a.bytes();
      return Mix(
          h, std::hash<std::string_view>{}(std::string_view(
                 reinterpret_cast<const char*>(bytes.data()), bytes.size())));
    }
  }
  return h;
}
uint64_t Fingerprint(const std::string& key, const Value& v) {
  return Mix(std::hash<std::string>{}(key), FingerprintOf(v));
}

// The graph as it was before the export, to report what the export changed.
class Changes {
 public:
  Changes(const Graph& g, std::size_t saved_before)
      : edges_before_(g.qm_nx_graph.number_of_edges()),
        saved_before_(saved_before) {
    // A fingerprint of each attribute (its name and value), in order, not a
    // copy of the graph: a few bytes per attribute.
    before_.reserve(g.qm_nx_graph.number_of_nodes());
    for (uint32_t i = 0; i < g.qm_nx_graph.number_of_nodes(); ++i) {
      std::vector<uint64_t>& prints = before_.emplace_back();
      for (const auto& [k, v] : g.qm_nx_graph.attrs_of(i)) {
        prints.push_back(Fingerprint(k, v));
      }
    }
    for (const auto& [k, a] : g.tensor_dict) tensor_before_[k] = a.data();
  }

  // Fills `changes` with the changed and new nodes, the new edges, the
  // replaced arrays, the layers saved by the export and the names used.
  void Report(const Graph& g, const SarnicExporter& e,
              py::dict& changes) const {
    changes["nodes"] = Nodes(g.qm_nx_graph);
    py::list new_edges;
    const auto& edges = g.qm_nx_graph.edges();
    for (std::size_t k = edges_before_; k < edges.size(); ++k) {
      new_edges.append(py::make_tuple(g.qm_nx_graph.name_of(edges[k].first),
                                      g.qm_nx_graph.name_of(edges[k].second)));
    }
    changes["edges"] = new_edges;
    py::dict new_tensors;
    for (const auto& [k, a] : g.tensor_dict) {
      auto it = tensor_before_.find(k);
      if (it == tensor_before_.end() || it->second != a.data()) {
        new_tensors[py::str(k)] = FromArray(a);
      }
    }
    changes["tensors"] = new_tensors;
    py::list saved;
    const auto& save_layers = *e.options.save_layers;
    for (std::size_t k = saved_before_; k < save_layers.size(); ++k) {
      saved.append(save_layers[k]);
    }
    changes["saved"] = saved;
    if (e.options.input_names) {
      changes["input_names"] = *e.options.input_names;
    }
    if (e.options.output_names) {
      changes["output_names"] = *e.options.output_names;
    }
  }

 private:
  // Each node's attributes that are new or changed: an attribute whose
  // fingerprint at its position differs (the export adds attributes at the
  // end and changes values in place; it removes none).
  py::list Nodes(const DiGraph& g) const {
    py::list nodes;
    for (uint32_t i = 0; i < g.number_of_nodes(); ++i) {
      py::dict diff;
      std::size_t position = 0;
      for (const auto& [k, v] : g.attrs_of(i)) {
        const bool same = i < before_.size() && position < before_[i].size() &&
                          before_[i][position] == Fingerprint(k, v);
        if (!same) diff[py::str(k)] = FromValue(v);
        ++position;
      }
      if (i >= before_.size() || py::len(diff) > 0) {
        nodes.append(py::make_tuple(g.name_of(i), diff));
      }
    }
    return nodes;
  }

  std::vector<std::vector<uint64_t>> before_;
  std::map<std::string, const void*> tensor_before_;
  std::size_t edges_before_;
  std::size_t saved_before_;
};

// Builds the model in the storage of a Python bytes object, so that run()
// hands the model over without copying it: at the end the model is moved
// to the front of that storage and the object shrunk to it.
class BytesAllocator : public flatbuffers::Allocator {
 public:
  ~BytesAllocator() override { Py_XDECREF(bytes_); }

  uint8_t* allocate(size_t size) override {
    PyObject* bytes =
        PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(size));
    if (bytes == nullptr) throw py::error_already_set();
    bytes_ = bytes;  // a grown buffer was moved to old_ first
    return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes));
  }

  void deallocate(uint8_t* p, size_t) override {
    // Growing allocates the new buffer before it frees the old one; the
    // current buffer is freed with this allocator (or taken).
    if (bytes_ != nullptr &&
        p == reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes_))) {
      if (!taken_) Py_CLEAR(bytes_);
      return;
    }
    for (auto it = old_.begin(); it != old_.end(); ++it) {
      if (p == reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(*it))) {
        Py_DECREF(*it);
        old_.erase(it);
        return;
      }
    }
  }

  uint8_t* reallocate_downward(uint8_t* old_p, size_t old_size, size_t new_size,
                               size_t in_use_back,
                               size_t in_use_front) override {
    PyObject* old = bytes_;
    bytes_ = nullptr;
    old_.push_back(old);
    return flatbuffers::Allocator::reallocate_downward(
        old_p, old_size, new_size, in_use_back, in_use_front);
  }

  // The model `buf` (in the current storage) as the bytes object itself.
  py::bytes Take(const ModelBuffer& buf) {
    auto* start = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes_));
    std::memmove(start, buf.data(), buf.size());
    taken_ = true;
    PyObject* bytes = bytes_;
    bytes_ = nullptr;
    if (_PyBytes_Resize(&bytes, static_cast<py::ssize_t>(buf.size())) != 0) {
      throw py::error_already_set();
    }
    return py::reinterpret_steal<py::bytes>(bytes);
  }

 private:
  PyObject* bytes_ = nullptr;
  std::vector<PyObject*> old_;
  bool taken_ = false;
};

// The export's diagnostic lines, written to Python's sys.stdout line by line
// while the export runs (the export holds the interpreter on this thread).
class PythonStdout : public std::streambuf {
 public:
  ~PythonStdout() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    line_ += static_cast<char>(c);
    if (c == '\n') sync();
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) overflow(s[i]);
    return n;
  }
  int sync() override {
    if (line_.empty()) return 0;
    try {
      py::module_::import("sys").attr("stdout").attr("write")(line_);
    } catch (const py::error_already_set&) {
      // A closed or broken stdout loses the line, not the export.
    }
    line_.clear();
    return 0;
  }

 private:
  std::string line_;
};

// Exports the graph of the Python exporter `exporter` and fills `changes`
// with what the export changed, also when it fails.
py::bytes Run(const py::object& exporter, py::dict changes) {
  const py::object graph = exporter.attr("graph");
  Graph g;
  // The arrays are measured before any of them is copied.
  ConvertGraph(graph, exporter.attr("ext_constants"), g);
  BytesAllocator allocator;  // outlives the model buffer below
  ExportOptions o = OptionsOf(exporter);
  o.allocator = &allocator;
  const Changes before(g, o.save_layers->size());
  const py::object nx = graph.attr("qm_nx_graph");
  for (const py::handle u : exporter.attr("user_ops")) {
    auto user = std::make_shared<PyUserExporter>(
        py::reinterpret_borrow<py::object>(u), graph, nx);
    o.user_ops.push_back(Plugin{[user](SarnicExporter&) { return user; }});
  }
  PythonStdout out_buffer;
  std::ostream diagnostics(&out_buffer);
  o.diagnostics = &diagnostics;
  SarnicExporter e(g, exporter.attr("name").cast<std::string>(), std::move(o));
  auto report = [&] {
    diagnostics.flush();
    before.Report(g, e, changes);
  };
  try {
    ModelBuffer buf = e.run();
    py::bytes model = allocator.Take(buf);
    report();
    return model;
  } catch (...) {
    report();
    throw;
  }
}

// The checker's findings on the Python graph, as (node, attribute,
// message, severity) tuples.
py::list CheckPythonGraph(const py::object& graph, bool plans_arena) {
  Graph g;
  ConvertGraph(graph, py::none(), g);
  py::list out;
  for (const Finding& f : CheckGraph(g, {.plans_arena = plans_arena})) {
    out.append(
        py::make_tuple(f.node, f.attribute, f.message,
                       f.severity == Severity::kError ? "error" : "warning"));
  }
  return out;
}

// The plan verifier's violations on a model's bytes.
std::vector<std::string> VerifyModelBytes(const py::bytes& model) {
  const std::string_view bytes = model;
  return VerifyModel(
      {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

}  // namespace

namespace {

// The options of one value: (name, kind, choices), kind "switch", "text"
// or "path", choices empty for any value.
py::list ValueOptions() {
  py::list out;
  auto kind = [](const auto& field) {
    using T = std::decay_t<decltype(field)>;
    if constexpr (std::is_same_v<T, bool>) return "switch";
    if constexpr (std::is_same_v<T, std::string>) return "text";
    return "path";
  };
  const ExportOptions defaults;
  auto choices = [](const char* c) { return py::cast(OptionChoices(c)); };
#define SARNIC_PY_DESCRIBE(Type, name, default_value, flag, choices_text, \
                           help)                                          \
  out.append(py::make_tuple(#name, kind(defaults.name), choices(choices_text)));
  SARNIC_VALUE_OPTIONS(SARNIC_PY_DESCRIBE)
#undef SARNIC_PY_DESCRIBE
  return out;
}

}  // namespace

void BindRun(py::module_& m) {
  m.def("value_options", &ValueOptions,
        "The export options of one value: (name, kind, choices), kind "
        "'switch', 'text' or 'path'.");
  m.def("verify_model", &VerifyModelBytes, py::arg("model"),
        "The plan verifier's violations on a model's bytes; empty when the "
        "model is sound.");
  m.def("check_graph", &CheckPythonGraph, py::arg("graph"),
        py::arg("plans_arena") = true,
        "The checker's findings on a graph: (node, attribute, message, "
        "severity).");
  m.def("run", &Run, py::arg("exporter"), py::arg("changes"),
        "Exports the graph of a SarnicExporter; fills `changes` with what "
        "the export changed.");
}

}  // namespace sarnic::python
