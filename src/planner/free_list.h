// A step's free list: disjoint free block ranges [first, last] (both
// inclusive) in ascending order, kept in an ordered map from first to last.
#ifndef SARNIC_PLANNER_FREE_LIST_H_
#define SARNIC_PLANNER_FREE_LIST_H_

#include <cstdint>
#include <map>

namespace sarnic::planner {

class FreeList {
 public:
  // The single range [0, last].
  explicit FreeList(int64_t last) { ranges_.emplace(0, last); }

  // Carves the span [start, end] out of the range that contains it: that
  // range is split into its parts left and right of the span. Ranges are
  // disjoint, so the only candidate is the one with the largest first block
  // not above `start`; when it does not hold the whole span nothing changes.
  void Carve(int64_t start, int64_t end) {
    auto it = ranges_.upper_bound(start);
    if (it == ranges_.begin()) return;
    --it;
    const int64_t first = it->first;
    const int64_t last = it->second;
    if (end > last) return;
    ranges_.erase(it);
    if (first != start) ranges_.emplace(first, start - 1);
    if (last != end) ranges_.emplace(end + 1, last);
  }

  // True when [pos, pos + blocks - 1] lies inside one range.
  bool Fits(int64_t pos, int64_t blocks) const {
    auto it = ranges_.upper_bound(pos);
    if (it == ranges_.begin()) return false;
    --it;
    return pos + blocks - 1 <= it->second;
  }

  const std::map<int64_t, int64_t>& ranges() const { return ranges_; }
  std::map<int64_t, int64_t>& ranges() { return ranges_; }

 private:
  std::map<int64_t, int64_t> ranges_;
};

}  // namespace sarnic::planner

#endif  // SARNIC_PLANNER_FREE_LIST_H_
