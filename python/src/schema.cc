// The builder handle and the schema's table operations for plug-ins,
// bound from the one list of the schema's operations, and the two writers
// plug-ins build layers with.
#include <pybind11/stl.h>

#include <algorithm>
#include <iterator>

#include "bindings.h"
#include "convert.h"

namespace sarnic::python {

namespace {

template <typename Enum>
void BindEnum(py::module_& s, const char* name, const Enum* values,
              std::size_t count, const char* (*name_of)(Enum)) {
  py::enum_<Enum> e(s, name);
  for (std::size_t i = 0; i < count; ++i)
    e.value(name_of(values[i]), values[i]);
}

void BindTables(py::module_& s) {
  using snxf::Datatype;
  using snxf::Op;
#define SNXF_BIND_TABLE(T)                                        \
  s.def(                                                          \
      #T "Start", [](Builder& b) { snxf::T##Start(b.get()); },    \
      py::arg("builder"));                                        \
  s.def(                                                          \
      #T "End", [](Builder& b) { return snxf::T##End(b.get()); }, \
      py::arg("builder"));
#define SNXF_BIND_OFFSET(T, F, SLOT)                                          \
  s.def(                                                                      \
      #T "Add" #F, [](Builder& b, Offset v) { snxf::T##Add##F(b.get(), v); }, \
      py::arg("builder"), py::arg("offset"));
#define SNXF_BIND_VECTOR(T, F, BYTES)          \
  s.def(                                       \
      #T "Start" #F "Vector",                  \
      [](Builder& b, std::size_t n) {          \
        snxf::T##Start##F##Vector(b.get(), n); \
      },                                       \
      py::arg("builder"), py::arg("count"));
#define SNXF_BIND_SCALAR(T, F, SLOT, Type, Stored)                          \
  s.def(                                                                    \
      #T "Add" #F, [](Builder& b, Type v) { snxf::T##Add##F(b.get(), v); }, \
      py::arg("builder"), py::arg("value"));
  SNXF_TABLES(SNXF_BIND_TABLE)
  SNXF_OFFSET_FIELDS(SNXF_BIND_OFFSET)
  SNXF_VECTOR_FIELDS(SNXF_BIND_VECTOR)
  SNXF_SCALAR_FIELDS(SNXF_BIND_SCALAR)
  SNXF_DEFAULTED_FIELDS(SNXF_BIND_SCALAR)
#undef SNXF_BIND_TABLE
#undef SNXF_BIND_OFFSET
#undef SNXF_BIND_VECTOR
#undef SNXF_BIND_SCALAR
}

void BindBuilder(py::module_& m) {
  py::class_<Builder, std::shared_ptr<Builder>>(
      m, "Builder",
      "The builder of one export, handed to a plug-in's export_<op> call and "
      "valid for that call only. Vectors are written by StartVector, the "
      "elements prepended last to first, then EndVector.")
      .def(
          "CreateString",
          [](Builder& b, const py::object& s) {
            return b.get().CreateString(
                py::isinstance<py::bytes>(s)
                    ? s.cast<std::string>()
                    : TextOf(s, "the text given to CreateString"));
          },
          py::arg("text"), "Writes a string; its offset.")
      .def(
          "StartVector",
          [](Builder& b, std::size_t elem, std::size_t count,
             std::size_t align) { b.get().StartVector(elem, count, align); },
          py::arg("elem_size"), py::arg("count"), py::arg("alignment"),
          "Opens a vector of `count` elements of `elem_size` bytes.")
      .def(
          "EndVector",
          [](Builder& b, std::size_t n) { return b.get().EndVector(n); },
          py::arg("count"), "Closes the open vector; its offset.")
      .def(
          "PrependByte", [](Builder& b, int8_t v) { b.get().PrependByte(v); },
          py::arg("value"))
      .def(
          "PrependUint8",
          [](Builder& b, uint8_t v) { b.get().PrependUint8(v); },
          py::arg("value"))
      .def(
          "PrependInt16",
          [](Builder& b, int16_t v) { b.get().PrependInt16(v); },
          py::arg("value"))
      .def(
          "PrependInt32",
          [](Builder& b, int32_t v) { b.get().PrependInt32(v); },
          py::arg("value"))
      .def(
          "PrependUint32",
          [](Builder& b, uint32_t v) { b.get().PrependUint32(v); },
          py::arg("value"))
      .def(
          "PrependFloat32",
          [](Builder& b, float v) { b.get().PrependFloat32(v); },
          py::arg("value"))
      .def(
          "PrependUOffsetTRelative",
          [](Builder& b, Offset v) { b.get().PrependUOffsetTRelative(v); },
          py::arg("offset"))
      .def(
          "PrependSOffsetTRelative",
          [](Builder& b, Offset v) { b.get().PrependSOffsetTRelative(v); },
          py::arg("offset"));
}

// export_tensor and generate_layer depend on nothing but their arguments;
// an exporter over an empty graph serves them.
Offset ExportTensor(Builder& b, const std::string& name,
                    const py::object& shape, const py::object& data) {
  Graph g;
  SarnicExporter e(g, "");
  std::optional<Shape> s;
  if (!shape.is_none()) {
    const Value v = ToValue(shape, "export_tensor shape");
    const bool ints =
        v.is_list() &&
        std::all_of(v.as_list().begin(), v.as_list().end(),
                    [](const Value& d) { return d.is_integer(); });
    if (!ints && !(v.is_array() && !IsFloating(v.as_array().dtype()))) {
      throw TypeError("export_tensor shape must be a list of integers, not " +
                      py::repr(shape).cast<std::string>());
    }
    s = shape.cast<std::vector<int64_t>>();
  }
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

}  // namespace

void BindSchema(py::module_& m) {
  BindBuilder(m);
  py::module_ s =
      m.def_submodule("snxf", "The model schema's table operations.");
  BindEnum(s, "Op", snxf::EnumValuesOp(), std::size(snxf::EnumValuesOp()),
           snxf::EnumNameOp);
  BindEnum(s, "Datatype", snxf::EnumValuesDatatype(),
           std::size(snxf::EnumValuesDatatype()), snxf::EnumNameDatatype);
  BindTables(s);
  m.def("export_tensor", &ExportTensor, py::arg("builder"), py::arg("name"),
        py::arg("shape") = py::none(), py::arg("data") = py::none(),
        "Writes one Tensor table; its offset.");
  m.def("generate_layer", &GenerateLayer, py::arg("builder"), py::arg("node"),
        py::arg("op"), py::arg("name"), py::arg("shape"), py::arg("inputs") = 0,
        py::arg("params") = 0, "Writes the common Layer table; its offset.");
}

}  // namespace sarnic::python
