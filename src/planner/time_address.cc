#include "planner/time_address.h"

#include <algorithm>

namespace sarnic::planner {

std::size_t RangeUnion::FirstEndingFrom(int64_t pos) const {
  // Disjoint ordered ranges are ordered by their last elements too.
  return static_cast<std::size_t>(
      std::partition_point(ranges_.begin(), ranges_.end(),
                           [pos](const Range& r) { return r.last < pos; }) -
      ranges_.begin());
}

void RangeUnion::Add(int64_t first, int64_t last) {
  // The ranges that meet or touch [first, last] are replaced by their union.
  std::size_t i = FirstEndingFrom(first - 1);
  std::size_t j = i;
  while (j < ranges_.size() && ranges_[j].first <= last + 1) {
    first = std::min(first, ranges_[j].first);
    last = std::max(last, ranges_[j].last);
    ++j;
  }
  const auto at = ranges_.begin() + static_cast<std::ptrdiff_t>(i);
  if (i == j) {
    ranges_.insert(at, {first, last});
  } else {
    *at = {first, last};
    ranges_.erase(at + 1, ranges_.begin() + static_cast<std::ptrdiff_t>(j));
  }
}

void UnionCursor::Advance(int64_t pos) {
  // Gallops past the ranges ending before `pos`, then halves the last leap.
  const RangeUnion::Range* lo = at_ + 1;
  std::ptrdiff_t step = 1;
  while (end_ - lo >= step && lo[step - 1].last < pos) {
    lo += step;
    step *= 2;
  }
  const RangeUnion::Range* hi = end_ - lo >= step ? lo + step - 1 : end_;
  at_ = std::partition_point(
      lo, hi, [pos](const RangeUnion::Range& r) { return r.last < pos; });
}

std::optional<int64_t> RangeUnion::MeetingEnd(int64_t first,
                                              int64_t last) const {
  const std::size_t i = FirstEndingFrom(first);
  if (i < ranges_.size() && ranges_[i].first <= last) return ranges_[i].last;
  return std::nullopt;
}

std::size_t RectangleTree::RightChild(std::size_t node, int64_t lo,
                                      int64_t mid) {
  return node + 2 * static_cast<std::size_t>(mid - lo + 1);
}

void RectangleTree::Insert(int64_t first_key, int64_t last_key,
                           int64_t first_value, int64_t last_value) {
  Insert(0, 0, static_cast<int64_t>(keys_) - 1, {first_key, last_key},
         {first_value, last_value});
}

void RectangleTree::Insert(std::size_t node, int64_t lo, int64_t hi, Span key,
                           Span value) {
  nodes_[node].below.Add(value.s, value.e);
  if (key.s <= lo && hi <= key.e) {
    nodes_[node].whole.Add(value.s, value.e);
    return;
  }
  const int64_t mid = lo + (hi - lo) / 2;
  if (key.s <= mid) Insert(node + 1, lo, mid, key, value);
  if (key.e > mid) Insert(RightChild(node, lo, mid), mid + 1, hi, key, value);
}

void RectangleTree::Collect(int64_t first_key, int64_t last_key,
                            std::vector<const RangeUnion*>& out) const {
  Collect(0, 0, static_cast<int64_t>(keys_) - 1, {first_key, last_key}, out);
}

void RectangleTree::Collect(std::size_t node, int64_t lo, int64_t hi, Span key,
                            std::vector<const RangeUnion*>& out) const {
  const Node& n = nodes_[node];
  if (key.s <= lo && hi <= key.e) {
    if (!n.below.empty()) out.push_back(&n.below);
    return;
  }
  if (!n.whole.empty()) out.push_back(&n.whole);
  if (n.below.empty()) return;  // nothing below
  const int64_t mid = lo + (hi - lo) / 2;
  if (key.s <= mid) Collect(node + 1, lo, mid, key, out);
  if (key.e > mid) Collect(RightChild(node, lo, mid), mid + 1, hi, key, out);
}

void ClearSpans::Begin(const RectangleTree& tree, int64_t first_key,
                       int64_t last_key) {
  unions_.clear();
  tree.Collect(first_key, last_key, unions_);
  // The most fragmented unions block most often: asked first, and again
  // first after every climb, they leave the others fewer positions to
  // confirm. The order changes the work, not the start found.
  std::sort(unions_.begin(), unions_.end(),
            [](const RangeUnion* a, const RangeUnion* b) {
              return a->ranges().size() > b->ranges().size();
            });
  cursors_.clear();
  for (const RangeUnion* u : unions_) cursors_.emplace_back(u);
}

int64_t ClearSpans::Lowest(int64_t from, int64_t size) {
  int64_t start = from;
  for (std::size_t i = 0; i < cursors_.size();) {
    if (const auto end = cursors_[i].MeetingEnd(start, start + size - 1)) {
      start = *end + 1;
      i = 0;
    } else {
      ++i;
    }
  }
  return start;
}

std::optional<int64_t> ClearSpans::HolderEnd(int64_t value) {
  for (UnionCursor& c : cursors_) {
    if (const auto end = c.MeetingEnd(value, value)) return end;
  }
  return std::nullopt;
}

}  // namespace sarnic::planner
