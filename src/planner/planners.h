// The arena planners: pure functions of per-step live lists and per-layer
// block counts, returning each layer's start block. Layers are numbered in
// planner order (the order in which they are computed); a live list names
// the layers whose outputs must be intact at that step.
#ifndef SARNIC_PLANNER_PLANNERS_H_
#define SARNIC_PLANNER_PLANNERS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sarnic::planner {

using LayerId = uint32_t;

// Live lists, in one of three forms:
// - explicit: every step's list as given;
// - cumulative: step t lists layers 0, ..., t in that order (outputs never
//   released), never materialised;
// - intervals: layer l is live from step l to step last(l) and nowhere
//   else, as when every layer is read only by later layers. Memory stays
//   linear in the graph however many layers are live at once (a concat of
//   many inputs); the lists' order, which only a rebuilt step needs, is
//   derived from each step's own entries (`heads`: the step's inputs in
//   the order its lists were built) and the model's outputs (`tail`, listed
//   at the last step).
class LiveLists {
 public:
  static LiveLists Explicit(std::vector<std::vector<LayerId>> steps);
  static LiveLists Cumulative(std::size_t steps);
  static LiveLists Intervals(std::vector<uint32_t> last,
                             std::vector<std::size_t> head_offsets,
                             std::vector<LayerId> heads,
                             std::vector<LayerId> tail);

  std::size_t size() const {
    return cumulative_ || intervals_ ? count_ : steps_.size();
  }
  bool cumulative() const { return cumulative_; }
  bool intervals() const { return intervals_; }
  // The last step of layer l's interval (intervals only).
  uint32_t last(LayerId l) const { return last_[l]; }

  // Calls fn(layer) for each layer of step t's list, in list order. For
  // intervals this costs a walk over the entries of the steps from t on:
  // the planners use the intervals themselves where they can.
  template <typename Fn>
  void ForEach(std::size_t t, Fn&& fn) const {
    if (cumulative_) {
      for (std::size_t i = 0; i <= t; ++i) fn(static_cast<LayerId>(i));
    } else if (intervals_) {
      ForEachInInterval(t, fn);
    } else {
      for (LayerId l : steps_[t]) fn(l);
    }
  }
  const std::vector<std::vector<LayerId>>& steps() const { return steps_; }

 private:
  // Step t lists t, then each later step's entries not above t, first
  // occurrences only, then the outputs not above t: the order in which the
  // lists are built from the last step back.
  template <typename Fn>
  void ForEachInInterval(std::size_t t, Fn& fn) const {
    if (seen_.size() != count_) seen_.assign(count_, 0);
    if (++epoch_ == 0) {
      std::fill(seen_.begin(), seen_.end(), 0);
      epoch_ = 1;
    }
    auto emit = [&](LayerId l) {
      if (l > t || seen_[l] == epoch_) return;
      seen_[l] = epoch_;
      fn(l);
    };
    emit(static_cast<LayerId>(t));
    for (std::size_t s = t; s < count_; ++s) {
      for (std::size_t k = head_offsets_[s]; k < head_offsets_[s + 1]; ++k) {
        emit(heads_[k]);
      }
    }
    for (LayerId l : tail_) emit(l);
  }

  std::vector<std::vector<LayerId>> steps_;
  bool cumulative_ = false;
  bool intervals_ = false;
  std::size_t count_ = 0;
  std::vector<uint32_t> last_;
  std::vector<std::size_t> head_offsets_;
  std::vector<LayerId> heads_;
  std::vector<LayerId> tail_;
  mutable std::vector<uint32_t> seen_;  // scratch of ForEach
  mutable uint32_t epoch_ = 0;
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

// The two ways largest_first_map plans intervals of positive sizes, which
// it chooses between by the steps the intervals meet: over runs of steps
// with the same live layers, or over the placed layers as rectangles of
// steps × blocks. Each gives the per-step plan, or nothing where a layer
// finds no start that fits (with an arena smaller than the layers' sum the
// per-step rule may take a single candidate over another layer).
std::optional<Plan> LargestFirstOverRuns(const LiveLists& steps,
                                         const std::vector<int64_t>& blocks,
                                         int64_t total_blocks);
std::optional<Plan> LargestFirstOverRectangles(
    const LiveLists& steps, const std::vector<int64_t>& blocks,
    int64_t total_blocks);

// Whether every layer has at least one block: what the planners' ways over
// intervals need.
inline bool AllPositive(const std::vector<int64_t>& blocks) {
  return std::all_of(blocks.begin(), blocks.end(),
                     [](int64_t b) { return b > 0; });
}

// The layers by size, largest first; among equal sizes the earliest in
// planner order: the order in which the largest-first and first-fit
// planners place them.
std::vector<LayerId> LargestFirstOrder(const std::vector<int64_t>& blocks);

// The pairs of layers live at a common step that the first-fit planners
// join (each once per run of one of them, so an upper bound for explicit
// lists): their memory and time grow with it.
std::size_t ConflictPairs(const LiveLists& steps);

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
