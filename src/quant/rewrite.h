// The graph rewrite of quantisation: which nodes become int8, the scale and
// zero point of each int8 output, and the new graph with its quantised
// constants and its `quant` and `dequant` layers.
#ifndef SARNIC_QUANT_REWRITE_H_
#define SARNIC_QUANT_REWRITE_H_

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sarnic/digraph.h"
#include "sarnic/fixed_point.h"
#include "sarnic/quantize.h"

namespace sarnic::quant {

// The calibrated range of each node's output, by node name.
using Ranges = std::map<std::string, std::pair<float, float>>;

struct Rewritten {
  std::unique_ptr<Graph> graph;
  // Each int8 node of the new graph that computes what a node of the float
  // graph computed (not the quant and dequant layers): new name -> old name.
  std::map<std::string, std::string> int8_of;
  // The parameters of every int8 output in the new graph, by new name.
  std::map<std::string, fixed_point::QuantParams> params;
  std::vector<std::vector<std::string>> float_islands;
  std::vector<std::string> notes;
};

// `graph` quantised with the ranges its float model's outputs took: every
// node with an integer rule in int8 (unless options.keep_float names it),
// the rest in float between a `dequant` and a `quant`. `graph` is unchanged.
Rewritten Rewrite(const Graph& graph, const Ranges& ranges,
                  const QuantizeOptions& options);

}  // namespace sarnic::quant

#endif  // SARNIC_QUANT_REWRITE_H_
