// Placed layers as rectangles of steps × blocks, for the largest-first and
// first-fit planners over intervals: which blocks the layers placed so far
// occupy at any step of a range of steps, and at which steps a block is
// occupied, each answered without visiting the steps or the blocks one by
// one.
#ifndef SARNIC_PLANNER_TIME_ADDRESS_H_
#define SARNIC_PLANNER_TIME_ADDRESS_H_

#include <cstdint>
#include <optional>
#include <vector>

namespace sarnic::planner {

// A union of ranges [first, last] (of blocks or of steps), merged where
// they meet, in one sorted array: a question is a binary search over
// contiguous memory, an addition moves the ranges above it.
class RangeUnion {
 public:
  void Add(int64_t first, int64_t last);
  // The last element of a range of the union that meets [first, last].
  std::optional<int64_t> MeetingEnd(int64_t first, int64_t last) const;
  struct Range {
    int64_t first, last;
  };
  const std::vector<Range>& ranges() const { return ranges_; }
  bool empty() const { return ranges_.empty(); }
  // The index of the first range ending at or after `pos`.
  std::size_t FirstEndingFrom(int64_t pos) const;

 private:
  std::vector<Range> ranges_;  // ascending, disjoint, not adjacent
};

// A position in a RangeUnion for questions whose positions never go down:
// each is answered from where the last one left off.
class UnionCursor {
 public:
  explicit UnionCursor(const RangeUnion* u)
      : at_(u->ranges().data()), end_(at_ + u->ranges().size()) {}
  // As RangeUnion::MeetingEnd; `first` is at least that of the last call.
  std::optional<int64_t> MeetingEnd(int64_t first, int64_t last) {
    if (at_ != end_ && at_->last < first) Advance(first);
    if (at_ != end_ && at_->first <= last) return at_->last;
    return std::nullopt;
  }

 private:
  void Advance(int64_t pos);
  // No range before `at_` ends at or after the positions asked about.
  const RangeUnion::Range* at_;
  const RangeUnion::Range* end_;
};

// Rectangles of keys × values (steps × blocks, or blocks × steps) in a
// segment tree over the keys [0, keys). A rectangle is kept in `below` of
// every node its key range meets on the way to the nodes that range
// decomposes into, and in `whole` of those nodes. The values of the
// rectangles meeting a key range are then the union of `below` of the
// range's own nodes and `whole` of their ancestors: O(log keys) unions.
// Nodes hold nothing until a rectangle reaches them.
class RectangleTree {
 public:
  explicit RectangleTree(std::size_t keys)
      : keys_(keys), nodes_(2 * keys + 1) {}

  void Insert(int64_t first_key, int64_t last_key, int64_t first_value,
              int64_t last_value);

  // The unions whose joint union is the values of the rectangles that meet
  // [first_key, last_key].
  void Collect(int64_t first_key, int64_t last_key,
               std::vector<const RangeUnion*>& out) const;

 private:
  struct Span {
    int64_t s, e;
  };
  struct Node {
    RangeUnion below, whole;
  };
  void Insert(std::size_t node, int64_t lo, int64_t hi, Span key, Span value);
  void Collect(std::size_t node, int64_t lo, int64_t hi, Span key,
               std::vector<const RangeUnion*>& out) const;
  static std::size_t RightChild(std::size_t node, int64_t lo, int64_t mid);

  std::size_t keys_;
  // Node [lo, hi] is followed by its left child [lo, mid], whose 2 (mid -
  // lo) + 1 nodes precede the right child.
  std::vector<Node> nodes_;
};

// The lowest spans of values clear of the rectangles of a RectangleTree
// that meet a range of keys: a climb over the few unions that hold them,
// each asked from where it last left off.
class ClearSpans {
 public:
  // Starts a search among the rectangles of `tree` meeting [first_key,
  // last_key].
  void Begin(const RectangleTree& tree, int64_t first_key, int64_t last_key);
  // The lowest start, from `from` on, of `size` values that meet none of
  // them. `from` is at least the last value asked about.
  int64_t Lowest(int64_t from, int64_t size);
  // The end of a range of those values holding `value`; nothing when it is
  // clear.
  std::optional<int64_t> HolderEnd(int64_t value);

 private:
  std::vector<const RangeUnion*> unions_;
  std::vector<UnionCursor> cursors_;
};

}  // namespace sarnic::planner

#endif  // SARNIC_PLANNER_TIME_ADDRESS_H_
