#include "planner/time_address.h"

#include <algorithm>
#include <bit>

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

void BitUnion::Add(int64_t first, int64_t last) {
  const auto last_word = static_cast<std::size_t>(last / 64);
  if (words_.size() <= last_word) {
    words_.resize(last_word + 1, 0);
    full_.resize(last_word / 64 + 1, 0);
  }
  for (int64_t v = first; v <= last;) {
    const auto w = static_cast<std::size_t>(v / 64);
    const int bit = static_cast<int>(v % 64);
    const int64_t count = std::min<int64_t>(64 - bit, last - v + 1);
    const uint64_t ones =
        count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
    words_[w] |= ones << bit;
    if (words_[w] == ~uint64_t{0}) full_[w / 64] |= uint64_t{1} << (w % 64);
    v += count;
  }
}

int64_t BitUnion::RunEnd(int64_t value) const {
  auto w = static_cast<std::size_t>(value / 64);
  uint64_t clear = ~words_[w] & (~uint64_t{0} << (value % 64));
  while (clear == 0) {
    if (++w == words_.size()) return static_cast<int64_t>(w) * 64 - 1;
    clear = ~words_[w];
  }
  return static_cast<int64_t>(w) * 64 + std::countr_zero(clear) - 1;
}

RectangleTree::RectangleTree(std::size_t keys, int64_t values)
    : keys_(keys), nodes_(2 * keys + 1) {
  const auto bitmap_bytes = static_cast<std::size_t>(values / 8 + 8);
  int levels = 0;
  while (levels < kMaxBitmapLevels && keys >> levels >= kBitmapSpan &&
         ((std::size_t{2} << levels) - 1) * 2 * bitmap_bytes <= kBitmapBytes) {
    ++levels;
  }
  if (keys > 0) GiveBitmaps(0, 0, static_cast<int64_t>(keys) - 1, levels);
}

void RectangleTree::GiveBitmaps(std::size_t node, int64_t lo, int64_t hi,
                                int levels) {
  if (levels == 0) return;
  nodes_[node].bitmap = static_cast<int32_t>(below_bits_.size());
  below_bits_.emplace_back();
  whole_bits_.emplace_back();
  if (lo == hi) return;
  const int64_t mid = lo + (hi - lo) / 2;
  GiveBitmaps(node + 1, lo, mid, levels - 1);
  GiveBitmaps(RightChild(node, lo, mid), mid + 1, hi, levels - 1);
}

void RectangleTree::Clear() {
  for (Node& n : nodes_) {
    n.below.Clear();
    n.whole.Clear();
  }
  for (BitUnion& b : below_bits_) b.Clear();
  for (BitUnion& b : whole_bits_) b.Clear();
}

void RectangleTree::Insert(int64_t first_key, int64_t last_key,
                           int64_t first_value, int64_t last_value) {
  Insert(0, 0, static_cast<int64_t>(keys_) - 1, {first_key, last_key},
         {first_value, last_value});
}

void RectangleTree::Insert(std::size_t node, int64_t lo, int64_t hi, Span key,
                           Span value) {
  Node& n = nodes_[node];
  const bool whole = key.s <= lo && hi <= key.e;
  if (n.bitmap >= 0) {
    below_bits_[n.bitmap].Add(value.s, value.e);
    if (whole) whole_bits_[n.bitmap].Add(value.s, value.e);
  } else {
    n.below.Add(value.s, value.e);
    if (whole) n.whole.Add(value.s, value.e);
  }
  if (whole) return;
  const int64_t mid = lo + (hi - lo) / 2;
  if (key.s <= mid) Insert(node + 1, lo, mid, key, value);
  if (key.e > mid) Insert(RightChild(node, lo, mid), mid + 1, hi, key, value);
}

void RectangleTree::Collect(int64_t first_key, int64_t last_key,
                            std::vector<const RangeUnion*>& ranges,
                            std::vector<const BitUnion*>& bits) const {
  Out out{ranges, bits};
  Collect(0, 0, static_cast<int64_t>(keys_) - 1, {first_key, last_key}, out);
}

void RectangleTree::Collect(std::size_t node, int64_t lo, int64_t hi, Span key,
                            Out& out) const {
  const Node& n = nodes_[node];
  if (Empty(n)) return;  // nothing here or below
  const bool whole = key.s <= lo && hi <= key.e;
  if (n.bitmap >= 0) {
    const BitUnion& b = whole ? below_bits_[n.bitmap] : whole_bits_[n.bitmap];
    if (!b.empty()) out.bits.push_back(&b);
  } else {
    const RangeUnion& u = whole ? n.below : n.whole;
    if (!u.empty()) out.ranges.push_back(&u);
  }
  if (whole) return;
  const int64_t mid = lo + (hi - lo) / 2;
  if (key.s <= mid) Collect(node + 1, lo, mid, key, out);
  if (key.e > mid) Collect(RightChild(node, lo, mid), mid + 1, hi, key, out);
}

void ClearSpans::Begin(const RectangleTree& tree, int64_t first_key,
                       int64_t last_key) {
  unions_.clear();
  bits_.clear();
  tree.Collect(first_key, last_key, unions_, bits_);
  bit_words_ = 0;
  for (const BitUnion* b : bits_) bit_words_ = std::max(bit_words_, b->words());
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

int64_t ClearSpans::LowestClearOfBits(int64_t from, int64_t size) const {
  // The word's runs of clear values are visited in turn; `run` begins the
  // clear values that reach the word's first value, -1 when it is held.
  // Words that one bitmap holds whole are passed without reading the rest.
  int64_t run = -1;
  std::size_t group = SIZE_MAX;
  uint64_t full = 0;  // the words of `group` that some bitmap holds whole
  for (auto w = static_cast<std::size_t>(from / 64);;) {
    const auto word_start = static_cast<int64_t>(w) * 64;
    if (w >= bit_words_) return run >= 0 ? run : std::max(from, word_start);
    if (w / 64 != group) {
      group = w / 64;
      full = 0;
      for (const BitUnion* b : bits_) full |= b->full_words(group);
    }
    if (const uint64_t ahead = full >> (w % 64); (ahead & 1) != 0) {
      run = -1;
      w += ~ahead == 0 ? 64 - w % 64 : std::countr_zero(~ahead);
      continue;
    }
    uint64_t held = 0;
    for (const BitUnion* b : bits_) held |= b->word(w);
    if (word_start < from) held |= (uint64_t{1} << (from - word_start)) - 1;
    for (int pos = 0; pos < 64;) {
      const uint64_t rest = held >> pos;
      const int clear = rest == 0 ? 64 - pos : std::countr_zero(rest);
      if (clear > 0) {
        if (run < 0) run = word_start + pos;
        if (word_start + pos + clear - run >= size) return run;
        if (rest == 0) break;  // clear to the word's end: the run goes on
      }
      run = -1;
      pos += clear;
      const uint64_t rest_clear = ~held >> pos;
      pos = rest_clear == 0 ? 64 : pos + std::countr_zero(rest_clear);
    }
    ++w;
  }
}

int64_t ClearSpans::Lowest(int64_t from, int64_t size) {
  int64_t start = from;
  for (;;) {
    start = LowestClearOfBits(start, size);
    const int64_t clear_of_bits = start;
    for (std::size_t i = 0; i < cursors_.size();) {
      if (const auto end = cursors_[i].MeetingEnd(start, start + size - 1)) {
        start = *end + 1;
        // A union that blocks moves up one place: those that block most
        // often come to be asked first.
        if (i > 0) std::swap(cursors_[i], cursors_[i - 1]);
        i = 0;
      } else {
        ++i;
      }
    }
    if (start == clear_of_bits) return start;
  }
}

std::optional<int64_t> ClearSpans::HolderEnd(int64_t value) {
  for (const BitUnion* b : bits_) {
    if (b->Holds(value)) return b->RunEnd(value);
  }
  for (UnionCursor& c : cursors_) {
    if (const auto end = c.MeetingEnd(value, value)) return end;
  }
  return std::nullopt;
}

}  // namespace sarnic::planner
