// What quantisation knows of the operations: the integer rule of each op it
// makes int8 (one row per op), and what it reads and writes of a node.
#ifndef SARNIC_QUANT_RULES_H_
#define SARNIC_QUANT_RULES_H_

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sarnic/digraph.h"
#include "sarnic/fixed_point.h"

namespace sarnic::quant {

enum class Kind {
  kWeighted,  // conv and dense: int8 weights, int32 bias, requantised
  kBinary,    // add, sub, mul of two int8 operands
  kTable,     // a function of one input, by a table
  kSame,      // moves or selects elements: the output keeps its input's
  kConcat,    // every input shares the output's parameters
};

struct Rule {
  const char* op;
  Kind kind;
  // The output's parameters when the rule fixes them (sigmoid, tanh).
  std::optional<fixed_point::QuantParams> fixed = std::nullopt;
};

// The rule of graph op `op`, or null for an op that stays float.
const Rule* RuleOf(const std::string& op);

std::string OpOf(const AttrDict& node);

// The node names a node reads, by attribute, as its operation declares.
struct Operands {
  std::vector<std::pair<std::string, std::vector<std::string>>> by_attr;
};
Operands OperandsOf(const AttrDict& node);

// The node's output is float (no datatype, or float32).
bool FloatData(const AttrDict& node);
// The node's fused activation has an integer rule (linear, relu, relu6).
bool FusibleActivation(const AttrDict& node);

// Whether node `n` of `g` becomes int8 by `rule`: float data in and out,
// not named by `keep_float`, its weights and bias constants, its fused
// activation one with an integer rule, nearest when it resizes, and (but
// for the layers that keep their input's parameters) `observed` by the
// calibration.
bool Eligible(const Graph& g, const std::string& n, const Rule& rule,
              const std::vector<std::string>& keep_float, bool observed);

// The quantisation attributes of a node.
Value ScaleValue(const std::vector<float>& scales);
Value ZeroValue(const std::vector<int32_t>& zeros);
// datatype int8 with one scale and zero point.
void SetParams(AttrDict& node, fixed_point::QuantParams p);
bool Same(fixed_point::QuantParams a, fixed_point::QuantParams b);

// Runs of float nodes joined by edges (not the int8 ones, the data nodes),
// each in topological order.
std::vector<std::vector<std::string>> FloatIslands(
    const Graph& graph,
    const std::map<std::string, fixed_point::QuantParams>& int8);

}  // namespace sarnic::quant

#endif  // SARNIC_QUANT_RULES_H_
