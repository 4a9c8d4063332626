// The operation reference, made from the operations' own declarations: a
// list, one operation described, the Markdown page docs/ops.md, and the
// nearest names to a misspelt op.
#ifndef SARNIC_REFERENCE_H_
#define SARNIC_REFERENCE_H_

#include <string>
#include <vector>

namespace sarnic {

// One line per built-in operation: op text, layer type written, family.
std::string ListOperations();

// The operation `op`: its attributes, inputs in layer order and parameter
// tensors. A KeyError for an unknown op suggests the nearest names.
std::string DescribeOperation(const std::string& op);

// docs/ops.md.
std::string OperationsMarkdown();

// The registered op texts nearest to `op` (a misspelling, a name from
// another tool), best first; empty when none is near.
std::vector<std::string> NearestOperations(const std::string& op);
// The same among any `known` names (an operation's attributes).
std::vector<std::string> NearestNames(const std::string& name,
                                      const std::vector<std::string>& known);

}  // namespace sarnic

#endif  // SARNIC_REFERENCE_H_
