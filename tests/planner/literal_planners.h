// Test-only: both planners written as literally as their descriptions read,
// with plain lists, names and linear searches. The real planners must give
// exactly the same plans.
#ifndef SARNIC_TESTS_PLANNER_LITERAL_PLANNERS_H_
#define SARNIC_TESTS_PLANNER_LITERAL_PLANNERS_H_

#include <algorithm>
#include <cstdint>
#include <map>
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

}  // namespace sarnic::literal

#endif  // SARNIC_TESTS_PLANNER_LITERAL_PLANNERS_H_
