#include "ops/op_table.h"

#include <algorithm>

#include "sarnic/errors.h"

namespace sarnic {

void OpTable::add(const std::string& op, OpFunction fn) {
  if (!rows_.emplace(op, std::move(fn)).second) {
    throw InternalError("operation exporter registered twice: " + op);
  }
}

const OpFunction* OpTable::find(const std::string& op) const {
  auto it = rows_.find(op);
  return it == rows_.end() ? nullptr : &it->second;
}

std::vector<std::string> OpTable::names() const {
  std::vector<std::string> out;
  for (const auto& [k, v] : rows_) out.push_back(k);
  std::sort(out.begin(), out.end());
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
