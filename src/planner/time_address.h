// Placed layers as rectangles of steps × blocks, for the largest-first
// planner over intervals: which blocks the layers placed so far occupy at
// any step of a range of steps, and at which steps a block is occupied,
// each answered without visiting the steps or the blocks one by one.
#ifndef SARNIC_PLANNER_TIME_ADDRESS_H_
#define SARNIC_PLANNER_TIME_ADDRESS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace sarnic::planner {

// A union of ranges [first, last] (of blocks or of steps), merged where
// they meet.
class RangeUnion {
 public:
  void Add(int64_t first, int64_t last);
  // The last element of a range of the union that meets [first, last].
  std::optional<int64_t> MeetingEnd(int64_t first, int64_t last) const;
  const std::map<int64_t, int64_t>& ranges() const { return ranges_; }

 private:
  std::map<int64_t, int64_t> ranges_;  // first -> last
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
      : keys_(keys), below_(4 * keys + 4), whole_(4 * keys + 4) {}

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
  void Insert(std::size_t node, int64_t lo, int64_t hi, Span key, Span value);
  void Collect(std::size_t node, int64_t lo, int64_t hi, Span key,
               std::vector<const RangeUnion*>& out) const;
  static void Add(std::unique_ptr<RangeUnion>& u, Span value);

  std::size_t keys_;
  std::vector<std::unique_ptr<RangeUnion>> below_, whole_;
};

}  // namespace sarnic::planner

#endif  // SARNIC_PLANNER_TIME_ADDRESS_H_
