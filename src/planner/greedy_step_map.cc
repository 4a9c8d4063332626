#include <algorithm>
#include <cstdint>
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

// The free ranges of the greedy plan over intervals, by first block, with
// the length of each range at its first block in a max tree over the
// blocks: the lowest range at least as long as a layer is one descent. The
// tree covers the blocks up to the highest first block so far (the top
// range begins where the plan ends), doubling as that grows. Where the
// layers are so large that it would outgrow a few dozen entries per layer,
// the ranges are walked instead.
class FreeRanges {
 public:
  FreeRanges(int64_t total_blocks, std::size_t layers)
      : max_leaves_(std::max<std::size_t>(std::size_t{1} << 16, 16 * layers)) {
    Put(0, total_blocks);
  }

  // The first block of the lowest range of at least `size` (> 0) blocks;
  // -1 when there is none.
  int64_t LowestFitting(int64_t size) const {
    if (longest_.empty()) {
      for (const auto& [first, last] : ranges_) {
        if (last - first + 1 >= size) return first;
      }
      return -1;
    }
    if (longest_[1] < size) return -1;
    std::size_t node = 1;
    while (node < leaves_) {
      node = longest_[2 * node] >= size ? 2 * node : 2 * node + 1;
    }
    return static_cast<int64_t>(node - leaves_);
  }

  // Takes [first, first + size - 1] from the front of the range beginning
  // at `first`.
  void TakeFront(int64_t first, int64_t size) {
    const int64_t last = ranges_.at(first);
    Remove(first);
    if (first + size <= last) Put(first + size, last);
  }

  // Gives [first, last] back, merged with the ranges it touches.
  void Give(int64_t first, int64_t last) {
    auto next = ranges_.upper_bound(first);
    if (next != ranges_.end() && next->first == last + 1) {
      last = next->second;
      Remove(next->first);
      next = ranges_.upper_bound(first);
    }
    if (next != ranges_.begin() && std::prev(next)->second == first - 1) {
      first = std::prev(next)->first;
      Remove(first);
    }
    Put(first, last);
  }

 private:
  void Put(int64_t first, int64_t last) {
    ranges_.emplace(first, last);
    Set(first, last - first + 1);
  }
  void Remove(int64_t first) {
    ranges_.erase(first);
    Set(first, 0);
  }
  void Set(int64_t block, int64_t length) {
    if (static_cast<std::size_t>(block) >= leaves_) Grow(block);
    if (longest_.empty()) return;
    std::size_t node = leaves_ + static_cast<std::size_t>(block);
    longest_[node] = length;
    for (node /= 2; node > 0; node /= 2) {
      longest_[node] = std::max(longest_[2 * node], longest_[2 * node + 1]);
    }
  }

  void Grow(int64_t block) {
    std::size_t leaves = leaves_;
    while (leaves <= static_cast<std::size_t>(block)) leaves *= 2;
    if (leaves > max_leaves_) {
      longest_.clear();
      longest_.shrink_to_fit();
      leaves_ = SIZE_MAX;
      return;
    }
    std::vector<int64_t> longest(2 * leaves, 0);
    std::copy(longest_.begin() + static_cast<std::ptrdiff_t>(leaves_),
              longest_.end(),
              longest.begin() + static_cast<std::ptrdiff_t>(leaves));
    for (std::size_t node = leaves - 1; node > 0; --node) {
      longest[node] = std::max(longest[2 * node], longest[2 * node + 1]);
    }
    longest_ = std::move(longest);
    leaves_ = leaves;
  }

  std::map<int64_t, int64_t> ranges_;  // first -> last
  std::size_t max_leaves_;
  std::size_t leaves_ = 1;                 // SIZE_MAX once walked instead
  std::vector<int64_t> longest_ = {0, 0};  // lengths at first blocks
};

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
  FreeRanges free(total_blocks, n);
  std::vector<std::vector<LayerId>> ending(n);
  for (std::size_t t = 0; t < n; ++t) {
    if (t > 0) {
      for (LayerId l : ending[t - 1]) {
        free.Give(plan[l], plan[l] + blocks[l] - 1);
      }
    }
    const int64_t first = free.LowestFitting(blocks[t]);
    if (first < 0) {
      throw InternalError("memory planner found no free range for a layer");
    }
    plan[t] = first;
    free.TakeFront(first, blocks[t]);
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
  if (layer_steps.intervals() && AllPositive(layer_blocks)) {
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
