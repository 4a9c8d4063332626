// The graph checker, one row per rule: a graph that breaks the rule gets a
// finding naming the node and attribute, and the same graph mended gets
// none. The graphs of the repository get none either.
#include "sarnic/checker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include "check/checker_rules.h"
#include "sarnic/errors.h"
#include "sarnic/graph_file.h"
#include "sarnic/reference.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::TestGraph;

// in [1, 8] -> the node under test "n", whose attributes each row sets.
void Base(TestGraph& g) {
  g.Add("in", "external", {1, 8});
  g.Add("other", "external", {1, 8});
  g.orig_inputs = {"in", "other"};
}

struct Row {
  const char* rule;
  std::function<void(TestGraph&)> broken;
  std::function<void(TestGraph&)> mended;
  const char* node;
  const char* attribute;
  const char* message;
};

TEST(Checker, EachRuleFindsItsFaultAndNothingElse) {
  const Row rows[] = {
      {"unknown op",
       [](TestGraph& g) {
         g.Add("n", "rleu", {1, 8}, {{"x", Value("in")}});
       },
       [](TestGraph& g) {
         g.Add("n", "relu", {1, 8}, {{"x", Value("in")}});
       },
       "n", "op", "did you mean 'relu'?"},
      {"op from another tool",
       [](TestGraph& g) {
         g.Add("n", "conv2d", {1, 8});
       },
       [](TestGraph& g) {
         g.Add("n", "abs", {1, 8}, {{"x", Value("in")}});
       },
       "n", "op", "did you mean 'conv'?"},
      {"required attribute missing",
       [](TestGraph& g) {
         g.Add("n", "relu", {1, 8});
       },
       [](TestGraph& g) {
         g.Add("n", "relu", {1, 8}, {{"x", Value("in")}});
       },
       "n", "x", "is required"},
      {"attribute of the wrong kind",
       [](TestGraph& g) {
         g.Add("n", "concat", {1, 16},
               {{"values", Value("in")}, {"axis", Value(1)}});
       },
       [](TestGraph& g) {
         g.Add("n", "concat", {1, 16},
               {{"values", Value(List{Value("in"), Value("other")})},
                {"axis", Value(1)}});
       },
       "n", "values", "must be a list of nodes"},
      {"reference to no node",
       [](TestGraph& g) {
         g.Add("n", "relu", {1, 8}, {{"x", Value("ghost")}});
       },
       [](TestGraph& g) {
         g.Add("n", "relu", {1, 8}, {{"x", Value("in")}});
       },
       "n", "x", "names 'ghost', which is no node"},
      {"reference without an edge",
       [](TestGraph& g) {
         g.Add("n", "relu", {1, 8}, {{"x", Value("in")}});
       },
       nullptr, "n", "x", "no edge from 'in' to 'n'"},
      {"constant array of another shape",
       [](TestGraph& g) {
         g.Constant("n", {2, 2}, {1, 2, 3, 4})
             .set("output_shape", Value::IntList({4, 1}));
       },
       [](TestGraph& g) {
         g.Constant("n", {2, 2}, {1, 2, 3, 4});
       },
       "n", "output_shape",
       "is [4, 1] but the node's array in tensor_dict is [2, 2]"},
      {"reshape changing the element count",
       [](TestGraph& g) {
         g.Add("n", "reshape", {1, 4}, {{"input", Value("in")}});
       },
       [](TestGraph& g) {
         g.Add("n", "reshape", {2, 4}, {{"input", Value("in")}});
       },
       "n", "output_shape",
       "holds 4 elements but its input 'in' [1, 8] holds 8"},
      {"element-wise shapes that do not broadcast",
       [](TestGraph& g) {
         g.Add("q", "external", {1, 4});
         g.Add("n", "add", {1, 8}, {{"x", Value("in")}, {"y", Value("q")}});
         g.Edge("q", "n");
       },
       [](TestGraph& g) {
         g.Add("q", "external", {1, 1});
         g.Add("n", "add", {1, 8}, {{"x", Value("in")}, {"y", Value("q")}});
         g.Edge("q", "n");
       },
       "n", "x", "[1, 8] and [1, 4] do not broadcast"},
      {"element-wise output other than the broadcast",
       [](TestGraph& g) {
         g.Add("n", "mul", {1, 4}, {{"x", Value("in")}, {"y", Value("other")}});
       },
       [](TestGraph& g) {
         g.Add("n", "mul", {1, 8}, {{"x", Value("in")}, {"y", Value("other")}});
       },
       "n", "output_shape", "broadcast to [1, 8]"},
      {"concatenation off the axis",
       [](TestGraph& g) {
         g.Add("q", "external", {2, 8});
         g.Add("n", "concat", {1, 16},
               {{"values", Value(List{Value("in"), Value("q")})},
                {"axis", Value(1)}});
         g.Edge("q", "n");
       },
       [](TestGraph& g) {
         g.Add("n", "concat", {1, 16},
               {{"values", Value(List{Value("in"), Value("other")})},
                {"axis", Value(-1)}});
       },
       "n", "values", "part 'q' [2, 8] disagrees with the output [1, 16]"},
      {"concatenation whose axis sizes do not add up",
       [](TestGraph& g) {
         g.Add("n", "concat", {1, 12},
               {{"values", Value(List{Value("in"), Value("other")})},
                {"axis", Value(1)}});
       },
       nullptr, "n", "output_shape", "the parts add up to 16"},
      {"reduction rank against keep_dims",
       [](TestGraph& g) {
         g.Add("n", "sum_reduce", {1, 1},
               {{"input", Value("in")},
                {"axes", Value::IntList({1})},
                {"keep_dims", Value(false)}});
       },
       [](TestGraph& g) {
         g.Add("n", "sum_reduce", {1},
               {{"input", Value("in")},
                {"axes", Value::IntList({1})},
                {"keep_dims", Value(false)}});
       },
       "n", "output_shape", "dropping them (keep_dims) gives rank 1"},
      {"non-positive shape entry",
       [](TestGraph& g) {
         g.Add("n", "relu", {1, 0}, {{"x", Value("in")}});
       },
       nullptr, "n", "output_shape", "every entry must be positive"},
      {"overflowing shape",
       [](TestGraph& g) {
         g.Add("n", "relu", {1, int64_t{1} << 40}, {{"x", Value("in")}});
       },
       nullptr, "n", "output_shape", "overflows"},
      {"element-wise datatypes that disagree",
       [](TestGraph& g) {
         g.qm_nx_graph.node("in").set("datatype", Value("int8"));
         g.Add("n", "relu", {1, 8},
               {{"x", Value("in")}, {"datatype", Value("float32")}});
       },
       [](TestGraph& g) {
         g.qm_nx_graph.node("in").set("datatype", Value("int8"));
         g.Add("n", "quant", {1, 8},
               {{"x", Value("in")}, {"datatype", Value("float32")}});
       },
       "n", "x", "input 'in' has datatype 'int8'"},
  };
  for (const Row& r : rows) {
    TestGraph broken;
    Base(broken);
    r.broken(broken);
    // Every row but the missing edge has its edges.
    if (std::string(r.rule) != "reference without an edge") {
      for (const char* from : {"in", "other"}) broken.Edge(from, "n");
    }
    const auto findings = CheckGraph(broken);
    const Finding* hit = nullptr;
    for (const Finding& f : findings) {
      if (f.node == r.node && f.attribute == r.attribute &&
          f.message.find(r.message) != std::string::npos) {
        hit = &f;
      }
    }
    std::string seen;
    for (const Finding& f : findings) seen += "\n  " + FormatFinding(f);
    EXPECT_NE(hit, nullptr) << r.rule << "; found:" << seen;
    if (!r.mended) continue;
    TestGraph mended;
    Base(mended);
    r.mended(mended);
    for (const char* from : {"in", "other"}) mended.Edge(from, "n");
    for (const Finding& f : CheckGraph(mended)) {
      ADD_FAILURE() << r.rule << ", mended: " << FormatFinding(f);
    }
  }
}

TEST(Checker, TheRepositoryGraphsHaveNoFindings) {
  for (const std::string& path :
       {std::string(SARNIC_EXAMPLES_DIR "/mobilenet/mobilenet.json"),
        std::string(SARNIC_TESTS_DATA_DIR "/all_ops.json")}) {
    const auto g = LoadGraph(path);
    for (const Finding& f : CheckGraph(*g)) {
      ADD_FAILURE() << path << ": " << FormatFinding(f);
    }
  }
}

TEST(Checker, NeverChangesTheGraph) {
  const auto g = LoadGraph(SARNIC_TESTS_DATA_DIR "/all_ops.json");
  const auto before = g->qm_nx_graph.attrs_of(0);
  g->qm_nx_graph.node("sum_reduce_1").set("axes", Value::IntList({3, 1}));
  CheckGraph(*g);
  EXPECT_EQ(g->qm_nx_graph.node("sum_reduce_1").at("axes"),
            Value::IntList({3, 1}));
  EXPECT_EQ(g->qm_nx_graph.attrs_of(0), before);
}

TEST(Reference, ListsDescribesAndSuggestsFromTheDeclarations) {
  const std::string list = ListOperations();
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'),
            static_cast<long>(BuiltinOperations().size()));
  EXPECT_EQ(BuiltinOperations().size(), 50u);
  EXPECT_NE(list.find("conv  conv2d  convolution\n"), std::string::npos);
  EXPECT_NE(list.find("sqr  multiply  unary\n"), std::string::npos);
  const std::string conv = DescribeOperation("conv");
  EXPECT_NE(conv.find("  groups  required integer: "), std::string::npos);
  EXPECT_NE(conv.find("inputs, in layer order: [input, filter, bias]"),
            std::string::npos);
  try {
    DescribeOperation("rleu");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "rleu");
    EXPECT_NE(std::string(e.what()).find("did you mean 'relu'?"),
              std::string::npos);
  }
  EXPECT_EQ(NearestOperations("conv2d").front(), "conv");
  EXPECT_EQ(NearestOperations("sofmtax").front(), "softmax");
  EXPECT_TRUE(NearestOperations("frobnicate").empty());
  const std::string md = OperationsMarkdown();
  for (const OpSpec* s : BuiltinOperations()) {
    EXPECT_NE(md.find("### `" + s->op + "`"), std::string::npos) << s->op;
  }
}

// Every rule over every operation with every attribute given as every kind
// of value the graph format can hold: no rule may throw, since the checker
// runs beside every export.
TEST(Checker, NoRuleThrowsOnAnyKindOfValue) {
  const std::vector<Value> kinds = {
      Value(3),
      Value(3.0),
      Value(-7.5),
      Value(2.4e291),
      Value(std::nan("")),
      Value(true),
      Value("in"),
      Value("n"),
      Value("no such node"),
      Value(List{}),
      Value::IntList({1, -2, 9}),
      Value::TextList({"in", "other"}),
      Value(List{Value(1.5), Value("in"), Value(List{Value(2)})}),
      Value(NdArray::FromValues<float>(DType::kFloat32, {2}, {1, 2})),
      Value(nullptr),
  };
  const std::vector<Value> shapes = {
      Value::IntList({1, 8}),
      Value::IntList({}),
      Value(List{Value(2.0)}),
      Value::IntList({1, 2, 3, 4, 5, 6, 7}),
      Value("1,8"),
      Value::IntList({2147483647, 2147483647, 2147483647})};
  std::mt19937 rng(21);
  int graphs = 0;
  for (const OpSpec* spec : BuiltinOperations()) {
    for (std::size_t round = 0; round < kinds.size() + 200; ++round) {
      TestGraph g;
      Base(g);
      AttrDict& n = g.Add("n", spec->op, {1, 8});
      n.set("output_shape", shapes[round % shapes.size()]);
      for (const AttrSpec& a : spec->attrs) {
        // One kind for all attributes first, then random mixes with some
        // attributes missing.
        const std::size_t k =
            round < kinds.size() ? round : rng() % (kinds.size() + 1);
        if (k < kinds.size()) n.set(a.name, kinds[k]);
      }
      if (round % 3 == 0) g.Edge("in", "n");
      if (round % 5 == 0) g.Edge("n", "n");
      EXPECT_NO_THROW(checker::RunRules(g, /*contain_faults=*/false))
          << spec->op << " round " << round;
      ++graphs;
    }
  }
  EXPECT_GT(graphs, 500);
}

// A real-valued axis is accepted by the export (3.0 reads as 3): the rule
// about it reports the value as written and never raises.
TEST(Checker, RealAxisOutsideTheRankIsAFindingNotAFailure) {
  TestGraph g;
  Base(g);
  g.Add("n", "concat", {1, 16},
        {{"values", Value::TextList({"in", "other"})}, {"axis", Value(3.0)}});
  g.Edge("in", "n");
  g.Edge("other", "n");
  const auto findings = checker::RunRules(g, /*contain_faults=*/false);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].attribute, "axis");
  EXPECT_EQ(findings[0].message,
            "3.0 is outside the 2 dimensions of the output");
}

// What the export refuses, the checker reports as an error.
TEST(Checker, WhatTheExportRefusesIsAnError) {
  struct Case {
    const char* what;
    std::function<void(TestGraph&)> build;
    const char* node;
    const char* message;
  };
  const Case cases[] = {
      {"cycle",
       [](TestGraph& g) {
         g.Add("a", "relu", {1, 8}, {{"x", Value("b")}});
         g.Add("b", "relu", {1, 8}, {{"x", Value("a")}});
         g.Edge("a", "b");
         g.Edge("b", "a");
       },
       "", "lies on a cycle"},
      {"node naming itself",
       [](TestGraph& g) {
         g.Add("a", "relu", {1, 8}, {{"x", Value("a")}});
       },
       "a", "names the node itself as its input"},
      {"node naming itself, with the edge",
       [](TestGraph& g) {
         g.Add("a", "relu", {1, 8}, {{"x", Value("a")}});
         g.Edge("a", "a");
       },
       "a", "lies on a cycle"},
      {"layer beyond the arena's block numbers",
       [](TestGraph& g) {
         g.Add("a", "relu", {65536, 65536, 512}, {{"x", Value("in")}});
         g.Edge("in", "a");
       },
       "a", "needs more blocks of 1024 bytes than the arena numbers"},
  };
  for (const Case& c : cases) {
    TestGraph g;
    Base(g);
    c.build(g);
    bool found = false;
    for (const Finding& f : CheckGraph(g)) {
      if (f.message.find(c.message) != std::string::npos &&
          (*c.node == 0 || f.node == c.node)) {
        EXPECT_EQ(f.severity, Severity::kError) << c.what;
        found = true;
      }
    }
    EXPECT_TRUE(found) << c.what;
    std::ostringstream out;
    SarnicExporter e(g, "m", testing::Quiet(out, /*mem_map=*/true));
    EXPECT_THROW(e.run(), Error) << c.what << ": the export refuses it too";
  }
  // The same layer as int8 fits: a quarter of the blocks.
  TestGraph fits;
  Base(fits);
  fits.Add("a", "relu", {65536, 65536, 512},
           {{"x", Value("in")}, {"datatype", Value("int8")}});
  fits.Edge("in", "a");
  for (const Finding& f : CheckGraph(fits)) {
    EXPECT_NE(f.severity, Severity::kError) << FormatFinding(f);
  }
}

// A misspelt op of implausible length gets no suggestion, and costs no
// more than its length.
TEST(Reference, SuggestsOnlyForNamesOfPlausibleLength) {
  EXPECT_EQ(NearestOperations("rleu"), std::vector<std::string>{"relu"});
  EXPECT_TRUE(NearestOperations(std::string(1 << 20, 'r')).empty());
  EXPECT_TRUE(NearestOperations("conv" + std::string(100, 'x')).empty());
}

}  // namespace
}  // namespace sarnic

namespace sarnic {
namespace {

using testing::TestGraph;

// A convolution, a pooling, a dense and a matmul node, each with the
// output shape its inputs and attributes give unless `wrong` names it.
void LayerShapeGraph(TestGraph& g, const std::string& wrong) {
  auto shape = [&](const std::string& n, std::vector<int64_t> s) {
    return n == wrong ? std::vector<int64_t>{1, 99, 99, 7} : s;
  };
  g.Add("in", "external", {1, 8, 8, 3});
  g.Constant("w", {3, 3, 3, 7}, std::vector<float>(189, 0.0f));
  g.Add("conv", "conv", shape("conv", {1, 6, 6, 7}),
        {{"input", Value("in")},
         {"filter", Value("w")},
         {"stride", Value::IntList({1, 1})},
         {"dilation", Value::IntList({1, 1})},
         {"groups", Value(int64_t{1})}});
  g.Add("pool", "max_pool", shape("pool", {1, 3, 3, 7}),
        {{"input", Value("conv")},
         {"size", Value::IntList({2, 2})},
         {"stride", Value::IntList({2, 2})}});
  g.Constant("b", {7, 4}, std::vector<float>(28, 0.0f));
  g.Constant("bias", {4}, std::vector<float>(4, 0.0f));
  g.Add("dense", "dense", shape("dense", {1, 3, 3, 4}),
        {{"A", Value("pool")}, {"B", Value("b")}, {"bias", Value("bias")}});
  g.Add("mm", "matmul", shape("mm", {1, 3, 3, 7}),
        {{"A", Value("dense")},
         {"B", Value("b")},
         {"transposeA", Value("False")},
         {"transposeB", Value("True")}});
  for (auto [from, to] : {std::pair{"in", "conv"},
                          {"w", "conv"},
                          {"conv", "pool"},
                          {"pool", "dense"},
                          {"b", "dense"},
                          {"bias", "dense"},
                          {"dense", "mm"},
                          {"b", "mm"}}) {
    g.Edge(from, to);
  }
}

TEST(CheckerLayerShapes, EachWrongOutputShapeIsFoundNamingBothShapes) {
  const std::pair<const char*, const char*> rows[] = {
      {"conv", "[1, 6, 6, 7] (layer type conv2d)"},
      {"pool", "[1, 3, 3, 7] (layer type pool2d)"},
      {"dense", "[1, 3, 3, 4] (layer type dense)"},
      {"mm", "[1, 3, 3, 7] (layer type matmul)"},
  };
  {
    TestGraph sound;
    LayerShapeGraph(sound, "");
    for (const Finding& f : CheckGraph(sound)) {
      ADD_FAILURE() << FormatFinding(f);
    }
  }
  for (const auto& [node, message] : rows) {
    TestGraph g;
    LayerShapeGraph(g, node);
    const auto findings = CheckGraph(g);
    std::string seen;
    bool hit = false;
    for (const Finding& f : findings) {
      seen += "\n  " + FormatFinding(f);
      hit |= f.attribute == "output_shape" &&
             FormatFinding(f).find(message) != std::string::npos;
    }
    EXPECT_TRUE(hit) << node << "; found:" << seen;
  }
  TestGraph wrong;
  LayerShapeGraph(wrong, "conv");
  EXPECT_NE(FormatFinding(CheckGraph(wrong).front())
                .find("is [1, 99, 99, 7] but its inputs and attributes give "
                      "[1, 6, 6, 7]"),
            std::string::npos);
}

TEST(CheckerLayerShapes, ALayerThatKeepsItsInputShapeIsComparedWithIt) {
  TestGraph g;
  LayerShapeGraph(g, "");
  g.Add("act", "relu", {1, 6, 6, 8}, {{"x", Value("conv")}});
  g.Add("soft", "softmax", {1, 6, 6, 7},
        {{"x", Value("conv")}, {"axes", Value::IntList({3})}});
  g.Edge("conv", "act");
  g.Edge("conv", "soft");
  const auto findings = CheckGraph(g);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(FormatFinding(findings[0]),
            "node 'act' attribute 'output_shape': is [1, 6, 6, 8] but its "
            "input 'conv' is [1, 6, 6, 7] (layer type relu keeps its input's "
            "shape)");
}

TEST(CheckerLayerShapes, UnknownAttributesAndConstantsWithoutData) {
  TestGraph g;
  LayerShapeGraph(g, "");
  g.qm_nx_graph.node("conv").set("strid", Value::IntList({2, 2}));
  g.Add("c", "constant", {2});
  const auto findings = CheckGraph(g);
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(FormatFinding(findings[0]),
            "node 'conv' attribute 'strid': is read by no declaration of "
            "'conv'; did you mean 'stride'? (snx-export --describe-op conv)");
  EXPECT_EQ(findings[1].severity, Severity::kError);
  EXPECT_EQ(FormatFinding(findings[1]),
            "node 'c': has no array in tensor_dict, so its layer has no data");
}

}  // namespace
}  // namespace sarnic
