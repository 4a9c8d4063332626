#include <algorithm>
#include <numeric>

#include "planner/free_list.h"
#include "planner/planners.h"
#include "sarnic/errors.h"

namespace sarnic::planner {

namespace {

// The steps at which each layer is live, in step order.
std::vector<std::vector<uint32_t>> LiveSteps(const LiveLists& layer_steps,
                                             std::size_t layers) {
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

// The first candidate start that is free for `blocks` blocks in every one
// of `step_free`; -1 when none is. A single candidate is taken as it is.
int64_t FirstFit(std::vector<int64_t>& candidates,
                 const std::vector<FreeList>& step_free, int64_t blocks) {
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()),
                   candidates.end());
  if (candidates.size() == 1) return candidates[0];
  for (int64_t pos : candidates) {
    const bool fits_all =
        std::all_of(step_free.begin(), step_free.end(),
                    [&](const FreeList& f) { return f.Fits(pos, blocks); });
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
  const std::vector<std::vector<uint32_t>> live_at = LiveSteps(layer_steps, n);
  // Largest first; among equal sizes the earliest in planner order.
  std::vector<LayerId> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](LayerId a, LayerId b) {
    return layer_blocks[a] > layer_blocks[b];
  });

  std::vector<FreeList> step_free;
  std::vector<int64_t> candidates;
  for (LayerId layer : order) {
    const int64_t blocks = layer_blocks[layer];
    step_free.clear();
    candidates.clear();
    for (uint32_t t : live_at[layer]) {
      FreeList free(total_blocks);
      layer_steps.ForEach(t, [&](LayerId l) {
        if (plan[l] >= 0) free.Carve(plan[l], plan[l] + layer_blocks[l] - 1);
      });
      // A range exactly as long as the layer offers no candidate.
      for (const auto& [first, last] : free.ranges()) {
        if (last - first + 1 > blocks) candidates.push_back(first);
      }
      step_free.push_back(std::move(free));
    }
    int64_t start = FirstFit(candidates, step_free, blocks);
    if (start < 0) {
      // A layer live at no step has no free list to take a start from.
      if (!live_at[layer].empty()) {
        throw InternalError("memory planner found no start block for a layer");
      }
      start = 0;
    }
    plan[layer] = start;
  }
  return plan;
}

}  // namespace sarnic::planner
