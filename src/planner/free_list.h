// A step's free list: disjoint free block ranges [first, last] (both
// inclusive) in ascending order, in a sorted vector, small enough for the
// planners to keep one for every step at once.
#ifndef SARNIC_PLANNER_FREE_LIST_H_
#define SARNIC_PLANNER_FREE_LIST_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace sarnic::planner {

class FreeList {
 public:
  using Range = std::pair<int64_t, int64_t>;

  // The single range [0, last].
  explicit FreeList(int64_t last) : ranges_{{0, last}} {}

  // Carves the span [start, end] out of the range holding `start`, which is
  // split into its parts left and right of the span. When that range does
  // not hold the whole span nothing changes and the result is false.
  bool Carve(int64_t start, int64_t end) {
    const std::size_t i = Holding(start);
    if (i == ranges_.size() || end > ranges_[i].second) return false;
    const auto it = ranges_.begin() + static_cast<std::ptrdiff_t>(i);
    const Range old = *it;
    if (old.first != start && old.second != end) {
      it->second = start - 1;
      ranges_.insert(it + 1, {end + 1, old.second});
    } else if (old.first != start) {
      it->second = start - 1;
    } else if (old.second != end) {
      it->first = end + 1;
    } else {
      ranges_.erase(it);
    }
    return true;
  }

  // True when [pos, pos + blocks - 1] lies inside one range.
  bool Fits(int64_t pos, int64_t blocks) const {
    const std::size_t i = Holding(pos);
    return i != ranges_.size() && pos + blocks - 1 <= ranges_[i].second;
  }

  const std::vector<Range>& ranges() const { return ranges_; }

 private:
  // The index of the range with the largest first block not above `pos`;
  // size() when there is none.
  std::size_t Holding(int64_t pos) const {
    const auto it =
        std::upper_bound(ranges_.begin(), ranges_.end(), pos,
                         [](int64_t p, const Range& r) { return p < r.first; });
    return it == ranges_.begin()
               ? ranges_.size()
               : static_cast<std::size_t>(it - ranges_.begin()) - 1;
  }

  std::vector<Range> ranges_;
};

}  // namespace sarnic::planner

#endif  // SARNIC_PLANNER_FREE_LIST_H_
