#include "planner/planners.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

#include "literal_planners.h"
#include "sarnic/errors.h"

namespace sarnic::planner {
namespace {

// Live lists and sizes in both representations.
struct Input {
  std::vector<std::vector<LayerId>> steps;
  std::vector<int64_t> blocks;
  std::vector<bool> saved;
  bool contiguous = true;  // every layer live over one run of steps

  int64_t total() const {
    int64_t t = 0;
    for (int64_t b : blocks) t += b;
    return t;
  }
  std::string name(LayerId l) const { return "l" + std::to_string(l); }
  literal::Steps NamedSteps() const {
    literal::Steps out;
    for (const auto& s : steps) {
      out.emplace_back();
      for (LayerId l : s) out.back().push_back(name(l));
    }
    return out;
  }
  literal::Blocks NamedBlocks() const {
    literal::Blocks out;
    for (LayerId l = 0; l < blocks.size(); ++l)
      out.emplace_back(name(l), blocks[l]);
    return out;
  }
  Plan FromNames(const literal::Starts& s) const {
    Plan p(blocks.size(), -1);
    for (LayerId l = 0; l < blocks.size(); ++l) {
      auto it = s.find(name(l));
      if (it != s.end()) p[l] = it->second;
    }
    return p;
  }
};

// What the driver relies on: layers live at a common step never overlap,
// and the block count lies between the lower bound and the total.
void ExpectValid(const Input& in, const Plan& plan, const char* planner) {
  const LiveLists live = LiveLists::Explicit(in.steps);
  for (const auto& step : in.steps) {
    for (std::size_t i = 0; i < step.size(); ++i) {
      for (std::size_t j = i + 1; j < step.size(); ++j) {
        const LayerId a = step[i], b = step[j];
        const bool apart = plan[a] + in.blocks[a] <= plan[b] ||
                           plan[b] + in.blocks[b] <= plan[a];
        ASSERT_TRUE(apart) << planner << ": layers " << a << " and " << b;
      }
    }
  }
  const int64_t count = BlockCount(plan, in.blocks);
  EXPECT_LE(count, in.total()) << planner;
  EXPECT_GE(count, LowerBound(live, in.blocks)) << planner;
}

Input RandomInput(std::mt19937& rng) {
  Input in;
  const int n = std::uniform_int_distribution<int>(1, 24)(rng);
  const int max_blocks = std::uniform_int_distribution<int>(1, 9)(rng);
  std::uniform_int_distribution<int> size(1, max_blocks);
  for (int i = 0; i < n; ++i) in.blocks.push_back(size(rng));
  in.saved.assign(n, false);
  for (int i = 0; i < n; ++i) in.saved[i] = rng() % 8 == 0;
  in.contiguous = rng() % 5 != 0;
  std::vector<int> last_use(n);
  for (int i = 0; i < n; ++i) {
    last_use[i] =
        std::uniform_int_distribution<int>(i, std::min(n - 1, i + 4))(rng);
  }
  for (int t = 0; t < n; ++t) {
    std::vector<LayerId> step = {static_cast<LayerId>(t)};
    std::vector<LayerId> older;
    for (int l = 0; l < t; ++l) {
      const bool live = in.contiguous ? last_use[l] >= t : rng() % 3 == 0;
      if (live && !in.saved[l]) older.push_back(static_cast<LayerId>(l));
    }
    std::shuffle(older.begin(), older.end(), rng);
    step.insert(step.end(), older.begin(), older.end());
    for (int l = 0; l < n; ++l) {
      if (in.saved[l] && l != t) step.push_back(static_cast<LayerId>(l));
    }
    in.steps.push_back(step);
  }
  return in;
}

TEST(Planners, MatchTheLiteralPlannersOnRandomInputs) {
  std::mt19937 rng(20261208);
  for (int i = 0; i < 4000; ++i) {
    const Input in = RandomInput(rng);
    const LiveLists live = LiveLists::Explicit(in.steps);
    const Plan greedy = greedy_step_map(live, in.blocks, in.total());
    const Plan large = largest_first_map(live, in.blocks, in.total());
    ASSERT_EQ(greedy, in.FromNames(literal::GreedyStepMap(
                          in.NamedSteps(), in.NamedBlocks(), in.total())))
        << "case " << i;
    ASSERT_EQ(large, in.FromNames(literal::LargestFirstMap(
                         in.NamedSteps(), in.NamedBlocks(), in.total())))
        << "case " << i;
    if (in.contiguous) {
      ExpectValid(in, greedy, "greedy");
      ExpectValid(in, large, "largest first");
    }
  }
}

// Live lists that hold a layer twice, lifetimes with gaps and layers of no
// blocks: the inputs on which a placed layer may lie over another, so that
// a step's free ranges depend on the order its layers are carved in.
Input CrowdedInput(std::mt19937& rng) {
  Input in;
  in.contiguous = false;
  const int n = std::uniform_int_distribution<int>(2, 30)(rng);
  std::uniform_int_distribution<int> size(0, 6);
  for (int i = 0; i < n; ++i) in.blocks.push_back(size(rng));
  const int steps = std::uniform_int_distribution<int>(1, n)(rng);
  for (int t = 0; t < steps; ++t) {
    std::vector<LayerId> step;
    for (int l = 0; l < n; ++l) {
      if (rng() % 3 == 0) step.push_back(static_cast<LayerId>(l));
      if (rng() % 9 == 0) step.push_back(static_cast<LayerId>(l));
    }
    std::shuffle(step.begin(), step.end(), rng);
    in.steps.push_back(step);
  }
  return in;
}

TEST(LargestFirstMap, MatchesTheLiteralPlannerOnCrowdedInputs) {
  std::mt19937 rng(99);
  int refused = 0;
  for (int i = 0; i < 6000; ++i) {
    const Input in = CrowdedInput(rng);
    const LiveLists live = LiveLists::Explicit(in.steps);
    // Half the runs on an arena barely larger than the largest step, where
    // a layer is often put over another.
    const int64_t total =
        i % 2 == 0 ? in.total() : LowerBound(live, in.blocks) + i % 5;
    Plan literal = in.FromNames(
        literal::LargestFirstMap(in.NamedSteps(), in.NamedBlocks(), total));
    // A layer live at no step is put at block 0.
    for (LayerId l = 0; l < literal.size(); ++l) {
      const bool listed =
          std::any_of(in.steps.begin(), in.steps.end(), [&](const auto& s) {
            return std::find(s.begin(), s.end(), l) != s.end();
          });
      if (!listed) literal[l] = 0;
    }
    try {
      ASSERT_EQ(largest_first_map(live, in.blocks, total), literal)
          << "case " << i;
    } catch (const InternalError&) {
      // Only where the literal planner found no start either.
      ASSERT_NE(std::find(literal.begin(), literal.end(), -1), literal.end())
          << "case " << i;
      ++refused;
    }
  }
  // A tight arena leaves about a third of its layers nowhere; most runs
  // must still be compared.
  EXPECT_LT(refused, 1500) << refused;
}

// Layers with a gap in their lifetimes still conflict with every layer
// they share a step with, wherever the shared step lies.
TEST(FirstFitMap, ValidOnCrowdedInputs) {
  std::mt19937 rng(5);
  for (int i = 0; i < 3000; ++i) {
    const Input in = CrowdedInput(rng);
    const Plan best = first_fit_map(LiveLists::Explicit(in.steps), in.blocks);
    for (const auto& step : in.steps) {
      for (LayerId a : step) {
        for (LayerId b : step) {
          if (a == b || in.blocks[a] == 0 || in.blocks[b] == 0) continue;
          ASSERT_TRUE(best[a] + in.blocks[a] <= best[b] ||
                      best[b] + in.blocks[b] <= best[a])
              << "case " << i << ": layers " << a << " and " << b;
        }
      }
    }
  }
}

TEST(BestFitMap, ValidAndNeverWorseThanTheOtherPlannersOnRandomInputs) {
  std::mt19937 rng(7);
  int better = 0;
  for (int i = 0; i < 3000; ++i) {
    Input in = RandomInput(rng);
    if (!in.contiguous) continue;
    const LiveLists live = LiveLists::Explicit(in.steps);
    const Plan best = best_fit_map(live, in.blocks);
    ExpectValid(in, best, "best");
    const int64_t standard = std::min(
        BlockCount(greedy_step_map(live, in.blocks, in.total()), in.blocks),
        BlockCount(largest_first_map(live, in.blocks, in.total()), in.blocks));
    const int64_t count = BlockCount(best, in.blocks);
    // The driver keeps it only when smaller; here it must at least reach
    // the bound or come close to the others.
    better += count < standard;
    if (count > standard) continue;
    EXPECT_GE(count, LowerBound(live, in.blocks));
  }
  EXPECT_GT(better, 0);
}

// Layers over the intervals [l, last[l]], as explicit lists.
Input ListsOfIntervals(std::vector<int64_t> blocks,
                       const std::vector<int>& last) {
  Input in;
  in.blocks = std::move(blocks);
  in.saved.assign(in.blocks.size(), false);
  for (int t = 0; t < static_cast<int>(last.size()); ++t) {
    in.steps.emplace_back();
    for (int l = 0; l <= t; ++l) {
      if (last[l] >= t) in.steps.back().push_back(static_cast<LayerId>(l));
    }
  }
  return in;
}

// The search places each order it tries from the layers it shares with
// the order it came from; the plans must be those of placing every order
// afresh. The first inputs never reach their bound (found by a search of
// random intervals), so the search runs to its end, going back to its best
// order again and again; the next reaches it only after going back (it
// does not when the search goes on from the plan of the order it left);
// the random ones mostly reach it on the way.
TEST(BestFitMap, MatchesTheLiteralSearch) {
  std::vector<Input> inputs = {
      ListsOfIntervals({3, 3, 1, 5, 2, 2, 4, 3, 5},
                       {3, 2, 3, 5, 6, 7, 7, 8, 8}),
      ListsOfIntervals({5, 4, 5, 2, 2, 2, 5, 3, 1},
                       {1, 4, 2, 6, 5, 6, 8, 8, 8}),
      ListsOfIntervals({3, 4, 5, 5, 2, 5, 1, 3, 5, 4, 5, 2},
                       {2, 4, 5, 3, 7, 8, 9, 8, 11, 10, 11, 11}),
  };
  const std::size_t exhausting = inputs.size();
  inputs.push_back(ListsOfIntervals(
      {2, 5, 2, 3, 2, 5, 3, 2, 1, 5, 2, 1, 5, 4, 4, 3, 3, 4, 3, 5, 1, 5, 4, 1},
      {4,  4,  6,  7,  5,  9,  7,  10, 8,  13, 11, 11,
       16, 14, 18, 15, 18, 18, 22, 19, 23, 23, 22, 23}));
  const std::size_t fixed = inputs.size();
  std::mt19937 rng(29);
  for (int i = 0; i < 400 && inputs.size() < fixed + 25; ++i) {
    Input in = RandomInput(rng);
    const LiveLists live = LiveLists::Explicit(in.steps);
    if (in.contiguous && BlockCount(first_fit_map(live, in.blocks), in.blocks) >
                             LowerBound(live, in.blocks)) {
      inputs.push_back(std::move(in));  // a search to compare
    }
  }
  ASSERT_EQ(inputs.size(), fixed + 25);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const Input& in = inputs[i];
    const LiveLists live = LiveLists::Explicit(in.steps);
    const int64_t bound = LowerBound(live, in.blocks);
    const Plan best = best_fit_map(live, in.blocks);
    ASSERT_EQ(best, literal::BestFitMap(in.steps, in.blocks,
                                        LargestFirstOrder(in.blocks), bound))
        << "input " << i;
    if (i < exhausting) {
      EXPECT_GT(BlockCount(best, in.blocks), bound) << "input " << i;
    }
  }
}

TEST(BestFitMap, SameInputSamePlan) {
  std::mt19937 rng(11);
  const Input in = RandomInput(rng);
  const LiveLists live = LiveLists::Explicit(in.steps);
  EXPECT_EQ(best_fit_map(live, in.blocks), best_fit_map(live, in.blocks));
}

TEST(Planners, CumulativeListsGiveTheLiteralBackToBackPlan) {
  Input in;
  in.blocks = {3, 1, 4, 1, 5};
  for (LayerId t = 0; t < 5; ++t) {
    in.steps.emplace_back();
    for (LayerId l = 0; l <= t; ++l) in.steps.back().push_back(l);
  }
  const Plan cumulative =
      greedy_step_map(LiveLists::Cumulative(5), in.blocks, in.total());
  EXPECT_EQ(cumulative, (Plan{0, 3, 4, 8, 9}));
  EXPECT_EQ(cumulative, greedy_step_map(LiveLists::Explicit(in.steps),
                                        in.blocks, in.total()));
  EXPECT_EQ(BlockCount(cumulative, in.blocks), in.total());
}

TEST(Planners, WorkedChainXYZ) {
  // x (4 blocks), y (2), z (3); live lists [x], [y, x], [z, y].
  const LiveLists live = LiveLists::Explicit({{0}, {1, 0}, {2, 1}});
  const std::vector<int64_t> blocks = {4, 2, 3};
  EXPECT_EQ(greedy_step_map(live, blocks, 9), (Plan{0, 4, 0}));
  EXPECT_EQ(largest_first_map(live, blocks, 9), (Plan{0, 4, 0}));
  EXPECT_EQ(BlockCount(Plan{0, 4, 0}, blocks), 6);
  EXPECT_EQ(LowerBound(live, blocks), 6);
}

TEST(Planners, EmptyInputsGiveEmptyPlans) {
  EXPECT_TRUE(greedy_step_map(LiveLists::Explicit({}), {}, 0).empty());
  EXPECT_TRUE(largest_first_map(LiveLists::Explicit({}), {}, 0).empty());
  EXPECT_EQ(BlockCount({}, {}), 0);
}

TEST(GreedyStepMap, EqualSizesGoInListOrderAndExactHolesVanish) {
  // a (2) and b (2) live at step 1 with c (2) at 0..: the free ranges at
  // step 2 are [0,1] (exact for d) and [4, total].
  const LiveLists live = LiveLists::Explicit({{0, 1}, {2, 1}, {3, 2}});
  const std::vector<int64_t> blocks = {2, 2, 2, 2};
  const Plan p = greedy_step_map(live, blocks, 8);
  EXPECT_EQ(p[0], 0);  // earlier in the list takes the lower range
  EXPECT_EQ(p[1], 2);
  EXPECT_EQ(p[2], 0);
  EXPECT_EQ(p[3], 2);
}

TEST(LargestFirstMap, LargestFirstAtZeroAndEqualSizesInPlannerOrder) {
  // c (3) is placed first, at 0; a and b (2 each) follow in planner order.
  const LiveLists live = LiveLists::Explicit({{0}, {1, 0, 2}, {2}});
  const std::vector<int64_t> blocks = {2, 2, 3};
  const Plan p = largest_first_map(live, blocks, 7);
  EXPECT_EQ(p[2], 0);
  // a is live at steps 0 and 1: candidates 0 (step 0) and 3 (step 1); 0 is
  // taken by c at step 1, so a starts at 3.
  EXPECT_EQ(p[0], 3);
  EXPECT_EQ(p[1], 5);
}

}  // namespace
}  // namespace sarnic::planner

namespace sarnic::planner {
namespace {

// Intervals with random heads (each step's own entries) and outputs, and the
// explicit lists they stand for, listed in the order the intervals derive.
struct IntervalInput {
  LiveLists intervals;
  std::vector<std::vector<LayerId>> steps;
  std::vector<int64_t> blocks;
  int64_t total = 0;
};

IntervalInput RandomIntervals(std::mt19937& rng, int max_layers = 80) {
  const int n = 1 + static_cast<int>(rng() % static_cast<unsigned>(max_layers));
  std::vector<uint32_t> last(n);
  std::vector<std::size_t> offsets = {0};
  std::vector<LayerId> heads;
  for (int t = 0; t < n; ++t) {
    last[t] = static_cast<uint32_t>(t);
    const int reads = static_cast<int>(rng() % 4);
    for (int k = 0; k < reads && t > 0; ++k) {
      const LayerId l = static_cast<LayerId>(rng() % t);
      heads.push_back(l);
      last[l] = static_cast<uint32_t>(t);
    }
    offsets.push_back(heads.size());
  }
  std::vector<LayerId> tail = {static_cast<LayerId>(n - 1)};
  if (rng() % 2) tail.push_back(static_cast<LayerId>(rng() % n));
  for (LayerId l : tail) last[l] = static_cast<uint32_t>(n - 1);
  IntervalInput in{LiveLists::Intervals(last, offsets, heads, tail), {}, {}, 0};
  for (int t = 0; t < n; ++t) {
    // Crowded sizes: many equal, so that single candidates and exact
    // holes occur.
    in.blocks.push_back(1 + static_cast<int64_t>(rng() % 3));
    in.total += in.blocks.back();
    in.steps.emplace_back();
    in.intervals.ForEach(t, [&](LayerId l) { in.steps.back().push_back(l); });
  }
  return in;
}

bool SomeLayersOverlap(const IntervalInput& in, const Plan& plan) {
  for (const auto& step : in.steps) {
    for (LayerId a : step) {
      for (LayerId b : step) {
        if (a < b && plan[a] < plan[b] + in.blocks[b] &&
            plan[b] < plan[a] + in.blocks[a]) {
          return true;
        }
      }
    }
  }
  return false;
}

// Each step of the intervals lists exactly its interval's layers; and
// every planner plans intervals as it plans the explicit lists, also where
// the largest-first planner takes a single candidate over a placed layer
// (its runs of steps give way to the lists).
TEST(Intervals, ListTheirLayersAndPlanAsTheExplicitLists) {
  std::mt19937 rng(23);
  int overlapping = 0;
  for (int round = 0; round < 4000; ++round) {
    const IntervalInput in = RandomIntervals(rng);
    for (std::size_t t = 0; t < in.steps.size(); ++t) {
      std::vector<LayerId> sorted = in.steps[t];
      std::sort(sorted.begin(), sorted.end());
      std::vector<LayerId> expected;
      for (LayerId l = 0; l <= t; ++l) {
        if (in.intervals.last(l) >= t) expected.push_back(l);
      }
      ASSERT_EQ(sorted, expected) << round << " step " << t;
    }
    const LiveLists lists = LiveLists::Explicit(in.steps);
    const Plan expected = largest_first_map(lists, in.blocks, in.total);
    ASSERT_EQ(largest_first_map(in.intervals, in.blocks, in.total), expected)
        << round;
    // Both ways of planning intervals, whichever the planner would choose.
    ASSERT_EQ(LargestFirstOverRuns(in.intervals, in.blocks, in.total), expected)
        << round;
    ASSERT_EQ(LargestFirstOverRectangles(in.intervals, in.blocks, in.total),
              expected)
        << round;
    // An arena barely above the bound, where the single-candidate rule lays
    // layers over others: the same plan, or the same refusal.
    const int64_t tight =
        LowerBound(lists, in.blocks) + static_cast<int64_t>(rng() % 2);
    std::optional<Plan> from_lists, from_intervals;
    try {
      from_lists = largest_first_map(lists, in.blocks, tight);
    } catch (const InternalError&) {
    }
    try {
      from_intervals = largest_first_map(in.intervals, in.blocks, tight);
    } catch (const InternalError&) {
    }
    ASSERT_EQ(from_intervals, from_lists) << round;
    // Where a way of planning intervals finds a plan in the tight arena, it
    // is the per-step one.
    for (const auto& plan :
         {LargestFirstOverRuns(in.intervals, in.blocks, tight),
          LargestFirstOverRectangles(in.intervals, in.blocks, tight)}) {
      if (plan) {
        ASSERT_EQ(plan, from_lists) << round;
      }
    }
    if (from_lists) overlapping += SomeLayersOverlap(in, *from_lists);
    ASSERT_EQ(greedy_step_map(in.intervals, in.blocks, in.total),
              greedy_step_map(lists, in.blocks, in.total))
        << round;
    ASSERT_EQ(LowerBound(in.intervals, in.blocks),
              LowerBound(lists, in.blocks));
    ASSERT_EQ(first_fit_map(in.intervals, in.blocks),
              first_fit_map(lists, in.blocks))
        << round;
  }
  // The single-candidate rule did lay layers over others in some rounds.
  EXPECT_GT(overlapping, 0);
}

// Layers of tens of thousands of blocks: the greedy plan over intervals
// walks its free ranges instead of keeping a tree over so many blocks, and
// plans as the lists do.
TEST(Intervals, GreedyPlansHugeLayersAsTheExplicitLists) {
  std::mt19937 rng(41);
  for (int round = 0; round < 200; ++round) {
    IntervalInput in = RandomIntervals(rng);
    for (int64_t& b : in.blocks) b *= 40000;
    const int64_t total = 40000 * in.total;
    ASSERT_EQ(greedy_step_map(in.intervals, in.blocks, total),
              greedy_step_map(LiveLists::Explicit(in.steps), in.blocks, total))
        << round;
  }
}

// The search over placement orders, whose every step is a first fit: over
// intervals with many pairs live together the fits are searched among
// rectangles, and the orders tried and the plan are those of the lists.
TEST(Intervals, BestFitPlansAsTheExplicitLists) {
  std::mt19937 rng(31);
  int many_pairs = 0;
  for (int round = 0; round < 4; ++round) {
    const IntervalInput in = RandomIntervals(rng, 400);
    many_pairs += ConflictPairs(in.intervals) > 32 * in.blocks.size();
    ASSERT_EQ(best_fit_map(in.intervals, in.blocks),
              best_fit_map(LiveLists::Explicit(in.steps), in.blocks))
        << round;
  }
  EXPECT_GE(many_pairs, 2);
}

// Found by the test above: in an arena one block above the bound, a layer
// is taken unchecked over a placed one, and later layers land differently
// than where the runs of steps would have put them; the runs give way to
// the lists and the plan is the lists' plan.
TEST(Intervals, AfterALayerLandsOverAnotherTheListsDecide) {
  const std::vector<std::size_t> offsets = {0,  0,  0,  0,  2,  2,  3,  4,  6,
                                            8,  9,  11, 14, 14, 17, 19, 20, 20,
                                            23, 26, 28, 29, 32, 35, 37};
  const std::vector<LayerId> heads = {
      0, 0, 4, 5,  6,  4, 4, 6, 3, 6, 5, 9, 8,  4, 6,  0,  9,  9, 10,
      2, 2, 5, 10, 14, 1, 9, 1, 5, 4, 5, 5, 20, 3, 11, 17, 10, 0};
  const std::vector<LayerId> tail = {23, 6};
  std::vector<uint32_t> last(24);
  for (uint32_t t = 0; t < 24; ++t) {
    last[t] = std::max(last[t], t);
    for (std::size_t k = offsets[t]; k < offsets[t + 1]; ++k) {
      last[heads[k]] = t;
    }
  }
  for (LayerId l : tail) last[l] = 23;
  const LiveLists intervals = LiveLists::Intervals(last, offsets, heads, tail);
  std::vector<std::vector<LayerId>> steps(24);
  for (std::size_t t = 0; t < 24; ++t) {
    intervals.ForEach(t, [&](LayerId l) { steps[t].push_back(l); });
  }
  const std::vector<int64_t> blocks = {2, 1, 1, 1, 3, 2, 2, 2, 3, 2, 2, 1,
                                       2, 1, 1, 2, 1, 3, 1, 1, 3, 1, 3, 1};
  const Plan from_lists =
      largest_first_map(LiveLists::Explicit(steps), blocks, 21);
  EXPECT_EQ(largest_first_map(intervals, blocks, 21), from_lists);
}

}  // namespace
}  // namespace sarnic::planner
