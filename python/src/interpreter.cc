// The reference interpreter for Python: a model from bytes or a path, its
// inputs and outputs described, runs on NumPy arrays.
#include "sarnic/interpreter.h"

#include <pybind11/stl.h>

#include <set>

#include "bindings.h"
#include "convert.h"

namespace sarnic::python {

namespace {

// A name from the model as a Python text: one that is not UTF-8 is a
// ValueError naming it (escaped), not a bare UnicodeDecodeError.
py::str Name(const std::string& name, const char* what) {
  PyObject* text = PyUnicode_DecodeUTF8(
      name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
  if (text == nullptr) {
    PyErr_Clear();
    throw ValueError(std::string("The model's ") + what + " '" +
                         Printable(name) +
                         "' is not valid UTF-8; Python cannot name it",
                     "");
  }
  return py::reinterpret_steal<py::str>(text);
}

py::list Specs(const std::vector<TensorSpec>& specs, const char* what) {
  py::list out;
  for (const TensorSpec& s : specs) {
    out.append(py::make_tuple(Name(s.name, what), py::tuple(py::cast(s.shape)),
                              std::string(DTypeName(s.dtype))));
  }
  return out;
}

Interpreter LoadUnchecked(const py::object& model, const Limits& limits) {
  if (py::isinstance<py::bytes>(model)) {
    const auto bytes = model.cast<std::string>();
    return Interpreter::FromBytes(
        std::vector<uint8_t>(bytes.begin(), bytes.end()), limits);
  }
  const auto path = TextOf(model, "the model path");
  py::gil_scoped_release release;
  return Interpreter::FromFile(path, limits);
}

// The model, refused at once when Python could not name its inputs and
// outputs (rather than after a run has computed them), or when two of its
// outputs share a name (a dict of results would keep only one).
Interpreter Load(const py::object& model, const py::object& max_memory,
                 const py::object& max_operations) {
  Limits limits;
  if (!max_memory.is_none()) {
    if (!py::isinstance<py::int_>(max_memory) ||
        py::isinstance<py::bool_>(max_memory)) {
      throw TypeError("max_memory must be a whole number of bytes");
    }
    const auto bytes = max_memory.cast<py::int_>();
    if (bytes < py::int_(0) || bytes > py::int_(UINT64_MAX)) {
      throw ValueError("max_memory must be between 0 and 2**64 - 1 bytes");
    }
    limits.max_memory = bytes.cast<uint64_t>();
  }
  if (!max_operations.is_none()) {
    if (!(py::isinstance<py::int_>(max_operations) ||
          py::isinstance<py::float_>(max_operations)) ||
        py::isinstance<py::bool_>(max_operations)) {
      throw TypeError("max_operations must be a number");
    }
    limits.max_operations = max_operations.cast<double>();
    if (!(limits.max_operations > 0)) {
      throw ValueError("max_operations must be a positive number");
    }
  }
  Interpreter it = LoadUnchecked(model, limits);
  Specs(it.inputs(), "input");
  Specs(it.outputs(), "output");
  std::set<std::string> seen;
  for (const TensorSpec& s : it.outputs()) {
    if (!seen.insert(s.name).second) {
      throw ValueError("The model has two outputs named '" + Printable(s.name) +
                           "'; a dict of results cannot hold both",
                       "");
    }
  }
  return it;
}

py::dict RunModel(const Interpreter& model, const py::dict& inputs,
                  bool all_layers, bool separate_buffers, int threads) {
  std::map<std::string, NdArray> arrays;
  for (const auto& [key, value] : inputs) {
    const std::string name = TextOf(key, "an input name");
    arrays.emplace(name, ToArray(value, "input '" + name + "'"));
  }
  std::vector<NamedArray> results;
  {
    py::gil_scoped_release release;
    RunOptions options;
    options.all_layers = all_layers;
    options.separate_buffers = separate_buffers;
    options.threads = threads;
    results = model.Run(arrays, options);
  }
  py::dict out;
  for (const NamedArray& r : results) {
    const py::str name = Name(r.name, all_layers ? "layer" : "output");
    if (out.contains(name)) {
      throw ValueError("The model has two layers named '" + Printable(r.name) +
                           "'; a dict of every layer's result cannot hold "
                           "both",
                       "");
    }
    out[name] = FromArray(r.array);
  }
  return out;
}

// The benchmark's figures as a dict (the typed object is the package's):
// random inputs unless `inputs` gives them.
py::dict BenchmarkModel(const Interpreter& model, int runs, int warmup,
                        const py::object& inputs, int threads) {
  std::map<std::string, NdArray> arrays;
  if (inputs.is_none()) {
    arrays = model.RandomInputs();
  } else {
    for (const auto& [key, value] : py::dict(inputs)) {
      const std::string name = TextOf(key, "an input name");
      arrays.emplace(name, ToArray(value, "input '" + name + "'"));
    }
  }
  BenchmarkResult r;
  {
    py::gil_scoped_release release;
    r = model.Benchmark(arrays, {runs, warmup, threads});
  }
  const auto layers = [](const std::vector<BenchmarkResult::LayerTime>& ls) {
    py::list out;
    for (const auto& l : ls) {
      out.append(py::make_tuple(py::str(Printable(l.name)), l.type, l.seconds));
    }
    return out;
  };
  py::list types;
  for (const auto& t : r.by_type) {
    types.append(py::make_tuple(t.type, t.layers, t.seconds));
  }
  py::dict d;
  d["runs"] = r.runs;
  d["warmup"] = r.warmup;
  d["kernels"] = r.kernels;
  d["threads"] = r.threads;
  d["median"] = r.median;
  d["minimum"] = r.minimum;
  d["maximum"] = r.maximum;
  d["arena_bytes"] = r.arena_bytes;
  d["peak_memory_bytes"] = r.peak_memory_bytes;
  d["layer_seconds"] = r.layer_seconds;
  d["layers"] = layers(r.layers);
  d["slowest"] = layers(r.slowest);
  d["by_type"] = types;
  d["text"] = r.Text();
  return d;
}

}  // namespace

void BindInterpreter(py::module_& m) {
  py::class_<Interpreter>(m, "Interpreter")
      .def(py::init(&Load), py::arg("model"), py::kw_only(),
           py::arg("max_memory") = py::none(),
           py::arg("max_operations") = py::none())
      .def_property_readonly(
          "inputs",
          [](const Interpreter& i) { return Specs(i.inputs(), "input"); })
      .def_property_readonly(
          "outputs",
          [](const Interpreter& i) { return Specs(i.outputs(), "output"); })
      .def_property_readonly("arena_bytes", &Interpreter::arena_bytes)
      .def_property_readonly("operations", &Interpreter::operations)
      .def("run", &RunModel, py::arg("inputs"), py::arg("all_layers") = false,
           py::arg("separate_buffers") = false, py::arg("threads") = 1)
      .def("benchmark", &BenchmarkModel, py::arg("runs"), py::arg("warmup"),
           py::arg("inputs"), py::arg("threads"));
}

}  // namespace sarnic::python
