// The arena planners: pure functions of per-step live lists and per-layer
// block counts, returning each layer's start block. Layers are numbered in
// planner order (the order in which they are computed); a live list names
// the layers whose outputs must be intact at that step.
#ifndef SARNIC_PLANNER_PLANNERS_H_
#define SARNIC_PLANNER_PLANNERS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sarnic::planner {

using LayerId = uint32_t;

// Live lists, either explicit or cumulative (step t lists layers 0, ..., t
// in that order, as when outputs are never released), which are never
// materialised.
class LiveLists {
 public:
  static LiveLists Explicit(std::vector<std::vector<LayerId>> steps);
  static LiveLists Cumulative(std::size_t steps);

  std::size_t size() const { return cumulative_ ? count_ : steps_.size(); }
  bool cumulative() const { return cumulative_; }
  // Calls fn(layer) for each layer of step t's list, in list order.
  template <typename Fn>
  void ForEach(std::size_t t, Fn&& fn) const {
    if (cumulative_) {
      for (std::size_t i = 0; i <= t; ++i) fn(static_cast<LayerId>(i));
    } else {
      for (LayerId l : steps_[t]) fn(l);
    }
  }
  const std::vector<std::vector<LayerId>>& steps() const { return steps_; }

 private:
  std::vector<std::vector<LayerId>> steps_;
  bool cumulative_ = false;
  std::size_t count_ = 0;
};

// A plan: the start block of every layer, by layer number.
using Plan = std::vector<int64_t>;

// Blocks from block 0 that the plan touches (0 for an empty plan).
int64_t BlockCount(const Plan& plan, const std::vector<int64_t>& layer_blocks);

// The largest total size of one step's live list: no plan needs fewer blocks.
int64_t LowerBound(const LiveLists& steps,
                   const std::vector<int64_t>& layer_blocks);

// Walks the steps in order; at each step places the step's unplaced layers
// into the free ranges left by the placed live layers, lowest range first,
// each range taking the biggest unplaced layer that fits it.
Plan greedy_step_map(const LiveLists& layer_steps,
                     const std::vector<int64_t>& layer_blocks,
                     int64_t total_blocks);

// Places whole layers, largest first, each at the lowest candidate start
// where it is free at every step it is live.
Plan largest_first_map(const LiveLists& layer_steps,
                       const std::vector<int64_t>& layer_blocks,
                       int64_t total_blocks);

// Places the layers in descending size (ties in planner order), each at
// the lowest start where it overlaps no placed layer live at a common step.
Plan first_fit_map(const LiveLists& layer_steps,
                   const std::vector<int64_t>& layer_blocks);

// first_fit_map, then, above the lower bound, improves the placement order by a
// seeded local search bounded by a fixed amount of work (the same input always
// gives the same plan). Only for explicit live lists.
Plan best_fit_map(const LiveLists& layer_steps,
                  const std::vector<int64_t>& layer_blocks);

}  // namespace sarnic::planner

#endif  // SARNIC_PLANNER_PLANNERS_H_
