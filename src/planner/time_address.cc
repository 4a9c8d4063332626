#include "planner/time_address.h"

#include <iterator>

namespace sarnic::planner {

void RangeUnion::Add(int64_t first, int64_t last) {
  auto it = ranges_.upper_bound(first);
  if (it != ranges_.begin() && std::prev(it)->second >= first - 1) {
    --it;
    first = it->first;
    last = std::max(last, it->second);
    it = ranges_.erase(it);
  }
  while (it != ranges_.end() && it->first <= last + 1) {
    last = std::max(last, it->second);
    it = ranges_.erase(it);
  }
  ranges_.emplace_hint(it, first, last);
}

std::optional<int64_t> RangeUnion::MeetingEnd(int64_t first,
                                              int64_t last) const {
  // The ranges are disjoint and ordered, so by their last elements too: the
  // first range ending at or after `first` is the one to test.
  auto it = ranges_.upper_bound(first);
  if (it != ranges_.begin() && std::prev(it)->second >= first) {
    return std::prev(it)->second;
  }
  if (it != ranges_.end() && it->first <= last) return it->second;
  return std::nullopt;
}

void RectangleTree::Add(std::unique_ptr<RangeUnion>& u, Span value) {
  if (!u) u = std::make_unique<RangeUnion>();
  u->Add(value.s, value.e);
}

void RectangleTree::Insert(int64_t first_key, int64_t last_key,
                           int64_t first_value, int64_t last_value) {
  Insert(1, 0, static_cast<int64_t>(keys_) - 1, {first_key, last_key},
         {first_value, last_value});
}

void RectangleTree::Insert(std::size_t node, int64_t lo, int64_t hi, Span key,
                           Span value) {
  Add(below_[node], value);
  if (key.s <= lo && hi <= key.e) {
    Add(whole_[node], value);
    return;
  }
  const int64_t mid = lo + (hi - lo) / 2;
  if (key.s <= mid) Insert(2 * node, lo, mid, key, value);
  if (key.e > mid) Insert(2 * node + 1, mid + 1, hi, key, value);
}

void RectangleTree::Collect(int64_t first_key, int64_t last_key,
                            std::vector<const RangeUnion*>& out) const {
  Collect(1, 0, static_cast<int64_t>(keys_) - 1, {first_key, last_key}, out);
}

void RectangleTree::Collect(std::size_t node, int64_t lo, int64_t hi, Span key,
                            std::vector<const RangeUnion*>& out) const {
  if (key.s <= lo && hi <= key.e) {
    if (below_[node]) out.push_back(below_[node].get());
    return;
  }
  if (whole_[node]) out.push_back(whole_[node].get());
  if (!below_[node]) return;  // nothing below
  const int64_t mid = lo + (hi - lo) / 2;
  if (key.s <= mid) Collect(2 * node, lo, mid, key, out);
  if (key.e > mid) Collect(2 * node + 1, mid + 1, hi, key, out);
}

}  // namespace sarnic::planner
