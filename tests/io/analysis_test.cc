// The facts of a model worked out by hand, the plan verifier on damaged
// models, and the verifier over models of both planners.
#include "sarnic/analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <random>
#include <sstream>

#include "sarnic/graph_file.h"
#include "sarnic/model_reader.h"
#include "serialize/tensor.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::TestGraph;

// in [1, 256] -> a [1, 512] -> c = a + w (int8) -> out [1, 300].
void Small(TestGraph& g) {
  g.Add("in", "external", {1, 256});
  g.Add("a", "relu", {1, 512}, {{"x", Value("in")}});
  g.Constant("w", {2}, {1, 2});
  g.Add("c", "add", {1, 512},
        {{"x", Value("a")}, {"y", Value("w")}, {"datatype", Value("int8")}});
  g.Add("out", "relu", {1, 300}, {{"x", Value("c")}});
  g.Edge("in", "a");
  g.Edge("a", "c");
  g.Edge("w", "c");
  g.Edge("c", "out");
  g.orig_inputs = {"in"};
  g.orig_outputs = {"out"};
}

ModelBuffer Export(Graph& g, ExportOptions o = {}) {
  std::ostringstream out;
  o.diagnostics = &out;
  SarnicExporter e(g, "small", std::move(o));
  return e.run();
}

TEST(Analysis, FactsOfASmallModelWorkedByHand) {
  TestGraph g;
  Small(g);
  const ModelBuffer buf = Export(g);
  const ModelFacts f = AnalyseModel(*testing::Decode(buf), buf.size());
  EXPECT_EQ(f.file_bytes, buf.size());
  EXPECT_EQ(f.block_size, 1024u);
  // (5 nodes + 1) x 128 bytes = 768 bytes: one reserved block.
  EXPECT_EQ(f.reserved_blocks, 1u);
  ASSERT_EQ(f.layers.size(), 5u);
  const struct {
    const char* name;
    uint64_t bytes, blocks;
    uint32_t first, last;
    bool planned;
  } expected[] = {
      {"in", 1024, 1, 0, 2, true},   // 256 x 4 bytes, read by a at step 2
      {"w", 8, 1, 1, 3, false},      // constants are not planned
      {"a", 2048, 2, 2, 3, true},    // read by c at step 3
      {"c", 512, 1, 3, 4, true},     // int8: one byte each
      {"out", 1200, 2, 4, 4, true},  // an output: live to the end
  };
  for (std::size_t i = 0; i < 5; ++i) {
    const LayerFacts& l = f.layers[i];
    EXPECT_EQ(l.name, expected[i].name);
    EXPECT_EQ(l.bytes, expected[i].bytes) << l.name;
    EXPECT_EQ(l.blocks, expected[i].blocks) << l.name;
    EXPECT_EQ(l.first, expected[i].first) << l.name;
    EXPECT_EQ(l.last, expected[i].last) << l.name;
    EXPECT_EQ(l.block.has_value(), expected[i].planned) << l.name;
  }
  EXPECT_EQ(f.params.at("f32").tensors, 1u);
  EXPECT_EQ(f.params.at("f32").elements, 2u);
  EXPECT_EQ(f.params.at("f32").bytes, 8u);
  EXPECT_EQ(f.layer_types.at("relu"), 2u);
  EXPECT_EQ(f.layer_types.at("constant"), 1u);
  EXPECT_EQ(f.layers[1].param_bytes, 8u);  // w's own two floats
  EXPECT_EQ(f.layers[3].param_bytes, 8u);  // c reads w
  EXPECT_EQ(f.layers[2].param_bytes, 0u);
  // The topological order puts the constant second. Steps 2 (in and a)
  // and 3 (a and c) hold 3 blocks; the first wins.
  ASSERT_TRUE(f.peak_step.has_value());
  EXPECT_EQ(*f.peak_step, 2u);
  EXPECT_EQ(f.peak_blocks, 3u);
  EXPECT_EQ(f.peak_layers, (std::vector<uint32_t>{0, 2}));
  const auto j = SummaryJson(f);
  // Streamed one layer at a time, the document reads the same, compact or
  // indented.
  for (const int indent : {-1, 2}) {
    std::ostringstream streamed;
    WriteSummaryJson(streamed, f, indent);
    EXPECT_EQ(streamed.str(),
              j.dump(indent, ' ', false,
                     nlohmann::ordered_json::error_handler_t::replace))
        << indent;
  }
  ModelFacts empty;
  for (const int indent : {-1, 2}) {
    std::ostringstream streamed;
    WriteSummaryJson(streamed, empty, indent);
    EXPECT_EQ(streamed.str(), SummaryJson(empty).dump(indent)) << indent;
  }
  EXPECT_EQ(j["format"], "snx-summary");
  EXPECT_EQ(j["arena"]["bytes"], (1 + f.planned_blocks) * 1024);
  EXPECT_EQ(j["layers"][4]["live"], nlohmann::json::parse("[4, 4]"));
  EXPECT_NE(SummaryText(f).find("peak:        step 2, 3 blocks (3072 bytes) "
                                "in 2 layers: 0 2"),
            std::string::npos);
}

TEST(DeviceMemory, FiguresAndBudgetsWorkedByHand) {
  TestGraph g;
  Small(g);
  const ModelBuffer buf = Export(g);
  const ModelFacts f = AnalyseModel(*testing::Decode(buf), buf.size());
  // One reserved block and the planned ones, all in the arena.
  const DeviceMemory d = DeviceMemoryOf(f);
  EXPECT_EQ(d.flash, buf.size());
  EXPECT_EQ(d.outside_arena, 0u);
  EXPECT_EQ(d.ram, (1 + f.planned_blocks) * 1024);
  EXPECT_TRUE(CheckBudgets(f, d.flash, d.ram).empty());
  const auto misses = CheckBudgets(f, d.flash - 1, d.ram - 1024);
  ASSERT_EQ(misses.size(), 2u);
  EXPECT_EQ(misses[0].what, "flash");
  EXPECT_EQ(misses[0].figure - misses[0].budget, 1u);
  // The constant w is counted in c, the layer that reads it.
  EXPECT_EQ(misses[0].contributors,
            std::vector<std::string>{"'c' (add): 8 parameter bytes"});
  EXPECT_EQ(misses[1].what, "RAM");
  // At the peak step (2) 'in' and 'a' are live, 1 block and 2; the
  // reserved block ties with 'in' and, listed first, stays first.
  EXPECT_EQ(misses[1].contributors,
            (std::vector<std::string>{
                "'a' (relu): 2048 bytes, live at the peak step",
                "the arena's reserved leading blocks: 1024 bytes",
                "'in' (input): 1024 bytes, live at the peak step"}));
  const std::string text = BudgetMissText(misses[1]);
  EXPECT_EQ(text.rfind("RAM " + std::to_string(1 + f.planned_blocks) +
                           ".0 KiB is over the budget of " +
                           std::to_string(f.planned_blocks) +
                           ".0 KiB by 1.0 KiB (1024 bytes); its largest "
                           "contributors:\n  'a' (relu)",
                       0),
            0u)
      << text;
}

TEST(DeviceMemory, SizesAsUsersWriteThem) {
  const std::pair<const char*, std::optional<uint64_t>> rows[] = {
      {"262144", 262144},     {"256K", 262144},        {"256KiB", 262144},
      {"1M", 1048576},        {"1.5M", 1572864},       {"0", 0},
      {"0.5K", 512},          {"1.3K", std::nullopt},  {"", std::nullopt},
      {"K", std::nullopt},    {"-1K", std::nullopt},   {"12G", std::nullopt},
      {"1e30", std::nullopt}, {"256 K", std::nullopt}, {"nan", std::nullopt},
  };
  for (const auto& [text, bytes] : rows) {
    EXPECT_EQ(ParseByteSize(text), bytes) << text;
  }
}

// What the report's table shows of each layer: its settings as text and
// the parameter data it uses (a filter of 3x3x4x4 floats is 576 bytes, a
// bias of 4 floats 16).
TEST(Analysis, EachLayerSaysItsSettingsAndTheParametersItReads) {
  const auto g = LoadGraph(SARNIC_TESTS_DATA_DIR "/all_ops.json");
  const ModelBuffer buf = Export(*g);
  const ModelFacts f = AnalyseModel(*testing::Decode(buf), buf.size());
  const struct {
    const char* name;
    uint64_t param_bytes;
    const char* attributes;
  } expected[] = {
      {"k", 576, ""},
      {"b", 16, ""},
      {"conv_1", 576 + 16,
       "kernel 3x3, activation relu, groups 1, dilations [1, 1, 1, 1], "
       "strides [1, 1, 1, 1], tail [0, 1, 1, 0], head [0, 1, 1, 0]"},
      {"transpose_conv_1", 576,
       "kernel 3x3, activation linear, strides [1, 1, 1, 1]"},
      {"leaky_relu_1", 0, "alpha 0.2"},
  };
  for (const auto& e : expected) {
    const auto it =
        std::find_if(f.layers.begin(), f.layers.end(),
                     [&](const LayerFacts& l) { return l.name == e.name; });
    ASSERT_NE(it, f.layers.end()) << e.name;
    EXPECT_EQ(it->param_bytes, e.param_bytes) << e.name;
    EXPECT_EQ(it->attributes, e.attributes) << e.name;
  }
  const auto j = SummaryJson(f);
  const auto conv =
      std::find_if(f.layers.begin(), f.layers.end(),
                   [](const LayerFacts& l) { return l.name == "conv_1"; });
  EXPECT_EQ(j["layers"][conv->index]["param_bytes"], 592);
}

// A model written layer by layer, to damage it at will.
struct L {
  std::vector<int32_t> shape;
  std::vector<uint32_t> inputs;
  std::optional<uint32_t> block;
  std::optional<std::pair<int32_t, int>> param;  // shape [n], m floats
};

std::vector<uint8_t> Build(const std::vector<L>& layers, uint32_t blocks,
                           std::vector<uint32_t> outputs = {2}) {
  BetterBuilder b;
  std::vector<Offset> offsets;
  for (std::size_t i = 0; i < layers.size(); ++i) {
    const L& l = layers[i];
    const Offset name = b.CreateString("l" + std::to_string(i));
    snxf::LayerStartShapeVector(b, l.shape.size());
    for (auto it = l.shape.rbegin(); it != l.shape.rend(); ++it) {
      b.PrependInt32(*it);
    }
    const Offset shape = b.EndVector(l.shape.size());
    snxf::LayerStartInputsVector(b, l.inputs.size());
    for (auto it = l.inputs.rbegin(); it != l.inputs.rend(); ++it) {
      b.PrependUint32(*it);
    }
    const Offset inputs = b.EndVector(l.inputs.size());
    Offset params = 0;
    if (l.param) {
      // An array written under a shape of its own: the one way the
      // writer lets the two disagree.
      const auto count = static_cast<std::size_t>(l.param->second);
      const Offset t =
          export_tensor(b, "data", Shape{l.param->first},
                        Value(NdArray::FromValues<float>(
                            DType::kFloat32, {static_cast<int64_t>(count)},
                            std::vector<float>(count, 1.5f))));
      snxf::LayerStartParamsVector(b, 1);
      b.PrependUOffsetTRelative(t);
      params = b.EndVector(1);
    }
    snxf::LayerStart(b);
    snxf::LayerAddType(b, snxf::Op::relu);
    snxf::LayerAddName(b, name);
    snxf::LayerAddShape(b, shape);
    snxf::LayerAddInputs(b, inputs);
    if (params != 0) snxf::LayerAddParams(b, params);
    if (l.block) snxf::LayerAddBlock(b, *l.block);
    offsets.push_back(snxf::LayerEnd(b));
  }
  snxf::ModelStartLayersVector(b, offsets.size());
  for (auto it = offsets.rbegin(); it != offsets.rend(); ++it) {
    b.PrependUOffsetTRelative(*it);
  }
  const Offset vec = b.EndVector(offsets.size());
  snxf::ModelStartOutputsVector(b, outputs.size());
  for (auto it = outputs.rbegin(); it != outputs.rend(); ++it) {
    b.PrependUint32(*it);
  }
  const Offset outs = b.EndVector(outputs.size());
  snxf::ModelStart(b);
  snxf::ModelAddLayers(b, vec);
  snxf::ModelAddBlockCount(b, blocks);
  snxf::ModelAddBlockSize(b, 1024);
  snxf::ModelAddOutputs(b, outs);
  b.FinishWithFileIdentifierx(snxf::ModelEnd(b), "SNXF");
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

TEST(Verifier, RefusesEachDamageWithItsOwnMessage) {
  // in (1 block at 1) -> a (2 blocks at 2) -> out (1 block at 1): sound,
  // since in is dead when out is written.
  const auto sound = [] {
    return std::vector<L>{
        {{1, 256}, {}, 1, {}}, {{1, 512}, {0}, 2, {}}, {{1, 256}, {1}, 1, {}}};
  };
  EXPECT_TRUE(VerifyModel(Build(sound(), 3)).empty());
  const struct {
    const char* what;
    std::function<void(std::vector<L>&, std::vector<uint32_t>&)> damage;
    const char* message;
  } rows[] = {
      {"overlapping blocks", [](auto& l, auto&) { l[1].block = 1; },
       "layers 0 'l0' and 1 'l1' are live at step 1 and share blocks"},
      {"a block beyond the arena", [](auto& l, auto&) { l[1].block = 3; },
       "layer 1 'l1' takes blocks 3 to 5, beyond the 4 of the arena"},
      {"an input that is not earlier",
       [](auto& l, auto&) { l[2].inputs = {2}; },
       "layer 2 reads layer 2, which is not earlier"},
      {"an input out of range", [](auto& l, auto&) { l[1].inputs = {7}; },
       "layer 1 reads layer 7, which is not earlier"},
      {"a data length that disagrees with the shape",
       [](auto& l, auto&) {
         l[1].param = std::pair{3, 2};
       },
       "layer 1 parameter 'data' holds 2 elements for a shape of 3"},
      {"a model output out of range", [](auto&, auto& o) { o = {9}; },
       "model output 9 is beyond the 3 layers"},
  };
  for (const auto& r : rows) {
    std::vector<L> layers = sound();
    std::vector<uint32_t> outputs = {2};
    r.damage(layers, outputs);
    const auto v = VerifyModel(Build(layers, 3, outputs));
    ASSERT_FALSE(v.empty()) << r.what;
    EXPECT_EQ(v[0], r.message) << r.what;
  }
  const auto bytes = Build(sound(), 3);
  const auto truncated = VerifyModel({bytes.data(), bytes.size() - 8});
  ASSERT_EQ(truncated.size(), 1u);
  EXPECT_NE(truncated[0].find("corrupt or truncated"), std::string::npos);
}

TEST(HtmlReport, NoNameEndsTheDataElementAndTheDataReadsBack) {
  const std::string hostile = "</script><!--<script>\xff";
  TestGraph g;
  g.Add(hostile, "external", {1, 256});
  g.orig_inputs = {hostile};
  g.orig_outputs = {hostile};
  const ModelBuffer buf = Export(g);
  const std::string page =
      HtmlReport(AnalyseModel(*testing::Decode(buf), buf.size()));
  const std::string open = R"(<script type="application/json" id="data">)";
  const auto begin = page.find(open);
  ASSERT_NE(begin, std::string::npos);
  const auto end = page.find("</script>", begin);
  const std::string data =
      page.substr(begin + open.size(), end - begin - open.size());
  EXPECT_EQ(data.find('<'), std::string::npos);
  const auto j = nlohmann::ordered_json::parse(data);
  // The byte that is not UTF-8 reads as the replacement character.
  EXPECT_EQ(j["layers"][0]["name"], "</script><!--<script>\xef\xbf\xbd");
}

// Every pair of planned layers live at a common step that share blocks, one
// pair at a time, in the order the verifier lists them.
std::vector<std::string> SharingPairs(const ModelFacts& f) {
  std::vector<std::string> out;
  for (const LayerFacts& l : f.layers) {
    for (const LayerFacts& o : f.layers) {
      if (o.index >= l.index || !o.block || !l.block || o.last < l.first) {
        continue;
      }
      if (*l.block < *o.block + o.blocks && *o.block < *l.block + l.blocks) {
        out.push_back("layers " + std::to_string(o.index) + " '" +
                      std::string(o.name) + "' and " + std::to_string(l.index) +
                      " '" + std::string(l.name) + "' are live at step " +
                      std::to_string(l.first) + " and share blocks");
      }
    }
  }
  return out;
}

TEST(Verifier, ListsEveryPairThatSharesBlocks) {
  std::mt19937 rng(3);
  for (int c = 0; c < 400; ++c) {
    const int n = 2 + static_cast<int>(rng() % 40);
    std::vector<L> layers;
    for (int i = 0; i < n; ++i) {
      L l;
      // 0 to 4 blocks; layers of no blocks included.
      l.shape = {1, 256 * static_cast<int32_t>(rng() % 5)};
      for (int k = 0; i > 0 && k < 2; ++k) {
        l.inputs.push_back(static_cast<uint32_t>(rng() % i));
      }
      if (rng() % 8 != 0) l.block = static_cast<uint32_t>(rng() % 12);
      layers.push_back(l);
    }
    std::vector<uint32_t> outputs = {static_cast<uint32_t>(rng() % n)};
    const auto bytes = Build(layers, 100, outputs);
    const ModelFacts facts =
        AnalyseModel(ReadModel(bytes, "model"), bytes.size());
    const std::vector<std::string> expected = SharingPairs(facts);
    if (expected.size() > 1000) continue;
    EXPECT_EQ(VerifyModel(bytes), expected) << "case " << c;
  }
}

TEST(Verifier, ListsAThousandPairsAtMost) {
  // 100 layers of one block, all at block 0 and all live to the end.
  std::vector<L> layers(100, L{{1, 256}, {}, 0, {}});
  std::vector<uint32_t> outputs(100);
  std::iota(outputs.begin(), outputs.end(), 0u);
  const auto v = VerifyModel(Build(layers, 1, outputs));
  ASSERT_EQ(v.size(), 1001u);
  EXPECT_EQ(v[0],
            "layers 0 'l0' and 1 'l1' are live at step 1 and share blocks");
  EXPECT_EQ(v.back(),
            "more layers share blocks; only the first 1000 pairs are listed");
}

// A chain of 2,000 layers whose adds also reach back up to 16 layers, at
// random: a plan with holes to fill.
void RandomSkips(TestGraph& g) {
  std::mt19937 rng(11);
  g.Add("l0", "external", {1, 256});
  g.orig_inputs = {"l0"};
  for (int i = 1; i < 2000; ++i) {
    const std::string n = "l" + std::to_string(i);
    const std::string prev = "l" + std::to_string(i - 1);
    const std::string back =
        "l" + std::to_string(i - 1 - static_cast<int>(rng() % std::min(i, 16)));
    g.Add(n, "add", {1, 64 * (1 + i % 7)},
          {{"x", Value(prev)}, {"y", Value(back)}});
    g.Edge(prev, n);
    if (back != prev) g.Edge(back, n);
  }
  g.orig_outputs = {"l1999"};
}

TEST(Verifier, FindsNothingInModelsOfEitherPlanner) {
  for (const char* planner : {"standard", "best"}) {
    std::vector<std::unique_ptr<Graph>> graphs;
    graphs.push_back(
        LoadGraph(SARNIC_EXAMPLES_DIR "/mobilenet/mobilenet.json"));
    graphs.push_back(LoadGraph(SARNIC_TESTS_DATA_DIR "/all_ops.json"));
    auto skips = std::make_unique<TestGraph>();
    RandomSkips(*skips);
    graphs.push_back(std::move(skips));
    for (const auto& g : graphs) {
      ExportOptions o;
      o.planner = planner;
      const ModelBuffer m = Export(*g, std::move(o));
      for (const std::string& v : VerifyModel({m.data(), m.size()})) {
        ADD_FAILURE() << planner << ": " << v;
      }
    }
  }
}

}  // namespace
}  // namespace sarnic
