#include <set>
#include <utility>

#include "planner/free_list.h"
#include "planner/planners.h"

namespace sarnic::planner {

LiveLists LiveLists::Explicit(std::vector<std::vector<LayerId>> steps) {
  LiveLists l;
  l.steps_ = std::move(steps);
  return l;
}

LiveLists LiveLists::Cumulative(std::size_t steps) {
  LiveLists l;
  l.cumulative_ = true;
  l.count_ = steps;
  return l;
}

int64_t BlockCount(const Plan& plan, const std::vector<int64_t>& blocks) {
  int64_t count = 0;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    if (plan[i] >= 0) count = std::max(count, plan[i] + blocks[i]);
  }
  return count;
}

int64_t LowerBound(const LiveLists& steps, const std::vector<int64_t>& blocks) {
  if (steps.cumulative()) {
    int64_t sum = 0;  // the last step lists every layer
    for (std::size_t i = 0; i < steps.size(); ++i) sum += blocks[i];
    return sum;
  }
  int64_t best = 0;
  for (std::size_t t = 0; t < steps.size(); ++t) {
    int64_t sum = 0;
    steps.ForEach(t, [&](LayerId l) { sum += blocks[l]; });
    best = std::max(best, sum);
  }
  return best;
}

Plan greedy_step_map(const LiveLists& layer_steps,
                     const std::vector<int64_t>& layer_blocks,
                     int64_t total_blocks) {
  Plan plan(layer_blocks.size(), -1);
  if (layer_steps.cumulative()) {
    // Each step holds exactly one unplaced layer and a single free range
    // that starts right after the layers placed before: the layers lie back
    // to back in step order.
    int64_t next = 0;
    for (std::size_t t = 0; t < layer_steps.size(); ++t) {
      plan[t] = next;
      next += layer_blocks[t];
    }
    return plan;
  }
  for (std::size_t t = 0; t < layer_steps.size(); ++t) {
    FreeList free(total_blocks);
    // Unplaced layers of the step, ordered so that the biggest layer not
    // larger than a range is found at once: by size, then earliest first.
    std::set<std::pair<int64_t, int64_t>> unmapped;  // (blocks, -position)
    int64_t position = 0;
    layer_steps.ForEach(t, [&](LayerId l) {
      if (plan[l] < 0) {
        unmapped.emplace(layer_blocks[l], -(position++));
        return;
      }
      free.Carve(plan[l], plan[l] + layer_blocks[l] - 1);
    });
    // Positions back to layers, for the step's unplaced layers.
    std::vector<LayerId> by_position;
    layer_steps.ForEach(t, [&](LayerId l) {
      if (plan[l] < 0) by_position.push_back(l);
    });
    while (!unmapped.empty()) {
      // A pass visits the ranges as they were when it began.
      const std::vector<FreeList::Range> pass = free.ranges();
      for (const auto& [first, last] : pass) {
        if (unmapped.empty()) break;
        const int64_t open_space = last - first + 1;
        auto it = unmapped.upper_bound({open_space, INT64_MAX});
        if (it == unmapped.begin()) continue;
        --it;
        const LayerId layer =
            by_position[static_cast<std::size_t>(-it->second)];
        unmapped.erase(it);
        plan[layer] = first;
        free.Carve(first, first + layer_blocks[layer] - 1);
      }
    }
  }
  return plan;
}

}  // namespace sarnic::planner
