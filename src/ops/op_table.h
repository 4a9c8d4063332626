// The table of built-in operation exporters: op text to exporter. Each
// operation family keeps its exporters private to its file and contributes
// its rows through its Register function; a name registered twice is
// refused. Adding an operation to a family touches that family's file only.
#ifndef SARNIC_OPS_OP_TABLE_H_
#define SARNIC_OPS_OP_TABLE_H_

#include <string>
#include <unordered_map>
#include <vector>

#include "sarnic/layers.h"
#include "sarnic/operations.h"

namespace sarnic {

class OpTable {
 public:
  // Adds an operation; a duplicate op text is a programming error and
  // raises.
  void add(OpSpec spec);
  const OpSpec* find(const std::string& op) const;
  // Every operation, by op text.
  std::vector<const OpSpec*> specs() const;

 private:
  std::unordered_map<std::string, OpSpec> rows_;
};

// The operations of every family in src/ops; `table` may already hold
// other rows (the data layers).
void RegisterBuiltinOps(OpTable& table);

// Family registrations.
void RegisterUnaryOps(OpTable& table);
void RegisterBinaryOps(OpTable& table);
void RegisterConvolutionOps(OpTable& table);
void RegisterPoolingOps(OpTable& table);
void RegisterReductionOps(OpTable& table);
void RegisterShapeOps(OpTable& table);
void RegisterDenseOps(OpTable& table);

}  // namespace sarnic

#endif  // SARNIC_OPS_OP_TABLE_H_
