// The graph checker: finds what would make a graph export wrongly or fail
// late, before anything is written. It reads the graph and never changes
// it. Every rule holds whatever tensor layout the engine uses. Node by node
// it asks the operations how the node is written and the interpreter's
// rows what shape the written layer computes: every caller gets every rule.
#ifndef SARNIC_CHECKER_H_
#define SARNIC_CHECKER_H_

#include <string>
#include <vector>

#include "sarnic/digraph.h"
#include "sarnic/ndarray.h"

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

struct CheckOptions {
  // The export plans the arena (its mem_map option): an output too large
  // for the arena's block numbers is then refused.
  bool plans_arena = true;
};

// Every finding of every rule, node by node in the graph's order, then the
// findings about the graph as a whole. The checker is a helper: it never
// throws on what a graph holds (a rule that meets a value it cannot judge
// says nothing) and never changes the graph. Every node whose layer type
// has a declared shape is written as its operation writes it and its
// output_shape compared with what its inputs and attributes give; a layer
// type that keeps its input's shape is compared with its input directly.
std::vector<Finding> CheckGraph(const Graph& graph,
                                const CheckOptions& options = {});

// "node 'c' attribute 'x': message".
std::string FormatFinding(const Finding& finding);

}  // namespace sarnic

#endif  // SARNIC_CHECKER_H_
