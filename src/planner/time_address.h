// Placed layers as rectangles of steps × blocks, for the largest-first and
// first-fit planners over intervals: which blocks the layers placed so far
// occupy at any step of a range of steps, answered without visiting the
// steps or the layers one by one.
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
  // Empties the union, keeping its memory.
  void Clear() { ranges_.clear(); }

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

// A union of values as a bitmap from value 0 to the highest value added:
// for the unions that gather many small ranges, which a scan of the bits
// passes 64 values at a time.
class BitUnion {
 public:
  void Add(int64_t first, int64_t last);
  bool empty() const { return words_.empty(); }
  // Empties the union, keeping its memory.
  void Clear() {
    words_.clear();
    full_.clear();
  }
  bool Holds(int64_t value) const {
    const auto w = static_cast<std::size_t>(value / 64);
    return w < words_.size() && (words_[w] >> (value % 64) & 1) != 0;
  }
  // The last value of the run of values held from `value` (held) on.
  int64_t RunEnd(int64_t value) const;
  std::size_t words() const { return words_.size(); }
  uint64_t word(std::size_t w) const {
    return w < words_.size() ? words_[w] : 0;
  }
  // Bit i of the result: word 64 × group + i holds all its 64 values.
  uint64_t full_words(std::size_t group) const {
    return group < full_.size() ? full_[group] : 0;
  }

 private:
  std::vector<uint64_t> words_;
  std::vector<uint64_t> full_;  // a bit per word, set when all its bits are
};

// Rectangles of keys × values (steps × blocks) in a segment tree over the
// keys [0, keys). A rectangle is kept in `below` of every node its key
// range meets on the way to the nodes that range decomposes into, and in
// `whole` of those nodes. The values of the rectangles meeting a key range
// are then the union of `below` of the range's own nodes and `whole` of
// their ancestors: O(log keys) unions. Nodes hold nothing until a
// rectangle reaches them. The nodes of the top levels, which gather the
// most rectangles (of long key ranges, or ending inside them) and so the
// most small ranges, keep their unions as bitmaps: a few hundred at most,
// each as long as the values used.
class RectangleTree {
 public:
  // Values run from 0 to below `values`.
  RectangleTree(std::size_t keys, int64_t values);

  void Insert(int64_t first_key, int64_t last_key, int64_t first_value,
              int64_t last_value);
  // Removes every rectangle, keeping the memory for as many again.
  void Clear();

  // The unions whose joint union is the values of the rectangles that meet
  // [first_key, last_key].
  void Collect(int64_t first_key, int64_t last_key,
               std::vector<const RangeUnion*>& ranges,
               std::vector<const BitUnion*>& bits) const;

 private:
  struct Span {
    int64_t s, e;
  };
  struct Node {
    RangeUnion below, whole;
    int32_t bitmap = -1;  // index of the node's bitmaps, if it has them
  };
  struct Out {
    std::vector<const RangeUnion*>& ranges;
    std::vector<const BitUnion*>& bits;
  };
  // Levels 0 (the root) on keep bitmaps while their nodes span at least
  // kBitmapSpan keys, up to kMaxBitmapLevels levels and kBitmapBytes of
  // bitmaps as long as the values.
  static constexpr int kMaxBitmapLevels = 9;
  static constexpr std::size_t kBitmapSpan = 32;
  static constexpr std::size_t kBitmapBytes = std::size_t{64} << 20;
  void GiveBitmaps(std::size_t node, int64_t lo, int64_t hi, int levels);
  void Insert(std::size_t node, int64_t lo, int64_t hi, Span key, Span value);
  void Collect(std::size_t node, int64_t lo, int64_t hi, Span key,
               Out& out) const;
  bool Empty(const Node& n) const {
    return n.bitmap < 0 ? n.below.empty() : below_bits_[n.bitmap].empty();
  }
  static std::size_t RightChild(std::size_t node, int64_t lo, int64_t mid);

  std::size_t keys_;
  // Node [lo, hi] is followed by its left child [lo, mid], whose 2 (mid -
  // lo) + 1 nodes precede the right child.
  std::vector<Node> nodes_;
  std::vector<BitUnion> below_bits_, whole_bits_;
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
  // The lowest start from `from` on of `size` values clear of the bitmaps.
  int64_t LowestClearOfBits(int64_t from, int64_t size) const;

  std::vector<const RangeUnion*> unions_;
  std::vector<const BitUnion*> bits_;
  std::size_t bit_words_ = 0;  // the longest bitmap's
  std::vector<UnionCursor> cursors_;
};

}  // namespace sarnic::planner

#endif  // SARNIC_PLANNER_TIME_ADDRESS_H_
