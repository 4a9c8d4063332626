// Test-only: the planners written as literally as their descriptions read,
// with plain lists, names and linear searches. The real planners must give
// exactly the same plans.
#ifndef SARNIC_TESTS_PLANNER_LITERAL_PLANNERS_H_
#define SARNIC_TESTS_PLANNER_LITERAL_PLANNERS_H_

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace sarnic::literal {

using Steps = std::vector<std::vector<std::string>>;
using Blocks = std::vector<std::pair<std::string, int64_t>>;  // planner order
using Ranges = std::vector<std::pair<int64_t, int64_t>>;
using Starts = std::map<std::string, int64_t>;

inline int64_t BlocksOf(const Blocks& b, const std::string& n) {
  for (const auto& [k, v] : b) {
    if (k == n) return v;
  }
  return -1;
}

inline bool Contains(const std::vector<std::string>& l, const std::string& n) {
  return std::find(l.begin(), l.end(), n) != l.end();
}

inline void Carve(Ranges& open, int64_t start, int64_t end) {
  for (std::size_t i = 0; i < open.size(); ++i) {
    const auto [first, last] = open[i];
    if (first <= start && end <= last) {
      Ranges parts;
      if (first != start) parts.emplace_back(first, start - 1);
      if (last != end) parts.emplace_back(end + 1, last);
      open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
      open.insert(open.begin() + static_cast<std::ptrdiff_t>(i), parts.begin(),
                  parts.end());
      return;
    }
  }
}

inline Starts GreedyStepMap(const Steps& steps, const Blocks& blocks,
                            int64_t total) {
  Starts starts;
  std::vector<std::string> set_layers;
  for (const auto& step : steps) {
    Ranges open = {{0, total}};
    std::vector<std::string> unmapped;
    for (const auto& l : step) {
      if (!Contains(set_layers, l)) {
        unmapped.push_back(l);
        continue;
      }
      Carve(open, starts[l], starts[l] + BlocksOf(blocks, l) - 1);
    }
    while (!unmapped.empty()) {
      // Visit the ranges of the pass's start; track where each now sits.
      const Ranges pass = open;
      for (const auto& range : pass) {
        const int64_t space = range.second - range.first + 1;
        std::string best;
        int64_t best_blocks = -1;
        for (const auto& l : unmapped) {
          const int64_t b = BlocksOf(blocks, l);
          if (b <= space && b > best_blocks) {
            best = l;
            best_blocks = b;
          }
        }
        if (best_blocks < 0) continue;
        auto pos = std::find(open.begin(), open.end(), range);
        if (range.first + best_blocks <= range.second) {
          *pos = {range.first + best_blocks, range.second};
        } else {
          open.erase(pos);
        }
        starts[best] = range.first;
        unmapped.erase(std::find(unmapped.begin(), unmapped.end(), best));
        set_layers.push_back(best);
      }
    }
  }
  return starts;
}

inline Starts LargestFirstMap(const Steps& steps, const Blocks& blocks,
                              int64_t total) {
  Starts starts;
  std::vector<std::string> set_layers;
  for (std::size_t iter = 0; iter < blocks.size(); ++iter) {
    std::string largest;
    int64_t largest_blocks = -1;
    for (const auto& [l, b] : blocks) {
      if (!Contains(set_layers, l) && b > largest_blocks) {
        largest = l;
        largest_blocks = b;
      }
    }
    std::vector<Ranges> step_blocks;
    std::vector<int64_t> positions;
    for (const auto& step : steps) {
      if (!Contains(step, largest)) continue;
      Ranges open = {{0, total}};
      for (const auto& l : step) {
        if (Contains(set_layers, l)) {
          Carve(open, starts[l], starts[l] + BlocksOf(blocks, l) - 1);
        }
      }
      for (const auto& [first, last] : open) {
        if (last - first + 1 > largest_blocks &&
            std::find(positions.begin(), positions.end(), first) ==
                positions.end()) {
          positions.push_back(first);
        }
      }
      step_blocks.push_back(open);
    }
    std::sort(positions.begin(), positions.end());
    int64_t start = -1;
    if (positions.size() == 1) {
      start = positions[0];
    } else {
      for (int64_t pos : positions) {
        bool all = true;
        for (const auto& open : step_blocks) {
          bool fits = false;
          for (const auto& [first, last] : open) {
            if (first <= pos && pos + largest_blocks - 1 <= last) fits = true;
          }
          if (!fits) {
            all = false;
            break;
          }
        }
        if (all) {
          start = pos;
          break;
        }
      }
    }
    starts[largest] = start;
    set_layers.push_back(largest);
  }
  return starts;
}

// Each layer of `order` at the lowest start clear of the placed layers it
// meets; returns the block count.
inline int64_t FirstFitInOrder(const std::vector<std::vector<bool>>& meet,
                               const std::vector<int64_t>& blocks,
                               const std::vector<uint32_t>& order,
                               std::vector<int64_t>& plan) {
  plan.assign(blocks.size(), -1);
  int64_t count = 0;
  for (uint32_t l : order) {
    int64_t start = 0;
    for (bool moved = true; moved;) {
      moved = false;
      for (uint32_t o = 0; o < blocks.size(); ++o) {
        if (plan[o] >= 0 && meet[l][o] && plan[o] < start + blocks[l] &&
            start < plan[o] + blocks[o]) {
          start = plan[o] + blocks[o];
          moved = true;
        }
      }
    }
    plan[l] = start;
    count = std::max(count, start + blocks[l]);
  }
  return count;
}

// The best planner's search over placement orders, every order placed
// from its first layer: layers by index, `steps` the layers live at each
// step, `order` the largest-first order and `bound` the lower bound.
inline std::vector<int64_t> BestFitMap(
    const std::vector<std::vector<uint32_t>>& steps,
    const std::vector<int64_t>& blocks, std::vector<uint32_t> order,
    int64_t bound) {
  const std::size_t n = blocks.size();
  std::vector<std::vector<bool>> meet(n, std::vector<bool>(n, false));
  std::size_t pairs = 0;  // both ways round
  for (const auto& step : steps) {
    for (uint32_t a : step) {
      for (uint32_t b : step) {
        if (a != b && !meet[a][b]) {
          meet[a][b] = true;
          ++pairs;
        }
      }
    }
  }
  std::vector<int64_t> best_plan, trial_plan;
  int64_t best = FirstFitInOrder(meet, blocks, order, best_plan);
  if (best <= bound || n < 2) return best_plan;
  // The budget of work: 30 greedy plans of 64 per layer plus the pairs;
  // an evaluation 64, plus one per 8 layers, plus the layers placed again
  // and their share of the pairs.
  const std::size_t budget = 30 * (64 * (n + 1) + pairs);
  std::size_t spent = 0;
  std::mt19937 rng(20261208);
  std::vector<uint32_t> best_order = order, current = order;
  int64_t current_count = best;
  std::size_t since_gain = 0;
  while (spent < budget && best > bound) {
    std::vector<uint32_t> trial = current;
    std::uniform_int_distribution<std::size_t> pick(0, n - 1);
    const std::size_t i = pick(rng);
    const std::size_t j = pick(rng);
    const std::size_t placed = i == j ? 0 : n - std::min(i, j);
    spent += 64 + n / 8 + placed +
             static_cast<std::size_t>(static_cast<double>(pairs) *
                                      static_cast<double>(placed) /
                                      static_cast<double>(n));
    if (rng() % 2 == 0) {
      std::swap(trial[i], trial[j]);
    } else {
      const uint32_t moved = trial[i];
      trial.erase(trial.begin() + static_cast<std::ptrdiff_t>(i));
      trial.insert(trial.begin() + static_cast<std::ptrdiff_t>(j), moved);
    }
    const int64_t count = FirstFitInOrder(meet, blocks, trial, trial_plan);
    if (count <= current_count) {
      current = trial;
      current_count = count;
    }
    if (count < best) {
      best = count;
      best_plan = trial_plan;
      best_order = current;
      since_gain = 0;
    } else if (++since_gain > 200) {
      current = best_order;
      current_count = best;
      since_gain = 0;
    }
  }
  return best_plan;
}

}  // namespace sarnic::literal

#endif  // SARNIC_TESTS_PLANNER_LITERAL_PLANNERS_H_
