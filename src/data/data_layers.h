// Layers that bring data into the model rather than compute on it:
// constants, variables, model inputs, the constants supplied outside the
// graph, and copy layers that store a computed value into a variable.
#ifndef SARNIC_DATA_DATA_LAYERS_H_
#define SARNIC_DATA_DATA_LAYERS_H_

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "sarnic/layers.h"
#include "sarnic/ndarray.h"
#include "sarnic/operations.h"

namespace sarnic {

// The data layers' operation exporters by op text: "constant", "variable",
// "external" and "copy". A constant always bears its node name: the
// alternative name of a renamed graph input or output is not passed on.
std::vector<OpSpec> DataOps();

// The copy layer of a copy node: inputs [target, source].
Offset export_copy(BetterBuilder& builder, Graph& graph,
                   const LayerIndex& layers, const std::string& name,
                   AttrDict& node, const std::optional<std::string>& alt_name);

// A constant layer holding `array` converted to float32, named `name`.
Offset export_external_constant(BetterBuilder& builder, const std::string& name,
                                const NdArray& array);
// The same constant layer, with `what` naming it in messages (the one
// writer of constants from outside the graph: external constants and the
// SVM head's parameters).
Offset WriteConstantLayer(BetterBuilder& builder, const std::string& name,
                          const NdArray& array, const std::string& what);

// Edits the graph for the copy requests `copies` (source, target): each
// target becomes a zero-initialised variable kept intact for the whole run
// (added to `save_layers`) and a copy node feeds it from its source.
// Requests that cannot be honoured are reported on `out` and skipped.
void add_copy(Graph& graph, const std::vector<std::vector<std::string>>& copies,
              std::vector<std::string>& save_layers, std::ostream& out);

}  // namespace sarnic

#endif  // SARNIC_DATA_DATA_LAYERS_H_
