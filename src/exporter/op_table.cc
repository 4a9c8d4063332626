#include "exporter/op_table.h"

#include <algorithm>

#include "sarnic/errors.h"

namespace sarnic {

void OpTable::add(const std::string& op, BuiltinOp fn) {
  if (!rows_.emplace(op, std::move(fn)).second) {
    throw Error("operation exporter registered twice: " + op);
  }
}

const BuiltinOp* OpTable::find(const std::string& op) const {
  auto it = rows_.find(op);
  return it == rows_.end() ? nullptr : &it->second;
}

std::vector<std::string> OpTable::names() const {
  std::vector<std::string> out;
  for (const auto& [k, v] : rows_) out.push_back(k);
  std::sort(out.begin(), out.end());
  return out;
}

const OpTable& BuiltinOps() {
  static const OpTable table = [] {
    OpTable t;
    RegisterDataOps(t);
    RegisterUnaryOps(t);
    RegisterBinaryOps(t);
    RegisterConvolutionOps(t);
    RegisterPoolingOps(t);
    RegisterReductionOps(t);
    RegisterShapeOps(t);
    RegisterDenseOps(t);
    return t;
  }();
  return table;
}

}  // namespace sarnic
