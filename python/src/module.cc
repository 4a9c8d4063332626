// The extension module behind sarnic_exporter: the library's errors as
// Python's exceptions, and the bindings of the other files.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "sarnic/errors.h"

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
  BindSchema(m);
  BindRun(m);
  BindGraphFiles(m);
}
