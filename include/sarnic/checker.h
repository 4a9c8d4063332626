// The graph checker: finds what would make a graph export wrongly or fail
// late, before anything is written. It reads the graph and never changes
// it. Every rule holds whatever tensor layout the engine uses.
#ifndef SARNIC_CHECKER_H_
#define SARNIC_CHECKER_H_

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sarnic/digraph.h"
#include "sarnic/ndarray.h"
#include "snx_generated.h"

namespace sarnic {

// A warning is something that would export wrongly or fail on the device;
// an error is something the export itself refuses.
enum class Severity { kWarning, kError };

struct Finding {
  std::string node;
  std::string attribute;  // empty when the finding is about the node
  std::string message;
  Severity severity = Severity::kWarning;
};

// Every finding of every rule, node by node in the graph's order, then the
// findings about the graph as a whole. The checker is a helper: it never
// throws on what a graph holds (a rule that meets a value it cannot judge
// says nothing) and never changes the graph.
// The output shape a layer computes from its inputs' shapes and its
// parameters, as a layer above the exporter declares it (the interpreter's
// InferLayerShape); nothing for a layer type without a declared shape. A
// DetailedError's detail says why inputs do not fit.
using LayerShapeFn = std::function<std::optional<Shape>(
    const snxf::Layer& layer, std::span<const Shape> inputs)>;

struct CheckOptions {
  // The export plans the arena (its mem_map option): an output too large
  // for the arena's block numbers is then refused.
  bool plans_arena = true;
  // With it, every node whose layer type has a declared shape is written
  // as its exporter writes it and its output_shape compared with what its
  // inputs and attributes give.
  LayerShapeFn layer_shape = nullptr;
  // The layer types whose output shape is their first input's, as the
  // same declarations say (the interpreter's LayerKeepsInputShape): those
  // nodes are compared with their input directly, without writing them.
  std::function<bool(snxf::Op)> keeps_input_shape = nullptr;
};
std::vector<Finding> CheckGraph(const Graph& graph,
                                const CheckOptions& options = {});

// "node 'c' attribute 'x': message".
std::string FormatFinding(const Finding& finding);

}  // namespace sarnic

#endif  // SARNIC_CHECKER_H_
