// The memory map driver: sizes and live ranges of the layer outputs from
// the graph, the planners, the choice between their plans and the blocks
// stored in the nodes. Graph in, plan record out; drawing the plan is the
// picture's job.
#ifndef SARNIC_PLANNER_MEMORY_MAP_H_
#define SARNIC_PLANNER_MEMORY_MAP_H_

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "planner/planners.h"
#include "sarnic/digraph.h"

namespace sarnic {

struct MemoryMapOptions {
  int block_size = 1024;
  // Release outputs that are no longer needed (live lists pruned by last
  // use) and print the statistics; otherwise every output lives to the end.
  bool opt_map = true;
  // Also try the first-fit planner with its local search, keeping its plan
  // only when it needs fewer blocks.
  bool try_best = false;
  // Nodes whose outputs must stay intact for the whole run.
  std::vector<std::string> save_layers;
  // Live intervals where the graph allows them (memory linear in the
  // graph); false always lists every step explicitly. The plans are the
  // same either way: the tests compare both.
  bool allow_intervals = true;
};

struct MemoryPlan {
  // Blocks the plan needs, without the reserved leading blocks.
  uint32_t block_count = 0;
  // Each planned node (by graph position) with its start block, the
  // reserved leading blocks included: what the caller stores in the nodes'
  // `block` attributes.
  std::vector<std::pair<uint32_t, int64_t>> node_blocks;
  // What the picture draws: the live lists, each planned layer's start
  // block and its size in blocks, by planned layer.
  planner::LiveLists steps;
  planner::Plan plan;
  std::vector<int64_t> layer_blocks;
};

// Plans the arena of `graph`: every node whose op is not "constant", "copy"
// or "reshape" gets a start block (after the reserved leading blocks), in
// `node_blocks`; the graph is only read. Saved layers that are no node
// and, with opt_map, the plan's statistics are printed on `out`.
MemoryPlan memory_map(const DiGraph& graph,
                      const std::vector<std::string>& outputs,
                      const MemoryMapOptions& options, std::ostream& out);

}  // namespace sarnic

#endif  // SARNIC_PLANNER_MEMORY_MAP_H_
