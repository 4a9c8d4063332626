#include "convert.h"

#include <optional>

#include "sarnic/errors.h"

namespace sarnic::python {

namespace {

std::optional<DType> DTypeOf(const py::dtype& d) {
  if (d.attr("byteorder").cast<std::string>() == ">") return std::nullopt;
  return DTypeFromName(py::str(d.attr("name")).cast<std::string>());
}

}  // namespace

uint64_t NominalBytes(const py::handle& obj, bool* is_float64) {
  if (!py::isinstance<py::array>(obj)) return 0;
  const auto arr = py::reinterpret_borrow<py::array>(obj);
  if (is_float64 != nullptr) {
    *is_float64 = DTypeOf(arr.dtype()) == DType::kFloat64;
  }
  // From the shape and the element size: a broadcast view is not expanded.
  return py::int_(obj.attr("nbytes")).cast<uint64_t>();
}

NdArray ToArray(const py::handle& obj, const std::string& what) {
  py::module_ np = py::module_::import("numpy");
  // C order without copying an array that has it; unlike
  // ascontiguousarray this keeps a zero-dimensional array so.
  py::array arr = np.attr("asarray")(obj, py::arg("order") = "C");
  const auto dtype = DTypeOf(arr.dtype());
  if (!dtype) {
    throw ValueError(
        "Numpy NDArray has unsupported type:",
        py::str(arr.dtype()).cast<std::string>() + " (" + what + ")");
  }
  Shape shape(arr.shape(), arr.shape() + arr.ndim());
  // The view holds a reference to the array, released under the GIL.
  struct Reference {
    py::object array;
    ~Reference() {
      py::gil_scoped_acquire gil;
      array = py::object();
    }
  };
  auto owner = std::make_shared<Reference>(Reference{arr});
  const auto* data = static_cast<const std::byte*>(arr.data());
  return NdArray::View(*dtype, std::move(shape), owner,
                       {data, static_cast<std::size_t>(arr.nbytes())});
}

std::string TextOf(const py::handle& obj, const std::string& what) {
  const py::str text = py::isinstance<py::str>(obj)
                           ? py::reinterpret_borrow<py::str>(obj)
                           : py::str(obj);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    throw ValueError(what + " is not valid text:",
                     py::repr(text).cast<std::string>() +
                         " holds a lone surrogate, which UTF-8 cannot encode");
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::vector<std::string> NameList(const py::handle& obj,
                                  const std::string& what) {
  std::vector<std::string> out;
  const bool sequence = py::isinstance<py::sequence>(obj) &&
                        !py::isinstance<py::str>(obj) &&
                        !py::isinstance<py::bytes>(obj);
  if (sequence) {
    for (const py::handle item : obj) {
      if (!py::isinstance<py::str>(item)) {
        out.clear();
        break;
      }
      out.push_back(TextOf(item, what));
    }
  }
  if (!sequence || out.size() != py::len(obj)) {
    throw TypeError(what + " must be a list of node names (texts), not " +
                    py::repr(obj).cast<std::string>());
  }
  return out;
}

Value ToValue(const py::handle& obj, const std::string& what, int depth) {
  if (depth > 64) throw ValueError("Values nest too deeply in", what);
  py::module_ np = py::module_::import("numpy");
  if (obj.is_none()) return Value();
  if (py::isinstance<py::bool_>(obj) || py::isinstance(obj, np.attr("bool_"))) {
    return Value(obj.cast<bool>());
  }
  if (py::isinstance<py::int_>(obj) ||
      py::isinstance(obj, np.attr("integer"))) {
    try {
      return Value(obj.cast<int64_t>());
    } catch (const py::cast_error&) {
      throw ValueError("Integer does not fit in 64 bits:",
                       py::str(obj).cast<std::string>() + " (" + what + ")");
    }
  }
  if (py::isinstance<py::float_>(obj) ||
      py::isinstance(obj, np.attr("floating"))) {
    return Value(obj.cast<double>());
  }
  if (py::isinstance<py::str>(obj)) return Value(TextOf(obj, what));
  if (py::isinstance<py::bytes>(obj)) {
    List l;
    for (unsigned char c : obj.cast<std::string>()) l.emplace_back(int64_t{c});
    return Value(std::move(l));
  }
  if (py::isinstance(obj, np.attr("dtype"))) {
    return Value(py::str(obj.attr("name")).cast<std::string>());
  }
  if (py::isinstance<py::type>(obj) &&
      PyObject_IsSubclass(obj.ptr(), np.attr("generic").ptr()) == 1) {
    return Value(
        py::str(np.attr("dtype")(obj).attr("name")).cast<std::string>());
  }
  if (py::isinstance<py::array>(obj)) return Value(ToArray(obj, what));
  if (py::isinstance<py::list>(obj) || py::isinstance<py::tuple>(obj)) {
    List l;
    for (const py::handle item : obj)
      l.push_back(ToValue(item, what, depth + 1));
    return Value(std::move(l));
  }
  if (py::isinstance<py::dict>(obj)) {
    Dict d;
    for (const auto& [k, v] : obj.cast<py::dict>()) {
      d.set(TextOf(k, what + " key"), ToValue(v, what, depth + 1));
    }
    return Value(std::move(d));
  }
  throw TypeError(what + " holds a value of an unsupported kind: " +
                  py::str(py::type::of(obj)).cast<std::string>());
}

py::object FromArray(const NdArray& a) {
  py::dtype dt(std::string(DTypeName(a.dtype())));
  const std::vector<py::ssize_t> shape(a.shape().begin(), a.shape().end());
  if (a.nbytes() == 0 || !a.owner()) {
    py::array out(dt, shape);
    if (a.nbytes() > 0) std::memcpy(out.mutable_data(), a.data(), a.nbytes());
    return out;
  }
  // A view, not a copy: the capsule keeps the bytes' owner (an array's own
  // block, or a weights file mapped copy-on-write) alive as the NumPy
  // array's base.
  auto holder = std::make_unique<std::shared_ptr<const void>>(a.owner());
  py::capsule base(holder.get(), [](void* p) {
    std::unique_ptr<std::shared_ptr<const void>>(
        static_cast<std::shared_ptr<const void>*>(p));
  });
  holder.release();
  return py::array(dt, shape, {},
                   const_cast<void*>(static_cast<const void*>(a.data())), base);
}

py::object FromValue(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::kNone:
      return py::none();
    case Value::Kind::kBool:
      return py::bool_(v.as_bool());
    case Value::Kind::kInt:
      return py::int_(v.as_int());
    case Value::Kind::kReal:
      return py::float_(v.as_real());
    case Value::Kind::kText:
      return py::str(v.as_text());
    case Value::Kind::kList: {
      py::list l;
      for (const Value& item : v.as_list()) l.append(FromValue(item));
      return l;
    }
    case Value::Kind::kDict: {
      py::dict d;
      for (const auto& [k, item] : v.as_dict()) d[py::str(k)] = FromValue(item);
      return d;
    }
    case Value::Kind::kArray:
      return FromArray(v.as_array());
  }
  return py::none();
}

namespace {

// The built-in kinds that make up almost every attribute (texts, integers,
// reals, booleans and lists of them), converted without the error context
// that ToValue carries; nothing for anything else, or for a value that
// ToValue would refuse (a lone surrogate, an integer beyond 64 bits), which
// ToValue then converts or refuses with its message.
std::optional<Value> FastValue(PyObject* obj, int depth = 0) {
  if (PyUnicode_CheckExact(obj)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
      PyErr_Clear();
      return std::nullopt;
    }
    return Value(std::string(data, static_cast<std::size_t>(size)));
  }
  if (PyBool_Check(obj)) return Value(obj == Py_True);
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return std::nullopt;
    }
    return Value(static_cast<int64_t>(v));
  }
  if (PyFloat_CheckExact(obj)) return Value(PyFloat_AS_DOUBLE(obj));
  if (PyList_CheckExact(obj) && depth < 8) {
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    List l;
    l.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::optional<Value> item = FastValue(PyList_GET_ITEM(obj, i), depth + 1);
      if (!item) return std::nullopt;
      l.push_back(std::move(*item));
    }
    return Value(std::move(l));
  }
  return std::nullopt;
}

}  // namespace

// A Python attribute dictionary as a node's attributes. The place named in
// errors is only put together when a value needs it.
void SetAttrs(AttrDict& attrs, const py::dict& d, const std::string& node) {
  auto place = [&node] {
    return node.empty() ? std::string("node") : "node '" + node + "'";
  };
  for (const auto& [k, v] : d) {
    std::optional<Value> key = FastValue(k.ptr());
    const std::string name = key && key->is_text()
                                 ? key->as_text()
                                 : TextOf(k, place() + " attribute name");
    std::optional<Value> value = FastValue(v.ptr());
    attrs.set(name, value ? std::move(*value)
                          : ToValue(v, place() + " attribute '" + name + "'"));
  }
}

}  // namespace sarnic::python
