#include "planner/time_address.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace sarnic::planner {
namespace {

// Values 0 .. kValues - 1 as booleans: the obvious model of a union.
constexpr int64_t kValues = 200;
using Bitmap = std::vector<bool>;

// Adds up to `most` random ranges of values to `u` and to the model `in`;
// `extra` gives how far a range runs past its first value.
template <typename Union, typename Extra>
void AddRandomRanges(Union& u, Bitmap& in, std::mt19937& rng, unsigned most,
                     Extra extra) {
  for (int k = 0; k < 1 + static_cast<int>(rng() % most); ++k) {
    const auto first = static_cast<int64_t>(rng() % kValues);
    const int64_t last = std::min(kValues - 1, first + extra());
    u.Add(first, last);
    for (int64_t v = first; v <= last; ++v) in[v] = true;
  }
}

TEST(RangeUnion, KeepsTheMergedRangesOfWhatWasAdded) {
  std::mt19937 rng(5);
  for (int round = 0; round < 300; ++round) {
    RangeUnion u;
    Bitmap in(kValues, false);
    AddRandomRanges(u, in, rng, 30,
                    [&rng] { return static_cast<int64_t>(rng() % 6); });
    // The ranges are the bitmap's runs: ascending, disjoint, not touching.
    std::vector<RangeUnion::Range> runs;
    for (int64_t v = 0; v < kValues; ++v) {
      if (!in[v]) continue;
      if (runs.empty() || runs.back().last != v - 1) runs.push_back({v, v});
      runs.back().last = v;
    }
    ASSERT_EQ(u.ranges().size(), runs.size()) << round;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      ASSERT_EQ(u.ranges()[i].first, runs[i].first) << round;
      ASSERT_EQ(u.ranges()[i].last, runs[i].last) << round;
    }
    // A span meets the union where one of its values is in it; the end
    // given is that of the run holding its first such value.
    for (int64_t first = 0; first < kValues; ++first) {
      for (int64_t last = first; last < std::min(kValues, first + 5); ++last) {
        int64_t v = first;
        while (v <= last && !in[v]) ++v;
        const auto end = u.MeetingEnd(first, last);
        ASSERT_EQ(end.has_value(), v <= last) << round << " " << first;
        if (!end) continue;
        int64_t run_end = v;
        while (run_end + 1 < kValues && in[run_end + 1]) ++run_end;
        ASSERT_EQ(*end, run_end) << round << " " << first;
      }
    }
  }
}

// A bitmap union answers as the obvious model, across word boundaries and
// whole words.
TEST(BitUnion, HoldsWhatWasAddedAndKnowsItsWholeWords) {
  std::mt19937 rng(8);
  for (int round = 0; round < 300; ++round) {
    BitUnion u;
    Bitmap in(kValues, false);
    // Short ranges and ranges over whole words.
    AddRandomRanges(u, in, rng, 12, [&rng] {
      return static_cast<int64_t>(rng() % 2 ? rng() % 4 : rng() % 140);
    });
    for (int64_t v = 0; v < kValues + 70; ++v) {
      const bool held = v < kValues && in[v];
      ASSERT_EQ(u.Holds(v), held) << round << " " << v;
      if (!held) continue;
      int64_t end = v;
      while (end + 1 < kValues && in[end + 1]) ++end;
      ASSERT_EQ(u.RunEnd(v), end) << round << " " << v;
    }
    for (std::size_t w = 0; w * 64 < kValues + 64; ++w) {
      bool whole = true;
      for (int64_t v = static_cast<int64_t>(w) * 64;
           v < static_cast<int64_t>(w + 1) * 64; ++v) {
        whole = whole && v < kValues && in[v];
      }
      ASSERT_EQ((u.full_words(w / 64) >> (w % 64) & 1) != 0, whole)
          << round << " word " << w;
    }
  }
}

// Rectangles of keys × values, and the lowest spans clear of those that
// meet a key range, against a grid of cells. The top levels of the tree
// keep bitmaps, the others sorted ranges. One tree serves every round,
// emptied in between as the best planner empties it for each order.
TEST(ClearSpans, FindTheLowestSpanClearOfTheRectanglesMeetingTheKeys) {
  constexpr int64_t kKeys = 160;
  std::mt19937 rng(17);
  RectangleTree tree(kKeys, kValues);
  for (int round = 0; round < 600; ++round) {
    tree.Clear();
    std::vector<Bitmap> grid(kKeys, Bitmap(kValues, false));  // [key][value]
    for (int k = 0; k < static_cast<int>(rng() % 160); ++k) {
      const auto k0 = static_cast<int64_t>(rng() % kKeys);
      const int64_t k1 =
          std::min(kKeys - 1, k0 + static_cast<int64_t>(rng() % 90));
      // Mostly narrow, sometimes over whole words of values.
      const auto v0 = static_cast<int64_t>(rng() % kValues);
      const int64_t v1 = std::min(
          kValues - 1,
          v0 + static_cast<int64_t>(rng() % 8 ? rng() % 2 : rng() % 100));
      tree.Insert(k0, k1, v0, v1);
      for (int64_t key = k0; key <= k1; ++key) {
        for (int64_t v = v0; v <= v1; ++v) grid[key][v] = true;
      }
    }
    const auto k0 = static_cast<int64_t>(rng() % kKeys);
    const int64_t k1 = k0 + static_cast<int64_t>(rng()) % (kKeys - k0);
    Bitmap used(kValues + 32, false);
    for (int64_t key = k0; key <= k1; ++key) {
      for (int64_t v = 0; v < kValues; ++v) used[v] = used[v] || grid[key][v];
    }
    ClearSpans search;
    search.Begin(tree, k0, k1);
    // Questions from rising positions, as the planners ask them: each one
    // answered from where the last one left off.
    const int64_t size = 1 + static_cast<int64_t>(rng() % 4);
    for (int64_t from = 0; from < kValues;
         from += static_cast<int64_t>(rng() % 4 == 0 ? rng() % 24 : 0)) {
      int64_t expected = from;
      for (int64_t v = from; v < expected + size; ++v) {
        if (used[v]) expected = v + 1;
      }
      const int64_t found = search.Lowest(from, size);
      ASSERT_EQ(found, expected) << round << " from " << from;
      from = found + size;
      const auto held = search.HolderEnd(found + size);
      ASSERT_EQ(held.has_value(), static_cast<bool>(used[found + size]))
          << round;
      if (held) {
        for (int64_t v = found + size; v <= *held; ++v) ASSERT_TRUE(used[v]);
      }
    }
  }
}

}  // namespace
}  // namespace sarnic::planner
