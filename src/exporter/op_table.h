// The table of built-in operation exporters: op text to the exporter method.
// Each operation family contributes its rows through its Register function;
// a name registered twice is refused.
#ifndef SARNIC_EXPORTER_OP_TABLE_H_
#define SARNIC_EXPORTER_OP_TABLE_H_

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sarnic/exporter.h"

namespace sarnic {

using BuiltinOp = std::function<Offset(
    SarnicExporter& self, BetterBuilder& builder, Graph& graph,
    const LayerIndex& layers, const std::string& name, AttrDict& node,
    const std::optional<std::string>& alt_name)>;

class OpTable {
 public:
  // Adds a row; a duplicate op text is a programming error and raises.
  void add(const std::string& op, BuiltinOp fn);
  const BuiltinOp* find(const std::string& op) const;
  std::vector<std::string> names() const;

 private:
  std::unordered_map<std::string, BuiltinOp> rows_;
};

// The built-in table, built once from every family's rows.
const OpTable& BuiltinOps();

// Family registrations.
void RegisterDataOps(OpTable& table);
void RegisterUnaryOps(OpTable& table);
void RegisterBinaryOps(OpTable& table);
void RegisterConvolutionOps(OpTable& table);
void RegisterPoolingOps(OpTable& table);
void RegisterReductionOps(OpTable& table);
void RegisterShapeOps(OpTable& table);
void RegisterDenseOps(OpTable& table);

}  // namespace sarnic

#endif  // SARNIC_EXPORTER_OP_TABLE_H_
