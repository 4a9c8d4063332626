#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Decode;
using testing::Ints;
using testing::LayerNamed;
using testing::TestGraph;

// in (external) -> src (relu), plus a constant and a variable.
void CopyGraph(TestGraph& g) {
  g.Add("in", "external", {1, 64});
  g.Add("src", "relu", {1, 64}, {{"x", Value("in")}});
  g.Edge("in", "src");
  g.Add("state", "external", {1, 64});
  g.Constant("flat", {64}, std::vector<float>(64, 1.0f));
  g.Add("var", "variable", {1, 64});
  g.tensor_dict.set("var", NdArray::Zeros(DType::kFloat32, {1, 64}));
  g.orig_inputs = {"in"};
  g.orig_outputs = {"src"};
}

struct Copied {
  ModelBuffer buffer;
  std::string printed;
};

Copied ExportWithCopies(
    TestGraph& g, std::vector<CopyPair> pairs,
    std::shared_ptr<std::vector<std::string>> saved = nullptr,
    bool mem_map = false) {
  std::ostringstream out;
  ExportOptions o = testing::Quiet(out, mem_map);
  o.copy_layers = std::make_shared<std::vector<CopyPair>>(std::move(pairs));
  o.save_layers = saved;
  SarnicExporter e(g, "m", std::move(o));
  Copied c{e.run(), ""};
  c.printed = out.str();
  return c;
}

TEST(CopyLayers, AValidPairTurnsTheTargetIntoASavedZeroVariable) {
  TestGraph g;
  CopyGraph(g);
  auto saved = std::make_shared<std::vector<std::string>>(
      std::vector<std::string>{"state"});
  const Copied c = ExportWithCopies(g, {{"src", "state"}}, saved);
  EXPECT_EQ(c.printed, "");
  const AttrDict& target = g.qm_nx_graph.node("state");
  EXPECT_EQ(target.at("op"), Value("variable"));
  const NdArray& zeros = g.tensor_dict.at("state");
  EXPECT_EQ(zeros.dtype(), DType::kFloat32);
  EXPECT_EQ(zeros.shape(), (Shape{1, 64}));
  EXPECT_EQ(zeros.GetDouble(63), 0.0);
  EXPECT_EQ(*saved, (std::vector<std::string>{"state"}));  // not twice
  const AttrDict& copy = g.qm_nx_graph.node("sx_src_copy");
  std::vector<std::string> keys;
  for (const auto& [k, v] : copy) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"op", "input", "target",
                                            "output_shape"}));
  EXPECT_EQ(g.qm_nx_graph.predecessors("sx_src_copy"),
            (std::vector<std::string>{"src"}));

  const auto* m = Decode(c.buffer);
  const auto* layer = LayerNamed(m, "sx_src_copy");
  EXPECT_EQ(layer->type(), snxf::Op::copy);
  uint32_t src = 0, state = 0, copy_at = 0;
  for (uint32_t i = 0; i < m->layers()->size(); ++i) {
    const std::string n = m->layers()->Get(i)->name()->str();
    if (n == "src") src = i;
    if (n == "state") state = i;
    if (n == "sx_src_copy") copy_at = i;
  }
  EXPECT_LT(src, copy_at);  // the copy follows its source
  EXPECT_EQ(Ints(layer->inputs()), (std::vector<uint32_t>{state, src}));
  EXPECT_EQ(LayerNamed(m, "state")->type(), snxf::Op::variable);
  EXPECT_EQ(layer->params(), nullptr);
}

TEST(CopyLayers, RejectedPairsPrintAndTheRestStillGoThrough) {
  TestGraph g;
  CopyGraph(g);
  auto saved = std::make_shared<std::vector<std::string>>();
  const Copied c = ExportWithCopies(g,
                                    {{"ghost", "state"},
                                     {"src", "nowhere"},
                                     {"src", "var"},
                                     {"src", "flat"},
                                     {"src", "state"},
                                     {"src", "in"}},
                                    saved);
  EXPECT_EQ(c.printed,
            "Unable to add copy for ghost, it does not exist in the graph\n"
            "Unable to add copy for nowhere, it does not exist in the graph\n"
            "Unable to add copy for var, target is not a constant or external\n"
            "Unable to add copy for src, shape mistmatch\n"
            "Unable to add copy for src, a copy of it already exists\n");
  EXPECT_EQ(*saved, (std::vector<std::string>{"state"}));
  EXPECT_EQ(g.qm_nx_graph.node("sx_src_copy").at("target"), Value("state"));
  EXPECT_EQ(g.qm_nx_graph.node("in").at("op"), Value("external"));
}

TEST(CopyLayers, APairWithOneNameIsAnIndexErrorNamingItsPosition) {
  TestGraph g;
  CopyGraph(g);
  try {
    ExportWithCopies(g, {{"src", "state"}, {"src"}});
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_NE(std::string(e.what()).find("entry 1"), std::string::npos);
  }
}

TEST(CopyLayers, TheTargetStaysLiveForTheWholePlanAndTheCopyGetsABlock) {
  TestGraph g;
  CopyGraph(g);
  g.Add("after", "relu", {1, 64}, {{"x", Value("src")}});
  g.Edge("src", "after");
  g.orig_outputs = {"after"};
  const Copied c = ExportWithCopies(g, {{"src", "state"}}, nullptr, true);
  const auto* m = Decode(c.buffer);
  const auto* state = LayerNamed(m, "state");
  ASSERT_TRUE(state->block().has_value());
  // Everything else planned lies beside the target, never over it.
  for (const auto* l : *m->layers()) {
    if (l == state || !l->block() || l->type() == snxf::Op::copy) continue;
    EXPECT_NE(*l->block(), *state->block()) << l->name()->str();
  }
  // The copy node is not planned: it writes into the target's memory.
  EXPECT_FALSE(LayerNamed(m, "sx_src_copy")->block().has_value());
}

}  // namespace
}  // namespace sarnic
