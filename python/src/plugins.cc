#include <limits>

#include "bindings.h"
#include "convert.h"
#include "sarnic/errors.h"

namespace sarnic::python {

namespace {

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

}  // namespace

const OpFunction* PyUserExporter::find(const std::string& op) const {
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
        if (!nx.attr("has_node")(name).cast<bool>()) nx.attr("add_node")(name);
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

std::string PyUserExporter::name() const {
  const py::handle type = py::type::of(obj_);
  return "plug-in " + py::str(type.attr("__module__")).cast<std::string>() +
         "." + py::str(type.attr("__qualname__")).cast<std::string>();
}

}  // namespace sarnic::python
