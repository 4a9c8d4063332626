// The reference interpreter for Python: a model from bytes or a path, its
// inputs and outputs described, runs on NumPy arrays.
#include "sarnic/interpreter.h"

#include <pybind11/stl.h>

#include "bindings.h"
#include "convert.h"

namespace sarnic::python {

namespace {

py::list Specs(const std::vector<TensorSpec>& specs) {
  py::list out;
  for (const TensorSpec& s : specs) {
    out.append(py::make_tuple(s.name, py::tuple(py::cast(s.shape)),
                              std::string(DTypeName(s.dtype))));
  }
  return out;
}

Interpreter Load(const py::object& model) {
  if (py::isinstance<py::bytes>(model)) {
    const auto bytes = model.cast<std::string>();
    return Interpreter::FromBytes(
        std::vector<uint8_t>(bytes.begin(), bytes.end()));
  }
  const auto path = TextOf(model, "the model path");
  py::gil_scoped_release release;
  return Interpreter::FromFile(path);
}

py::dict RunModel(const Interpreter& model, const py::dict& inputs,
                  bool all_layers, bool separate_buffers) {
  std::map<std::string, NdArray> arrays;
  for (const auto& [key, value] : inputs) {
    const std::string name = TextOf(key, "an input name");
    arrays.emplace(name, ToArray(value, "input '" + name + "'"));
  }
  std::vector<NamedArray> results;
  {
    py::gil_scoped_release release;
    results = model.Run(arrays, {all_layers, separate_buffers});
  }
  py::dict out;
  for (const NamedArray& r : results) out[py::str(r.name)] = FromArray(r.array);
  return out;
}

}  // namespace

void BindInterpreter(py::module_& m) {
  py::class_<Interpreter>(m, "Interpreter")
      .def(py::init(&Load), py::arg("model"))
      .def_property_readonly(
          "inputs", [](const Interpreter& i) { return Specs(i.inputs()); })
      .def_property_readonly(
          "outputs", [](const Interpreter& i) { return Specs(i.outputs()); })
      .def_property_readonly("arena_bytes", &Interpreter::arena_bytes)
      .def("run", &RunModel, py::arg("inputs"), py::arg("all_layers") = false,
           py::arg("separate_buffers") = false);
}

}  // namespace sarnic::python
