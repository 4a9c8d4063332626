#include "ops/op_table.h"

#include <algorithm>

#include "sarnic/errors.h"
#include "sarnic/schema.h"

namespace sarnic {

void OpTable::add(OpSpec spec) {
  const std::string op = spec.op;
  spec.layer_type = snxf::EnumNameOp(spec.type);
  spec.exporter = [writer = spec.writer, type = spec.type](
                      BetterBuilder& b, Graph& graph, const LayerIndex& layers,
                      const std::string& name, AttrDict& node,
                      const std::optional<std::string>& alt_name) {
    return writer(b, graph, layers, name, node, alt_name, type);
  };
  if (!rows_.emplace(op, std::move(spec)).second) {
    throw InternalError("operation exporter registered twice: " + op);
  }
}

const OpSpec* OpTable::find(const std::string& op) const {
  auto it = rows_.find(op);
  return it == rows_.end() ? nullptr : &it->second;
}

std::vector<const OpSpec*> OpTable::specs() const {
  std::vector<const OpSpec*> out;
  for (const auto& [k, v] : rows_) out.push_back(&v);
  std::sort(out.begin(), out.end(),
            [](const OpSpec* a, const OpSpec* b) { return a->op < b->op; });
  return out;
}

void RegisterBuiltinOps(OpTable& table) {
  RegisterUnaryOps(table);
  RegisterBinaryOps(table);
  RegisterConvolutionOps(table);
  RegisterPoolingOps(table);
  RegisterReductionOps(table);
  RegisterShapeOps(table);
  RegisterDenseOps(table);
}

}  // namespace sarnic
