// Products with constant weights as dense layers, before quantisation: a
// `matmul` of run-time data by a constant matrix, with the `add` of a
// constant bias that follows it, becomes one `dense` layer carrying the
// bias, so that the integer rule of dense (int32 bias, per-column weight
// scales) covers it.
#ifndef SARNIC_QUANT_DENSE_H_
#define SARNIC_QUANT_DENSE_H_

#include <memory>
#include <string>
#include <vector>

#include "sarnic/digraph.h"

namespace sarnic::quant {

// `graph` with every such product a dense layer (named as the add it
// absorbed, or as the product); `keep` names nodes left as they are.
std::unique_ptr<Graph> ProductsAsDense(const Graph& graph,
                                       const std::vector<std::string>& keep);

}  // namespace sarnic::quant

#endif  // SARNIC_QUANT_DENSE_H_
