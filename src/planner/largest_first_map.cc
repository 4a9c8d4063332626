#include <algorithm>
#include <numeric>

#include "planner/free_list.h"
#include "planner/planners.h"
#include "sarnic/errors.h"

namespace sarnic::planner {

Plan largest_first_map(const LiveLists& layer_steps,
                       const std::vector<int64_t>& layer_blocks,
                       int64_t total_blocks) {
  const std::size_t n = layer_blocks.size();
  Plan plan(n, -1);
  // The steps at which each layer is live, in step order.
  std::vector<std::vector<uint32_t>> live_at(n);
  for (std::size_t t = 0; t < layer_steps.size(); ++t) {
    layer_steps.ForEach(t, [&](LayerId l) {
      auto& steps = live_at[l];
      if (steps.empty() || steps.back() != t) {
        steps.push_back(static_cast<uint32_t>(t));
      }
    });
  }
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
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()),
                     candidates.end());
    int64_t start = -1;
    if (candidates.size() == 1) {
      start = candidates[0];
    } else {
      for (int64_t pos : candidates) {
        const bool fits_all =
            std::all_of(step_free.begin(), step_free.end(),
                        [&](const FreeList& f) { return f.Fits(pos, blocks); });
        if (fits_all) {
          start = pos;
          break;
        }
      }
    }
    if (start < 0) {
      // A layer live at no step has no free list to take a start from.
      if (!live_at[layer].empty()) {
        throw Error("memory planner found no start block for a layer");
      }
      start = 0;
    }
    plan[layer] = start;
  }
  return plan;
}

}  // namespace sarnic::planner
