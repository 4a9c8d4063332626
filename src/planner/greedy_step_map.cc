#include <iterator>
#include <map>
#include <set>
#include <utility>

#include "planner/free_list.h"
#include "planner/planners.h"
#include "sarnic/errors.h"

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

LiveLists LiveLists::Intervals(std::vector<uint32_t> last,
                               std::vector<std::size_t> head_offsets,
                               std::vector<LayerId> heads,
                               std::vector<LayerId> tail) {
  LiveLists l;
  l.intervals_ = true;
  l.count_ = last.size();
  l.last_ = std::move(last);
  l.head_offsets_ = std::move(head_offsets);
  l.heads_ = std::move(heads);
  l.tail_ = std::move(tail);
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
  if (steps.intervals()) {
    // Each layer adds its blocks at its own step and takes them away after
    // its last one.
    std::vector<int64_t> ending(steps.size() + 1, 0);
    int64_t sum = 0;
    for (std::size_t t = 0; t < steps.size(); ++t) {
      sum += blocks[t] - ending[t];
      ending[steps.last(static_cast<LayerId>(t)) + 1] += blocks[t];
      best = std::max(best, sum);
    }
    return best;
  }
  for (std::size_t t = 0; t < steps.size(); ++t) {
    int64_t sum = 0;
    steps.ForEach(t, [&](LayerId l) { sum += blocks[l]; });
    best = std::max(best, sum);
  }
  return best;
}

namespace {

// The greedy plan over intervals. Step t's only unplaced layer is t itself,
// and no two layers live at a common step overlap (each was placed clear of
// every layer live at its own step, which includes every earlier layer it
// shares a step with). So the step's free ranges are those left by the
// layers live at it, kept from step to step: a layer's blocks are carved
// when it is placed and given back, merged with their neighbours, after its
// last step. Each range taking the biggest unplaced layer that fits it then
// means: layer t at the lowest free range at least as long as it.
Plan GreedyOverIntervals(const LiveLists& steps,
                         const std::vector<int64_t>& blocks,
                         int64_t total_blocks) {
  const std::size_t n = steps.size();
  Plan plan(n, -1);
  std::map<int64_t, int64_t> free = {{0, total_blocks}};  // first -> last
  std::vector<std::vector<LayerId>> ending(n);
  for (std::size_t t = 0; t < n; ++t) {
    if (t > 0) {
      for (LayerId l : ending[t - 1]) {
        int64_t first = plan[l], last = plan[l] + blocks[l] - 1;
        auto next = free.upper_bound(first);
        if (next != free.end() && next->first == last + 1) {
          last = next->second;
          next = free.erase(next);
        }
        if (next != free.begin() && std::prev(next)->second == first - 1) {
          std::prev(next)->second = last;
        } else {
          free.emplace(first, last);
        }
      }
    }
    const int64_t size = blocks[t];
    auto it = free.begin();
    while (it != free.end() && it->second - it->first + 1 < size) ++it;
    if (it == free.end()) {
      throw InternalError("memory planner found no free range for a layer");
    }
    const auto [first, last] = *it;
    plan[t] = first;
    free.erase(it);
    if (first + size <= last) free.emplace(first + size, last);
    ending[steps.last(static_cast<LayerId>(t))].push_back(
        static_cast<LayerId>(t));
  }
  return plan;
}

}  // namespace

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
  if (layer_steps.intervals()) {
    return GreedyOverIntervals(layer_steps, layer_blocks, total_blocks);
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
