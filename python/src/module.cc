// The extension module behind sarnic_exporter: the library's errors as
// Python's exceptions, and the bindings of the other files.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "sarnic/engine.h"
#include "sarnic/errors.h"
#include "sarnic/files.h"

PYBIND11_MODULE(_core, m) {
  using namespace sarnic;
  using namespace sarnic::python;
  m.doc() = "The SNX exporter's native core.";
  // save_graph and the other writers leave no temporary file behind when
  // the interpreter ends on SIGTERM or SIGHUP (where Python keeps the
  // default action; its own SIGINT handler stays).
  RemoveTemporaryFilesOnSignals();
  // The library's errors as the package's errors, which are also Python's
  // own kinds (sarnic_exporter/errors.py).
  py::register_exception_translator([](std::exception_ptr p) {
    auto raise = [](const char* kind, py::tuple args, const std::string& detail,
                    PyObject* fallback, py::dict kwargs = py::dict()) {
      try {
        py::object cls =
            py::module_::import("sarnic_exporter.errors").attr(kind);
        kwargs["detail"] = detail;
        py::object err = cls(*args, **kwargs);
        PyErr_SetObject(cls.ptr(), err.ptr());
      } catch (const py::error_already_set&) {
        PyErr_SetObject(fallback, args.ptr());
      }
    };
    try {
      if (p) std::rethrow_exception(p);
    } catch (const FormatError& e) {
      py::dict where;
      where["file"] = e.file();
      where["place"] = e.place();
      raise("ExportValueError", py::make_tuple(e.message(), e.detail()),
            e.detail(), PyExc_ValueError, where);
    } catch (const ValueError& e) {
      raise("ExportValueError", py::make_tuple(e.message(), e.detail()),
            e.detail(), PyExc_ValueError);
    } catch (const KeyError& e) {
      raise("ExportKeyError", py::make_tuple(e.key(), e.what()), e.what(),
            PyExc_KeyError);
    } catch (const TypeError& e) {
      raise("ExportTypeError", py::make_tuple(e.what()), "", PyExc_TypeError);
    } catch (const IndexError& e) {
      raise("ExportIndexError", py::make_tuple(e.what()), "", PyExc_IndexError);
    } catch (const IoError& e) {
      raise("ExportOSError", py::make_tuple(e.message()), e.detail(),
            PyExc_OSError);
    } catch (const Error& e) {
      raise("ExportValueError", py::make_tuple(e.what()), "", PyExc_ValueError);
    }
  });
  m.attr("__version__") = engine::version();
  BindSchema(m);
  BindRun(m);
  BindGraphFiles(m);
  BindInterpreter(m);
  BindQuantize(m);
}
