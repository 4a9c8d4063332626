// SarnicExporter's configuration and the export pipeline.
#include "sarnic/exporter.h"

#include <iostream>
#include <memory>
#include <string>

#include "data/data_layers.h"
#include "ops/op_table.h"
#include "sarnic/errors.h"
#include "serialize/tensor.h"

namespace sarnic {

ValueError PluginResultError(const std::string& plugin, const std::string& op,
                             const std::string& node,
                             const std::string& returned) {
  return ValueError("Plug-in did not return a finished layer:",
                    plugin + " export_" + op + " for node '" + node +
                        "' returned " + returned +
                        ", not the offset of a Layer it finished");
}

uint64_t ModelDataBytes(std::string_view op, DType dtype, uint64_t nbytes) {
  if (op == "constant") return dtype == DType::kFloat64 ? nbytes / 2 : nbytes;
  if (op == "variable") return nbytes;
  return 0;
}

void CheckModelDataBytes(uint64_t data_bytes) {
  if (data_bytes > kMaxModelBytes) {
    throw ValueError("Model exceeds the 2 GiB limit of the format:",
                     std::to_string(data_bytes) + " bytes of tensor data");
  }
}

SarnicExporter::SarnicExporter(Graph& graph_in, std::string name_in,
                               ExportOptions options_in)
    : graph(graph_in),
      name(std::move(name_in)),
      options(std::move(options_in)),
      alternate_input_error_message(
          "The alternate input has a value greater than 32768") {
  if (!options.save_layers) {
    options.save_layers = std::make_shared<std::vector<std::string>>();
  }
  if (!options.copy_layers) {
    options.copy_layers = std::make_shared<std::vector<CopyPair>>();
  }
  // A plug-in sees every option already stored and the user exporters made
  // before it.
  for (const Plugin& plugin : options.user_ops) {
    if (plugin.factory) user_ops.push_back(plugin.factory(*this));
  }
}

Offset SarnicExporter::export_tensor(BetterBuilder& builder,
                                     std::string_view tensor_name,
                                     const std::optional<Shape>& shape,
                                     const Value& data) const {
  return ::sarnic::export_tensor(builder, tensor_name, shape, data);
}

Offset SarnicExporter::generate_layer(BetterBuilder& builder,
                                      const AttrDict& node, snxf::Op op,
                                      Offset layer_name, Offset shape,
                                      Offset inputs, Offset params) const {
  return ::sarnic::generate_layer(builder, node, op, layer_name, shape, inputs,
                                  params);
}

namespace {

// Every built-in operation exporter: the families of src/ops and the data
// layers, in one table that refuses a name given twice.
const OpTable& BuiltinOps() {
  static const OpTable table = [] {
    OpTable t;
    for (OpSpec& spec : DataOps()) t.add(std::move(spec));
    RegisterBuiltinOps(t);
    return t;
  }();
  return table;
}

}  // namespace

const OpFunction* SarnicExporter::export_op(const std::string& op,
                                            const UserExporter** plugin) const {
  for (const auto& u : user_ops) {
    if (!u) continue;
    if (const OpFunction* fn = u->find(op)) {
      if (plugin != nullptr) *plugin = u.get();
      return fn;
    }
  }
  if (plugin != nullptr) *plugin = nullptr;
  const OpSpec* spec = BuiltinOperation(op);
  return spec != nullptr ? &spec->exporter : nullptr;
}

std::vector<const OpSpec*> BuiltinOperations() { return BuiltinOps().specs(); }

const OpSpec* BuiltinOperation(const std::string& op) {
  return BuiltinOps().find(op);
}

std::ostream& SarnicExporter::out() const {
  return options.diagnostics != nullptr ? *options.diagnostics : std::cout;
}

}  // namespace sarnic
