#include "planner/memory_map.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <ostream>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/attributes.h"
#include "planner/planners.h"
#include "sarnic/errors.h"
#include "sarnic/shapes.h"

namespace sarnic {

namespace {

using planner::LayerId;
using planner::LiveLists;
using planner::Plan;

bool IsReshape(const AttrDict& node) {
  const Value* op = node.find("op");
  return op != nullptr && *op == Value("reshape");
}

// Follows `input` through consecutive reshape nodes from `name` to the
// first node that is not a reshape. A loop is refused, and so is an input
// that names no node.
std::string ResolveReshape(const DiGraph& g, const std::string& name) {
  std::unordered_set<std::string> seen;
  std::string cur = name;
  while (true) {
    if (!g.has_node(cur)) {
      throw KeyError(cur, "reshape input '" + cur + "' names no node");
    }
    const AttrDict& node = g.node(cur);
    if (!IsReshape(node)) return cur;
    if (!seen.insert(cur).second) {
      throw ValueError("Reshape inputs form a loop at reshape",
                       "'" + cur + "'");
    }
    cur = node.at("input").str();
  }
}

// Blocks of a layer's output.
int64_t LayerBlocks(const std::string& n, const AttrDict& node,
                    int block_size) {
  const Shape shape = IntListAttr(node, "output_shape");
  uint64_t count = 1;
  for (int64_t d : shape) {
    if (d <= 0) {
      throw ValueError("Found negative value for output shape in node " + n +
                       ". Check that you are using the correct default "
                       "shape.");
    }
    if (count >
        std::numeric_limits<uint64_t>::max() / static_cast<uint64_t>(d)) {
      throw ValueError("Output size overflows 64 bits in node", n);
    }
    count *= static_cast<uint64_t>(d);
  }
  const Value* dt = node.find("datatype");
  const bool byte_wide =
      dt != nullptr && (*dt == Value("int8") || *dt == Value("uint8"));
  const std::optional<PlanSize> size =
      PlannedSize(count, byte_wide, static_cast<uint64_t>(block_size));
  if (!size) throw ValueError("Output size overflows 64 bits in node", n);
  const uint64_t blocks = size->blocks;
  if (blocks > static_cast<uint64_t>(std::numeric_limits<uint32_t>::max())) {
    throw ValueError("Output does not fit the arena's block numbers in node",
                     n);
  }
  return static_cast<int64_t>(blocks);
}

struct PlannerInput {
  std::vector<uint32_t> layer_nodes;  // graph position of each layer
  std::unordered_map<std::string, LayerId> layer_of;    // name -> layer
  std::unordered_map<std::string, LayerId> reshape_of;  // reshape -> layer
  std::vector<int64_t> blocks;
  int64_t total_blocks = 0;
};

// The layer a name stands for: the layer itself, or the source layer of a
// reshape; -1 for anything else.
int64_t LayerFor(const PlannerInput& in, const std::string& name) {
  if (auto it = in.layer_of.find(name); it != in.layer_of.end()) {
    return it->second;
  }
  if (auto it = in.reshape_of.find(name); it != in.reshape_of.end()) {
    return it->second;
  }
  return -1;
}

PlannerInput BuildInput(const DiGraph& g, int block_size) {
  PlannerInput in;
  const std::vector<uint32_t> order = g.topological_order();
  std::vector<std::pair<std::string, std::string>> reshapes;
  // The source of each reshape met so far: a chain of reshapes in
  // topological order resolves each from the one before (linear, where
  // following every chain to its start is quadratic).
  std::unordered_map<std::string, std::string> source_of;
  for (uint32_t idx : order) {
    const std::string& n = g.name_of(idx);
    const AttrDict& node = g.attrs_of(idx);
    const Value& op = node.at("op");
    if (op == Value("constant") || op == Value("copy")) continue;
    if (op == Value("reshape")) {
      const auto known = source_of.find(node.at("input").str());
      const std::string source =
          known != source_of.end() ? known->second : ResolveReshape(g, n);
      source_of.emplace(n, source);
      reshapes.emplace_back(n, source);
      continue;
    }
    const int64_t b = LayerBlocks(n, node, block_size);
    in.layer_of.emplace(n, static_cast<LayerId>(in.blocks.size()));
    in.layer_nodes.push_back(idx);
    in.blocks.push_back(b);
    in.total_blocks += b;
  }
  // A reshape's output lives in its source layer's memory; a source that is
  // not a layer (a constant) gives the reshape no layer either.
  for (const auto& [r, source] : reshapes) {
    if (auto it = in.layer_of.find(source); it != in.layer_of.end()) {
      in.reshape_of.emplace(r, it->second);
    }
  }
  return in;
}

// The layers that step t's own node names (any attribute whose value, or
// for `values` an element of it, names a layer or a reshape of one), in
// attribute order; repeats are kept.
void StepInputs(const DiGraph& g, const PlannerInput& in, std::size_t t,
                std::vector<LayerId>& out) {
  auto add = [&](int64_t layer) {
    if (layer >= 0) out.push_back(static_cast<LayerId>(layer));
  };
  for (const auto& [attr, value] : g.attrs_of(in.layer_nodes[t])) {
    if (attr == "op") continue;
    if (attr == "values" && value.is_list()) {
      for (const Value& v : value.as_list()) add(LayerFor(in, v.str()));
    }
    add(LayerFor(in, value.str()));
  }
}

// Live lists pruned to true liveness, built from the last step back: step
// t lists t, the layers its node names, the layers of step t + 1 not after
// t, and the saved layers; the last step also lists the outputs.
LiveLists PruneLiveness(const DiGraph& g, const PlannerInput& in,
                        const std::vector<std::string>& outputs,
                        const std::vector<LayerId>& saved,
                        bool allow_intervals) {
  const std::size_t n = in.blocks.size();
  // Each step's own entries first, in a flat list.
  std::vector<std::size_t> offsets(n + 1, 0);
  std::vector<LayerId> heads;
  for (std::size_t t = 0; t < n; ++t) {
    StepInputs(g, in, t, heads);
    offsets[t + 1] = heads.size();
  }
  std::vector<LayerId> tail;
  for (const std::string& o : outputs) {
    if (const int64_t l = LayerFor(in, o); l >= 0) {
      tail.push_back(static_cast<LayerId>(l));
    }
  }
  // When every step names only layers not after it and nothing is saved,
  // each layer is live from its own step to its last reader (or to the end
  // for an output): intervals, whose memory is linear in the graph.
  bool intervals = allow_intervals && saved.empty();
  std::vector<uint32_t> last(n);
  for (std::size_t t = 0; t < n && intervals; ++t) {
    last[t] = static_cast<uint32_t>(t);
    for (std::size_t k = offsets[t]; k < offsets[t + 1]; ++k) {
      if (heads[k] > t) intervals = false;
      if (heads[k] <= t) last[heads[k]] = static_cast<uint32_t>(t);
    }
  }
  if (intervals && n > 0) {
    for (LayerId l : tail) last[l] = static_cast<uint32_t>(n - 1);
    return LiveLists::Intervals(std::move(last), std::move(offsets),
                                std::move(heads), std::move(tail));
  }
  std::vector<std::vector<LayerId>> steps(n);
  std::vector<uint32_t> mark(n, UINT32_MAX);  // step that holds the layer
  for (std::size_t t = n; t-- > 0;) {
    std::vector<LayerId>& keep = steps[t];
    auto add = [&](LayerId l) {
      if (mark[l] == t) return;
      mark[l] = static_cast<uint32_t>(t);
      keep.push_back(l);
    };
    add(static_cast<LayerId>(t));
    for (std::size_t k = offsets[t]; k < offsets[t + 1]; ++k) add(heads[k]);
    if (t + 1 < n) {
      for (LayerId l : steps[t + 1]) {
        if (l <= t) add(l);
      }
    } else {
      for (LayerId l : tail) add(l);
    }
    for (LayerId l : saved) add(l);
  }
  return LiveLists::Explicit(std::move(steps));
}

std::string Fixed2(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", d);
  return buf;
}

// The saved layers that are nodes, each resolved through reshapes to the
// layer it stands for; the others are reported.
std::vector<std::string> SavedNodes(const DiGraph& g,
                                    const std::vector<std::string>& names,
                                    std::ostream& out) {
  std::vector<std::string> saved;
  for (const std::string& s : names) {
    if (g.has_node(s)) {
      saved.push_back(s);
    } else {
      out << "WARNING: specified saved layer '" << s << "' is not in graph\n";
    }
  }
  for (std::string& s : saved) s = ResolveReshape(g, s);
  return saved;
}

enum class Chosen { kGreedy, kLargestFirst, kBest };

struct Choice {
  Plan plan;
  int64_t block_count = 0;
  Chosen chosen = Chosen::kGreedy;
};

// The greedy plan, or the largest-first plan when it needs fewer blocks,
// or, when asked, the first-fit plan when it needs fewer still. A plan is
// replaced only by a strictly smaller one, and none needs fewer blocks than
// the largest step (`min_blocks`): once the chosen plan needs that many, the
// planners after it are not run, and the choice is the same. Every tensor of
// one size (graphs of same-shape additions) is such a case: the greedy plan
// is then as small as can be, where the largest-first search is at its
// slowest.
constexpr std::size_t kMaxConflictPairs = 8'000'000;

Choice ChoosePlan(const LiveLists& steps, const PlannerInput& in,
                  int64_t min_blocks, bool optimize, bool try_best,
                  std::ostream& out) {
  Choice c;
  c.plan = planner::greedy_step_map(steps, in.blocks, in.total_blocks);
  c.block_count = planner::BlockCount(c.plan, in.blocks);
  if (optimize && c.block_count > min_blocks) {
    Plan large = planner::largest_first_map(steps, in.blocks, in.total_blocks);
    const int64_t count = planner::BlockCount(large, in.blocks);
    if (c.block_count > count)
      c = {std::move(large), count, Chosen::kLargestFirst};
  }
  // The first-fit plan replaces the chosen one only when strictly smaller,
  // so without a gain the model stays exactly as with the standard choice.
  // Its conflict lists hold every pair of layers live together: beyond a
  // budget (a concat of thousands of inputs) it is not tried.
  if (try_best && !steps.cumulative() &&
      planner::ConflictPairs(steps) > kMaxConflictPairs) {
    out << "Best planning skipped: more than " << kMaxConflictPairs
        << " pairs of layers are live at a common step\n";
    return c;
  }
  if (try_best && !steps.cumulative() && c.block_count > min_blocks) {
    Plan best = planner::best_fit_map(steps, in.blocks);
    const int64_t count = planner::BlockCount(best, in.blocks);
    if (count < c.block_count) c = {std::move(best), count, Chosen::kBest};
  }
  return c;
}

void PrintStatistics(std::ostream& out, const Choice& c, int64_t total_blocks,
                     int64_t min_blocks) {
  const auto total = static_cast<double>(total_blocks);
  const auto chosen = static_cast<double>(c.block_count);
  const auto min = static_cast<double>(min_blocks);
  out << (c.chosen == Chosen::kBest           ? "Used Best Planning\n"
          : c.chosen == Chosen::kLargestFirst ? "Used Largest First Planning\n"
                                              : "Used Greedy Planning\n")
      << "Max Blocks: " << total_blocks << "\n"
      << "Min Blocks: " << min_blocks << "\n"
      << "Current Blocks: " << c.block_count << "\n"
      << "Memory Saved: "
      << Fixed2(total_blocks == 0 ? 0 : (total - chosen) / total * 100) << "\n"
      << "Percent Above Min: "
      << Fixed2(min_blocks == 0 ? 0 : chosen / min * 100 - 100) << "\n";
}

}  // namespace

MemoryPlan memory_map(const DiGraph& g, const std::vector<std::string>& outputs,
                      const MemoryMapOptions& options, std::ostream& out) {
  const std::vector<std::string> saved_names =
      SavedNodes(g, options.save_layers, out);
  const PlannerInput in = BuildInput(g, options.block_size);
  std::vector<LayerId> saved;
  for (const std::string& s : saved_names) {
    if (auto it = in.layer_of.find(s); it != in.layer_of.end()) {
      saved.push_back(it->second);
    }
  }
  const std::size_t n = in.blocks.size();
  LiveLists steps = options.opt_map ? PruneLiveness(g, in, outputs, saved,
                                                    options.allow_intervals)
                                    : LiveLists::Cumulative(n);
  const int64_t min_blocks = planner::LowerBound(steps, in.blocks);
  Choice c =
      ChoosePlan(steps, in, min_blocks, options.opt_map, options.try_best, out);

  // The reserved leading blocks: 128 bytes for every node and one more.
  const int64_t offset_bytes =
      (static_cast<int64_t>(g.number_of_nodes()) + 1) * 128;
  const int64_t offset_blocks = offset_bytes / options.block_size +
                                (offset_bytes % options.block_size != 0);
  MemoryPlan record;
  record.node_blocks.reserve(n);
  for (std::size_t l = 0; l < n; ++l) {
    record.node_blocks.emplace_back(in.layer_nodes[l],
                                    c.plan[l] + offset_blocks);
  }
  if (options.opt_map) {
    PrintStatistics(out, c, in.total_blocks, min_blocks);
  }
  record.block_count = CheckedUint32(c.block_count, "memory plan block count");
  record.steps = std::move(steps);
  record.plan = std::move(c.plan);
  record.layer_blocks = in.blocks;
  return record;
}

}  // namespace sarnic
