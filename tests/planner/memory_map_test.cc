#include "planner/memory_map.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "picture/picture.h"
#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::TestGraph;

// A float32 layer of `blocks` kibibytes.
std::vector<int64_t> Kib(int64_t blocks) { return {blocks * 256}; }

// The plan, with its blocks stored in the nodes as the export stores them.
MemoryPlan PlanInto(DiGraph& g, const std::vector<std::string>& outputs,
                    const MemoryMapOptions& o, std::ostream& out) {
  MemoryPlan plan = memory_map(g, outputs, o, out);
  for (const auto& [node, block] : plan.node_blocks) {
    g.attrs_of(node).set("block", Value(block));
  }
  return plan;
}

struct Planned {
  uint32_t count;
  std::string printed;
};

Planned Plan(TestGraph& g, bool opt_map = true,
             std::vector<std::string> saved = {},
             std::optional<std::string> picture = std::nullopt) {
  std::ostringstream out;
  MemoryMapOptions o;
  o.opt_map = opt_map;
  o.save_layers = std::move(saved);
  const MemoryPlan plan = PlanInto(g.qm_nx_graph, g.orig_outputs, o, out);
  if (picture) SaveMemoryMapPicture(*picture, plan, out);
  return {plan.block_count, out.str()};
}

int64_t Block(TestGraph& g, const std::string& n) {
  return g.qm_nx_graph.node(n).at("block").as_int();
}

TEST(MemoryMap, ChainWithStatistics) {
  TestGraph g;
  g.Add("x", "external", Kib(4));
  g.Add("y", "relu", Kib(2), {{"x", Value("x")}});
  g.Add("z", "relu", Kib(3), {{"x", Value("y")}});
  g.Edge("x", "y");
  g.Edge("y", "z");
  g.orig_outputs = {"z"};
  const Planned p = Plan(g);
  EXPECT_EQ(p.count, 6u);
  EXPECT_EQ(
      p.printed,
      "Used Greedy Planning\nMax Blocks: 9\nMin Blocks: 6\n"
      "Current Blocks: 6\nMemory Saved: 33.33\nPercent Above Min: 0.00\n");
  // 3 nodes: (3 + 1) * 128 bytes round up to one leading block.
  EXPECT_EQ(Block(g, "x"), 1);
  EXPECT_EQ(Block(g, "y"), 5);
  EXPECT_EQ(Block(g, "z"), 1);
}

TEST(MemoryMap, SkipConnectionKeepsTheSourceLiveThroughAReshape) {
  for (const bool via_reshape : {false, true}) {
    TestGraph g;
    g.Add("x", "external", Kib(2));
    g.Add("y", "relu", Kib(2), {{"x", Value("x")}});
    if (via_reshape) g.Add("r", "reshape", Kib(2), {{"input", Value("x")}});
    g.Add("z", "add_n", Kib(2),
          {{"values", Value::TextList({"y", via_reshape ? "r" : "x"})}});
    g.Edge("x", "y");
    g.Edge("y", "z");
    if (via_reshape) g.Edge("x", "r");
    g.orig_outputs = {"z"};
    const Planned p = Plan(g);
    EXPECT_NE(p.printed.find("Min Blocks: 6\n"), std::string::npos);
    const int64_t off = 1;
    EXPECT_EQ(Block(g, "x"), 0 + off);
    EXPECT_EQ(Block(g, "y"), 2 + off);
    EXPECT_EQ(Block(g, "z"), 4 + off);
    if (via_reshape) {
      EXPECT_FALSE(g.qm_nx_graph.node("r").contains("block"));
    }
  }
}

TEST(MemoryMap, WithoutOptimisationLayersLieBackToBackSilently) {
  TestGraph g;
  g.Add("x", "external", Kib(4));
  g.Add("y", "relu", Kib(2), {{"x", Value("x")}});
  g.Constant("w", {1}, {1});
  g.Add("z", "relu", Kib(3), {{"x", Value("y")}});
  const Planned p = Plan(g, false);
  EXPECT_EQ(p.count, 9u);
  EXPECT_EQ(p.printed, "");
  EXPECT_EQ(Block(g, "x"), 1);
  EXPECT_EQ(Block(g, "y"), 5);
  EXPECT_EQ(Block(g, "z"), 7);
  EXPECT_FALSE(g.qm_nx_graph.node("w").contains("block"));
}

TEST(MemoryMap, SavedLayersAreLiveEverywhere) {
  TestGraph g;
  g.Add("x", "external", Kib(4));
  g.Add("y", "relu", Kib(2), {{"x", Value("x")}});
  g.Add("r1", "reshape", Kib(2), {{"input", Value("y")}});
  g.Add("r2", "reshape", Kib(2), {{"input", Value("r1")}});
  g.Add("z", "relu", Kib(3), {{"x", Value("r2")}});
  g.orig_outputs = {"z"};
  const Planned p = Plan(g, true, {"r2", "ghost"});
  EXPECT_EQ(p.printed.rfind("WARNING: specified saved layer 'ghost' is not in "
                            "graph\n",
                            0),
            0u);
  // y stays live at every step: nobody shares its blocks.
  const int64_t y = Block(g, "y");
  for (const char* other : {"x", "z"}) {
    const int64_t o = Block(g, other);
    const int64_t size = std::string(other) == "x" ? 4 : 3;
    EXPECT_TRUE(o + size <= y || y + 2 <= o) << other;
  }
}

TEST(MemoryMap, BlockSizesByElementType) {
  const struct {
    std::vector<int64_t> shape;
    const char* datatype;
    int64_t blocks;
  } cases[] = {{{256}, nullptr, 1}, {{257}, nullptr, 2},
               {{1024}, "int8", 1}, {{1025}, "uint8", 2},
               {{256}, "int16", 1}, {{257}, "float64", 2}};
  for (const auto& c : cases) {
    TestGraph g;
    auto& n = g.Add("x", "external", c.shape);
    if (c.datatype) n.set("datatype", Value(c.datatype));
    EXPECT_EQ(Plan(g, false).count, static_cast<uint32_t>(c.blocks));
  }
}

TEST(MemoryMap, OffsetBlocksCountEveryNode) {
  for (const int nodes : {7, 8}) {
    TestGraph g;
    g.Add("x", "external", {1});
    for (int i = 1; i < nodes; ++i)
      g.Constant("c" + std::to_string(i), {1}, {0});
    Plan(g);
    EXPECT_EQ(Block(g, "x"), nodes == 7 ? 1 : 2);
  }
}

TEST(MemoryMap, NoLayers) {
  TestGraph g;
  g.Constant("c", {1}, {0});
  const Planned p = Plan(g);
  EXPECT_EQ(p.count, 0u);
  EXPECT_EQ(p.printed,
            "Used Greedy Planning\nMax Blocks: 0\nMin Blocks: 0\n"
            "Current Blocks: 0\nMemory Saved: 0.00\nPercent Above Min: 0.00\n");
}

TEST(MemoryMap, Refusals) {
  {
    TestGraph g;
    g.Add("x", "external", {1, 0, 3});
    try {
      Plan(g);
      FAIL();
    } catch (const ValueError& e) {
      EXPECT_STREQ(e.what(),
                   "Found negative value for output shape in node x. Check "
                   "that you are using the correct default shape.");
    }
    EXPECT_FALSE(g.qm_nx_graph.node("x").contains("block"));
  }
  {
    TestGraph g;
    g.Add("x", "external", {int64_t{1} << 40, int64_t{1} << 40});
    EXPECT_THROW(Plan(g), ValueError);
  }
  {
    TestGraph g;
    g.Add("a", "reshape", {1}, {{"input", Value("b")}});
    g.Add("b", "reshape", {1}, {{"input", Value("a")}});
    try {
      Plan(g);
      FAIL();
    } catch (const ValueError& e) {
      EXPECT_EQ(e.message(), "Reshape inputs form a loop at reshape");
    }
  }
  {
    TestGraph g;
    g.Add("a", "reshape", {1}, {{"input", Value("nowhere")}});
    try {
      Plan(g);
      FAIL();
    } catch (const KeyError& e) {
      EXPECT_EQ(e.key(), "nowhere");
    }
  }
}

class Picture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("sarnic_map_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static void Chain(TestGraph& g, int layers) {
    g.Add("l0", "external", {256});
    for (int i = 1; i < layers; ++i) {
      g.Add("l" + std::to_string(i), "relu", {256},
            {{"x", Value("l" + std::to_string(i - 1))}});
    }
  }
  std::filesystem::path dir_;
};

TEST_F(Picture, DirectoryGetsMemMapPngAndUpTo768LayersDraw) {
  TestGraph g;
  Chain(g, 768);
  const Planned p = Plan(g, true, {}, dir_.string());
  EXPECT_NE(p.printed.find("Saving Map...\nSaved\n"), std::string::npos);
  const auto png = dir_ / "mem_map.png";
  ASSERT_TRUE(std::filesystem::exists(png));
  std::ifstream f(png, std::ios::binary);
  char magic[4] = {};
  f.read(magic, 4);
  EXPECT_EQ(std::string(magic + 1, 3), "PNG");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_),
                          std::filesystem::directory_iterator()),
            1);  // no temporary file left
}

TEST_F(Picture, Over768LayersAreNotDrawn) {
  TestGraph g;
  Chain(g, 769);
  const auto path = dir_ / "map.png";
  const Planned p = Plan(g, true, {}, path.string());
  EXPECT_NE(p.printed.find("Saving Map...\nToo many layers to generate the "
                           "memory map image\n"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(p.count, 2u);
}

TEST_F(Picture, UnwritablePathIsAnIoErrorAfterBlocksAreSet) {
  TestGraph g;
  Chain(g, 3);
  EXPECT_THROW(Plan(g, true, {}, (dir_ / "no" / "such" / "m.png").string()),
               IoError);
  EXPECT_TRUE(g.qm_nx_graph.node("l0").contains("block"));
}

TEST(MemoryMap, ExportedLayersCarryTheirBlocks) {
  TestGraph g;
  g.Add("x", "external", Kib(4));
  g.Constant("w", {1}, {1});
  g.Add("y", "relu", Kib(2), {{"x", Value("x")}});
  g.Edge("x", "y");
  g.orig_inputs = {"x"};
  g.orig_outputs = {"y"};
  std::ostringstream out;
  ExportOptions o;
  o.diagnostics = &out;
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  const auto* m = testing::Decode(buf);
  EXPECT_EQ(m->block_count(), 6u);
  EXPECT_EQ(testing::LayerNamed(m, "x")->block(), 1u);
  EXPECT_EQ(testing::LayerNamed(m, "y")->block(), 5u);
  EXPECT_FALSE(testing::LayerNamed(m, "w")->block().has_value());
}

}  // namespace
}  // namespace sarnic

namespace sarnic {
namespace {

// Convolution and addition pairs joining each block's input back in, with
// outputs of three sizes.
void Residual(TestGraph& g, int layers) {
  g.Add("in", "external", {1, 16, 16, 16});
  std::string prev = "in";
  for (int i = 0; 2 * i + 1 < layers; ++i) {
    const std::string c = "c" + std::to_string(i), a = "a" + std::to_string(i);
    g.Add(c, "relu", {1, 16, 16, 16 + (i % 3) * 8}, {{"x", Value(prev)}});
    g.Add(a, "add", {1, 16, 16, 16}, {{"x", Value(c)}, {"y", Value(prev)}});
    g.Edge(prev, c);
    g.Edge(c, a);
    g.Edge(prev, a);
    prev = a;
  }
  g.orig_outputs = {prev};
}

int64_t Stat(const std::string& printed, const std::string& key) {
  const auto pos = printed.find(key + ": ");
  return std::stoll(printed.substr(pos + key.size() + 2));
}

TEST(BestPlanner, ReachesTheBoundOnAResidualGraphAndSaysSo) {
  TestGraph standard_graph, best_graph;
  Residual(standard_graph, 2000);
  Residual(best_graph, 2000);
  std::ostringstream standard_out, best_out;
  const uint32_t standard_count =
      memory_map(standard_graph.qm_nx_graph, standard_graph.orig_outputs, {},
                 standard_out)
          .block_count;
  MemoryMapOptions best_options;
  best_options.try_best = true;
  const uint32_t best_count =
      memory_map(best_graph.qm_nx_graph, best_graph.orig_outputs, best_options,
                 best_out)
          .block_count;
  EXPECT_LE(best_count, standard_count);
  EXPECT_EQ(best_count, Stat(best_out.str(), "Min Blocks"));
  if (best_count < standard_count) {
    EXPECT_EQ(best_out.str().rfind("Used Best Planning\n", 0), 0u);
  } else {
    EXPECT_EQ(best_out.str(), standard_out.str());
  }
}

TEST(BestPlanner, WithoutAGainTheModelIsByteForByteTheDefault) {
  TestGraph a, b;
  for (TestGraph* g : {&a, &b}) {
    g->Add("x", "external", Kib(4));
    g->Add("y", "relu", Kib(2), {{"x", Value("x")}});
    g->Edge("x", "y");
    g->orig_outputs = {"y"};
  }
  std::ostringstream out;
  SarnicExporter standard(a, "m", testing::Quiet(out, true));
  ExportOptions o = testing::Quiet(out, true);
  o.planner = "best";
  SarnicExporter best(b, "m", std::move(o));
  const ModelBuffer m1 = standard.run();
  const ModelBuffer m2 = best.run();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m1.data()), m1.size()),
            std::string(reinterpret_cast<const char*>(m2.data()), m2.size()));
  ExportOptions bad = testing::Quiet(out, true);
  bad.planner = "fastest";
  SarnicExporter wrong(a, "m", std::move(bad));
  EXPECT_THROW(wrong.run(), ValueError);
}

}  // namespace
}  // namespace sarnic

namespace sarnic {
namespace {

// A random graph of relus, adds and concats whose inputs are any earlier
// layers (some through reshapes), with outputs of varied sizes: live
// intervals of every length, many layers live at once.
void RandomGraph(TestGraph& g, std::mt19937& rng, int layers) {
  g.Add("l0", "external", Kib(1 + static_cast<int64_t>(rng() % 4)));
  for (int i = 1; i < layers; ++i) {
    const std::string name = "l" + std::to_string(i);
    auto earlier = [&] { return "l" + std::to_string(rng() % i); };
    const std::vector<int64_t> shape = Kib(1 + static_cast<int64_t>(rng() % 6));
    const std::string a = earlier(), b = earlier(), c = earlier();
    switch (rng() % 4) {
      case 0:
        g.Add(name, "relu", shape, {{"x", Value(a)}});
        break;
      case 1:
        g.Add(name, "add", shape, {{"x", Value(a)}, {"y", Value(b)}});
        break;
      case 2:
        g.Add(name, "concat", shape,
              {{"values", Value::TextList({a, b, c})}, {"axis", Value(0)}});
        break;
      default: {
        const std::string r = "r" + std::to_string(i);
        g.Add(r, "reshape", {}, {{"input", Value(a)}})
            .set("output_shape", g.qm_nx_graph.node(a).at("output_shape"));
        g.Edge(a, r);
        g.Add(name, "relu", shape, {{"x", Value(r)}});
        g.Edge(r, name);
        continue;
      }
    }
    for (const std::string& from : {a, b, c}) g.Edge(from, name);
  }
  g.orig_outputs = {"l" + std::to_string(layers - 1),
                    "l" + std::to_string(rng() % layers)};
}

std::vector<std::vector<planner::LayerId>> Materialised(
    const planner::LiveLists& steps) {
  std::vector<std::vector<planner::LayerId>> out(steps.size());
  for (std::size_t t = 0; t < steps.size(); ++t) {
    steps.ForEach(t, [&](planner::LayerId l) { out[t].push_back(l); });
  }
  return out;
}

// Live intervals (memory linear in the graph) list the same layers in the
// same order as the explicit lists and give every planner the same plan.
TEST(MemoryMap, IntervalsAndExplicitListsGiveTheSamePlans) {
  std::mt19937 rng(2112);
  for (int round = 0; round < 60; ++round) {
    const int layers = 2 + static_cast<int>(rng() % 120);
    std::vector<MemoryPlan> plans;
    std::vector<std::vector<int64_t>> blocks;
    for (const bool allow : {true, false}) {
      std::mt19937 same = rng;
      TestGraph g;
      RandomGraph(g, same, layers);
      std::ostringstream out;
      MemoryMapOptions o;
      o.allow_intervals = allow;
      o.try_best = round % 2 == 0;
      plans.push_back(PlanInto(g.qm_nx_graph, g.orig_outputs, o, out));
      blocks.emplace_back();
      for (const auto& node : g.qm_nx_graph.nodes()) {
        const Value* b = g.qm_nx_graph.node(node).find("block");
        blocks.back().push_back(b == nullptr ? -1 : b->as_int());
      }
    }
    rng.discard(1000);
    ASSERT_TRUE(plans[0].steps.intervals()) << round;
    ASSERT_FALSE(plans[1].steps.intervals()) << round;
    EXPECT_EQ(Materialised(plans[0].steps), plans[1].steps.steps()) << round;
    EXPECT_EQ(blocks[0], blocks[1]) << round;
    EXPECT_EQ(plans[0].block_count, plans[1].block_count) << round;
    const auto explicit_lists =
        planner::LiveLists::Explicit(plans[1].steps.steps());
    for (auto planner_fn :
         {&planner::greedy_step_map, &planner::largest_first_map}) {
      int64_t total = 0;
      for (int64_t b : plans[0].layer_blocks) total += b;
      EXPECT_EQ(planner_fn(plans[0].steps, plans[0].layer_blocks, total),
                planner_fn(explicit_lists, plans[0].layer_blocks, total))
          << round;
    }
    EXPECT_EQ(planner::LowerBound(plans[0].steps, plans[0].layer_blocks),
              planner::LowerBound(explicit_lists, plans[0].layer_blocks));
    EXPECT_EQ(planner::ConflictPairs(plans[0].steps) <=
                  planner::ConflictPairs(explicit_lists),
              true);
  }
}

// Additions reading the previous layer and a random earlier one, of one
// size or of sizes from 1 to 4 kibibytes.
void RandomSkips(TestGraph& g, int layers, bool one_size, uint32_t seed) {
  std::mt19937 rng(seed);
  g.Add("l0", "external", Kib(1));
  for (int i = 1; i < layers; ++i) {
    const std::string n = "l" + std::to_string(i);
    const std::string prev = "l" + std::to_string(i - 1);
    const std::string skip =
        "l" + std::to_string(std::uniform_int_distribution<int>(0, i - 1)(rng));
    const int64_t size = std::uniform_int_distribution<int64_t>(1, 4)(rng);
    g.Add(n, "add", Kib(one_size ? 1 : size),
          {{"x", Value(prev)}, {"y", Value(skip)}});
    g.Edge(prev, n);
    if (skip != prev) g.Edge(skip, n);
  }
  g.orig_outputs = {"l" + std::to_string(layers - 1)};
}

// The driver keeps the greedy plan unless a later planner needs strictly
// fewer blocks; once a plan reaches the largest step's size the planners
// after it are not run, which must not change the choice.
TEST(MemoryMap, ChoosesTheSmallestPlanInTheDriversOrder) {
  std::set<std::string> mixed_choices;
  for (const bool one_size : {true, false}) {
    for (const bool try_best : {false, true}) {
      for (uint32_t seed = 1; seed <= 4; ++seed) {
        TestGraph g;
        RandomSkips(g, 300, one_size, seed);
        std::ostringstream out;
        MemoryMapOptions o;
        o.try_best = try_best;
        const MemoryPlan plan =
            memory_map(g.qm_nx_graph, g.orig_outputs, o, out);
        const auto& blocks = plan.layer_blocks;
        int64_t total = 0;
        for (int64_t b : blocks) total += b;
        const int64_t greedy = planner::BlockCount(
            planner::greedy_step_map(plan.steps, blocks, total), blocks);
        const int64_t large = planner::BlockCount(
            planner::largest_first_map(plan.steps, blocks, total), blocks);
        const int64_t best = planner::BlockCount(
            planner::best_fit_map(plan.steps, blocks), blocks);
        const int64_t bound = planner::LowerBound(plan.steps, blocks);
        const std::string where = std::string(one_size ? "one size" : "sizes") +
                                  (try_best ? ", best" : "") + ", seed " +
                                  std::to_string(seed);
        EXPECT_EQ(Stat(out.str(), "Min Blocks"), bound) << where;
        const char* used = "Used Greedy Planning\n";
        int64_t chosen = greedy;
        if (large < chosen) {
          used = "Used Largest First Planning\n";
          chosen = large;
        }
        if (try_best && best < chosen) {
          used = "Used Best Planning\n";
          chosen = best;
        }
        EXPECT_EQ(plan.block_count, chosen) << where;
        EXPECT_EQ(out.str().rfind(used, 0), 0u) << where << "\n" << out.str();
        if (one_size) {
          // One size: the greedy plan is as small as the largest step.
          EXPECT_EQ(greedy, bound) << where;
        } else {
          mixed_choices.insert(used);
        }
      }
    }
  }
  // Mixed sizes leave the greedy plan above the bound: each planner is
  // chosen on some of these graphs.
  EXPECT_EQ(mixed_choices.size(), 3u);
}

// A concat of 5,000 inputs: the live lists would hold 12.5 million entries;
// as intervals the plan needs memory linear in the graph.
TEST(MemoryMap, AConcatOfManyInputsPlansInLinearMemory) {
  TestGraph g;
  g.Add("in", "external", Kib(1));
  std::vector<std::string> parts;
  for (int i = 0; i < 5000; ++i) {
    parts.push_back("p" + std::to_string(i));
    g.Add(parts.back(), "relu", Kib(1), {{"x", Value("in")}});
    g.Edge("in", parts.back());
  }
  g.Add("c", "concat", Kib(5000),
        {{"values", Value::TextList(parts)}, {"axis", Value(1)}});
  for (const std::string& p : parts) g.Edge(p, "c");
  g.orig_outputs = {"c"};
  std::ostringstream out;
  MemoryMapOptions o;
  o.try_best = true;
  const MemoryPlan plan = memory_map(g.qm_nx_graph, g.orig_outputs, o, out);
  EXPECT_TRUE(plan.steps.intervals());
  EXPECT_GT(planner::ConflictPairs(plan.steps), 8'000'000u);
  EXPECT_EQ(Stat(out.str(), "Min Blocks"), 10000);  // the parts and the concat
  EXPECT_LE(plan.block_count, 10001u);
  EXPECT_NE(out.str().find("Best planning skipped"), std::string::npos);
}

}  // namespace
}  // namespace sarnic
