#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <unordered_map>
#include <utility>

#include "planner/free_list.h"
#include "planner/planners.h"
#include "planner/time_address.h"
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

namespace {

// The steps of the placed layers by their first block and by their last.
// Over the steps of a layer whose span [start, start + size - 1] is clear,
// a layer holding block start + size begins there and one holding block
// start - 1 ends there: these are all the steps the layer's neighbours on
// either side are asked about, two unions per placed layer.
struct PlacedEnds {
  explicit PlacedEnds(std::size_t layers) {
    starting.reserve(layers);
    ending.reserve(layers);
  }
  std::unordered_map<int64_t, RangeUnion> starting, ending;

  void Add(int64_t start, int64_t size, int64_t first, int64_t last) {
    starting[start].Add(first, last);
    ending[start + size - 1].Add(first, last);
  }
};

// Whether some step of [first, last] offers `start` (clear over those
// steps for `size` blocks) as the beginning of a free range longer than
// `size`: block start - 1 is occupied there (or `start` is 0) and block
// start + size is free.
bool LongerRangeAtSomeStep(const PlacedEnds& edges, int64_t first, int64_t last,
                           int64_t start, int64_t size) {
  const auto held = edges.starting.find(start + size);
  // The first step from `step` on at which block start + size is free.
  auto free_from = [&](int64_t step) {
    if (held == edges.starting.end()) return step;
    const auto end = held->second.MeetingEnd(step, step);
    return end ? *end + 1 : step;
  };
  if (start == 0) return free_from(first) <= last;
  const auto ending = edges.ending.find(start - 1);
  if (ending == edges.ending.end()) return false;
  const auto& ranges = ending->second.ranges();
  for (std::size_t i = ending->second.FirstEndingFrom(first);
       i < ranges.size() && ranges[i].first <= last; ++i) {
    if (free_from(std::max(ranges[i].first, first)) <=
        std::min(ranges[i].last, last)) {
      return true;
    }
  }
  return false;
}

}  // namespace

// The plan over intervals while no two layers live at a common step ever
// overlap (every carve succeeds). Steps in a run whose layers are the same
// have the same free ranges, so the steps are kept as runs [first, last]
// with one free list each, split only where an interval begins or ends:
// a layer costs the runs its interval meets, not its steps (a concat of
// many inputs places each in a few runs). The candidates, the fit and the
// carving are those of every step of a run at once, so the plan is the
// per-step plan. Returns nothing when a carve fails (a layer taken unchecked
// over another): the steps are then rebuilt from their lists by the caller.
std::optional<Plan> LargestFirstOverRuns(const LiveLists& steps,
                                         const std::vector<int64_t>& blocks,
                                         int64_t total_blocks) {
  const std::size_t n = blocks.size();
  Plan plan(n, -1);
  if (n == 0) return plan;
  std::map<uint32_t, std::pair<uint32_t, FreeList>> runs;  // first -> last
  runs.emplace(
      0, std::make_pair(static_cast<uint32_t>(n - 1), FreeList(total_blocks)));
  // Makes `step` the first step of a run.
  auto split = [&runs](uint32_t step) {
    auto it = std::prev(runs.upper_bound(step));
    if (it->first == step) return;
    const uint32_t last = it->second.first;
    it->second.first = step - 1;
    runs.emplace(step, std::make_pair(last, it->second.second));
  };
  std::vector<FreeList*> met;
  std::vector<const FreeList*> step_free;
  std::vector<int64_t> candidates;
  for (LayerId layer : LargestFirstOrder(blocks)) {
    const int64_t size = blocks[layer];
    const uint32_t first = layer, last = steps.last(layer);
    split(first);
    if (last + 1 < n) split(last + 1);
    met.clear();
    step_free.clear();
    candidates.clear();
    for (auto it = runs.find(first); it != runs.end() && it->first <= last;
         ++it) {
      FreeList& f = it->second.second;
      for (const auto& [begin, end] : f.ranges()) {
        if (end - begin + 1 > size) candidates.push_back(begin);
      }
      met.push_back(&f);
      step_free.push_back(&f);
    }
    const int64_t start = FirstFit(candidates, step_free, size);
    if (start < 0) return std::nullopt;
    plan[layer] = start;
    for (FreeList* f : met) {
      if (!f->Carve(start, start + size - 1)) return std::nullopt;
    }
  }
  return plan;
}

// The plan over intervals: each layer, largest first, at the lowest block
// where it is clear of every placed layer that shares a step with it and
// that begins a free range longer than it at one of its steps, which is
// the per-step rule (the lowest candidate start that fits every one of the
// layer's steps). The placed layers are rectangles of steps × blocks in a
// segment tree over the steps, so that the blocks used anywhere in the
// layer's steps are a few unions, whatever the number of steps or layers
// involved. A lowest fit begins a gap of those unions: block 0, or just
// after a layer that shares a step with it. The search climbs from block 0
// and never goes down, so each union is read on from where it was last
// asked, not looked up afresh. When the gap is longer than the layer,
// every such step offers the start; when it is exactly as long, the steps
// of the layers ending just below it and beginning just above it tell
// whether one of them offers it.
//
// Returns nothing when a layer has no start that fits: with an arena
// smaller than the sum of the layers, the per-step rule may then take a
// single candidate unchecked, over another layer, which the caller's
// per-step planner does.
std::optional<Plan> LargestFirstOverRectangles(
    const LiveLists& steps, const std::vector<int64_t>& blocks,
    int64_t total_blocks) {
  const std::size_t n = blocks.size();
  Plan plan(n, -1);
  if (n == 0) return plan;
  RectangleTree by_step(n, total_blocks + 1);
  PlacedEnds edges(n);
  ClearSpans search;
  for (LayerId layer : LargestFirstOrder(blocks)) {
    const int64_t size = blocks[layer];
    const uint32_t first = layer, last = steps.last(layer);
    search.Begin(by_step, first, last);
    int64_t start = 0;
    for (;;) {
      start = search.Lowest(start, size);
      const std::optional<int64_t> held = search.HolderEnd(start + size);
      if (!held && start + size <= total_blocks) break;
      if (held && LongerRangeAtSomeStep(edges, first, last, start, size)) {
        break;
      }
      if (!held) return std::nullopt;
      start = *held + 1;
    }
    plan[layer] = start;
    by_step.Insert(first, last, start, start + size - 1);
    edges.Add(start, size, first, last);
  }
  return plan;
}

Plan largest_first_map(const LiveLists& layer_steps,
                       const std::vector<int64_t>& layer_blocks,
                       int64_t total_blocks) {
  const std::size_t n = layer_blocks.size();
  if (layer_steps.intervals() && AllPositive(layer_blocks)) {
    // Runs of steps cost the steps each interval meets; rectangles cost a
    // few unions per layer whatever its interval. Short intervals (chains,
    // residual blocks) plan faster by runs, long ones (many layers live at
    // once) by rectangles; both give the per-step plan.
    uint64_t steps_met = 0;
    for (std::size_t l = 0; l < n; ++l) {
      steps_met += layer_steps.last(static_cast<LayerId>(l)) - l + 1;
    }
    auto plan =
        steps_met <= 16 * static_cast<uint64_t>(n)
            ? LargestFirstOverRuns(layer_steps, layer_blocks, total_blocks)
            : LargestFirstOverRectangles(layer_steps, layer_blocks,
                                         total_blocks);
    if (plan) return *plan;
  }
  Plan plan(n, -1);
  const LiveSteps live_at(layer_steps, n);
  StepRanges free(layer_steps, layer_blocks, plan, total_blocks);
  std::deque<FreeList> rebuilt;  // appending moves no element
  std::vector<const FreeList*> step_free;
  std::vector<int64_t> candidates;
  for (LayerId layer : LargestFirstOrder(layer_blocks)) {
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
