// Conversion between Python objects and the exporter's values: Python
// scalars, texts, bytes, lists, tuples, dicts, NumPy arrays, scalars and
// element types in; Python objects and NumPy arrays out. Contiguous arrays
// are viewed, not copied; the view keeps the Python array alive.
#ifndef SARNIC_PYTHON_CONVERT_H_
#define SARNIC_PYTHON_CONVERT_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "sarnic/digraph.h"
#include "sarnic/ndarray.h"
#include "sarnic/value.h"

namespace sarnic::python {

namespace py = pybind11;

// The bytes a NumPy array's elements take, from its shape and element type
// and without touching them (0 for anything else); `is_float64` tells
// whether its elements are float64.
uint64_t NominalBytes(const py::handle& obj, bool* is_float64 = nullptr);
NdArray ToArray(const py::handle& obj, const std::string& what);
// `obj` (or its str(), for a name that is no text) as UTF-8; a text that
// UTF-8 cannot encode (a lone surrogate) is a ValueError naming `what`.
std::string TextOf(const py::handle& obj, const std::string& what);
// A list or tuple of texts, as names; anything else is a TypeError naming
// `what` and what it must be.
std::vector<std::string> NameList(const py::handle& obj,
                                  const std::string& what);
Value ToValue(const py::handle& obj, const std::string& what, int depth = 0);
py::object FromArray(const NdArray& a);
py::object FromValue(const Value& v);

// A Python attribute dictionary as the attributes of node `node` (empty for
// a node without a name).
void SetAttrs(AttrDict& attrs, const py::dict& d, const std::string& node);

}  // namespace sarnic::python

#endif  // SARNIC_PYTHON_CONVERT_H_
