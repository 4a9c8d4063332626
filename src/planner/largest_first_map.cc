#include <algorithm>
#include <deque>
#include <numeric>
#include <utility>

#include "planner/free_list.h"
#include "planner/planners.h"
#include "sarnic/errors.h"

namespace sarnic::planner {

namespace {

// The steps at which each layer is live, in step order: listed for explicit
// lists, an interval for intervals.
class LiveSteps {
 public:
  LiveSteps(const LiveLists& layer_steps, std::size_t layers)
      : steps_(layer_steps) {
    if (!layer_steps.intervals()) live_at_ = Listed(layer_steps, layers);
  }
  template <typename Fn>
  void ForEach(LayerId layer, Fn&& fn) const {
    if (steps_.intervals()) {
      for (uint32_t t = layer; t <= steps_.last(layer); ++t) fn(t);
    } else {
      for (uint32_t t : live_at_[layer]) fn(t);
    }
  }
  bool Empty(LayerId layer) const {
    return !steps_.intervals() && live_at_[layer].empty();
  }

 private:
  static std::vector<std::vector<uint32_t>> Listed(const LiveLists& layer_steps,
                                                   std::size_t layers);
  const LiveLists& steps_;
  std::vector<std::vector<uint32_t>> live_at_;
};

std::vector<std::vector<uint32_t>> LiveSteps::Listed(
    const LiveLists& layer_steps, std::size_t layers) {
  std::vector<std::vector<uint32_t>> live_at(layers);
  for (std::size_t t = 0; t < layer_steps.size(); ++t) {
    layer_steps.ForEach(t, [&](LayerId l) {
      auto& steps = live_at[l];
      if (steps.empty() || steps.back() != t) {
        steps.push_back(static_cast<uint32_t>(t));
      }
    });
  }
  return live_at;
}

// The free ranges of every step as the layers are placed. While the spans
// placed at a step are non-empty and pairwise disjoint, carving them in any
// order leaves the same ranges, so the step's ranges are kept and carved as
// each layer is placed. A step where that fails (a layer placed over
// another, or one of no blocks) is rebuilt from its live list, carving in
// list order, whenever it is asked for.
class StepRanges {
 public:
  StepRanges(const LiveLists& steps, const std::vector<int64_t>& blocks,
             const Plan& plan, int64_t total_blocks)
      : steps_(steps),
        blocks_(blocks),
        plan_(plan),
        total_(total_blocks),
        kept_(steps.size(), FreeList(total_blocks)),
        exact_(steps.size(), true) {}

  // Step t's ranges; a rebuilt one is appended to `scratch`.
  const FreeList& Get(uint32_t t, std::deque<FreeList>& scratch) const {
    if (exact_[t]) return kept_[t];
    FreeList& f = scratch.emplace_back(total_);
    steps_.ForEach(t, [&](LayerId l) {
      if (plan_[l] >= 0) f.Carve(plan_[l], plan_[l] + blocks_[l] - 1);
    });
    return f;
  }

  // Records that `layer`, live at `live_steps`, now has its start in plan.
  void Placed(LayerId layer, const LiveSteps& live_steps) {
    const int64_t start = plan_[layer];
    const int64_t blocks = blocks_[layer];
    live_steps.ForEach(layer, [&](uint32_t t) {
      if (!exact_[t]) return;
      if (blocks <= 0 || !kept_[t].Carve(start, start + blocks - 1)) {
        exact_[t] = false;
        kept_[t] = FreeList(0);  // no longer read
      }
    });
  }

 private:
  const LiveLists& steps_;
  const std::vector<int64_t>& blocks_;
  const Plan& plan_;
  int64_t total_;
  std::vector<FreeList> kept_;
  std::vector<bool> exact_;
};

// The first candidate start that is free for `blocks` blocks in every one
// of `step_free`; -1 when none is. A single candidate is taken as it is.
int64_t FirstFit(std::vector<int64_t>& candidates,
                 const std::vector<const FreeList*>& step_free,
                 int64_t blocks) {
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()),
                   candidates.end());
  if (candidates.size() == 1) return candidates[0];
  for (int64_t pos : candidates) {
    const bool fits_all =
        std::all_of(step_free.begin(), step_free.end(),
                    [&](const FreeList* f) { return f->Fits(pos, blocks); });
    if (fits_all) return pos;
  }
  return -1;
}

}  // namespace

Plan largest_first_map(const LiveLists& layer_steps,
                       const std::vector<int64_t>& layer_blocks,
                       int64_t total_blocks) {
  const std::size_t n = layer_blocks.size();
  Plan plan(n, -1);
  const LiveSteps live_at(layer_steps, n);
  // Largest first; among equal sizes the earliest in planner order.
  std::vector<LayerId> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](LayerId a, LayerId b) {
    return layer_blocks[a] > layer_blocks[b];
  });

  StepRanges free(layer_steps, layer_blocks, plan, total_blocks);
  std::deque<FreeList> rebuilt;  // appending moves no element
  std::vector<const FreeList*> step_free;
  std::vector<int64_t> candidates;
  for (LayerId layer : order) {
    const int64_t blocks = layer_blocks[layer];
    rebuilt.clear();
    step_free.clear();
    candidates.clear();
    live_at.ForEach(layer, [&](uint32_t t) {
      const FreeList& f = free.Get(t, rebuilt);
      // A range exactly as long as the layer offers no candidate. Steps in
      // a row mostly offer the same starts: a repeat of the last one is
      // not gathered again (duplicates go anyway).
      for (const auto& [first, last] : f.ranges()) {
        if (last - first + 1 > blocks &&
            (candidates.empty() || candidates.back() != first)) {
          candidates.push_back(first);
        }
      }
      step_free.push_back(&f);
    });
    int64_t start = FirstFit(candidates, step_free, blocks);
    if (start < 0) {
      // A layer live at no step has no free list to take a start from.
      if (!live_at.Empty(layer)) {
        throw InternalError("memory planner found no start block for a layer");
      }
      start = 0;
    }
    plan[layer] = start;
    free.Placed(layer, live_at);
  }
  return plan;
}

}  // namespace sarnic::planner
