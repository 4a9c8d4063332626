#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Ints;
using testing::Names;
using testing::OpGraph;

TEST(UnaryOps, LayerTypeAndOneInput) {
  const struct {
    const char* op;
    snxf::Op type;
  } cases[] = {
      {"abs", snxf::Op::abs},     {"cos", snxf::Op::none},
      {"sin", snxf::Op::none},    {"exp", snxf::Op::exp},
      {"log", snxf::Op::log},     {"neg", snxf::Op::none},
      {"sqrt", snxf::Op::sqrt},   {"relu", snxf::Op::relu},
      {"relu6", snxf::Op::relu6}, {"sigmoid", snxf::Op::sigmoid},
      {"tanh", snxf::Op::tanh},   {"elu", snxf::Op::none},
      {"quant", snxf::Op::quant}, {"dequant", snxf::Op::dequant},
  };
  for (const auto& c : cases) {
    OpGraph g({"a", "b"});
    g.Add("n", c.op, {1, 224, 224, 3}, {{"x", Value("b")}});
    const auto* l = g.Export("n");
    ASSERT_NE(l, nullptr) << c.op;
    EXPECT_EQ(l->type(), c.type) << c.op;
    EXPECT_EQ(Ints(l->shape()), (std::vector<int32_t>{1, 224, 224, 3}));
    EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{1})) << c.op;
    EXPECT_EQ(l->params(), nullptr) << c.op;
  }
}

TEST(UnaryOps, QuantCarriesItsQuantizationInTheLayerFields) {
  OpGraph g({"a"});
  g.Add("q", "quant", {1, 4},
        {{"x", Value("a")},
         {"quant_scale", Value(List{Value(0.1)})},
         {"zero_point", NdArray::Zeros(DType::kInt32, {1})},
         {"datatype", Value("int8")}});
  const auto* l = g.Export("q");
  EXPECT_EQ(l->datatype(), snxf::Datatype::I8);
  EXPECT_EQ(l->scale()->Get(0), 0.1f);
}

TEST(UnaryOps, SquareIsAProductOfTheInputWithItself) {
  OpGraph g({"a", "b", "c", "d", "e"});
  g.Add("s", "sqr", {1, 4}, {{"x", Value("e")}});
  const auto* l = g.Export("s");
  EXPECT_EQ(l->type(), snxf::Op::multiply);
  EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{4, 4}));
}

TEST(UnaryOps, RsqrtEpsilonDefaultsToZero) {
  for (const bool given : {false, true}) {
    OpGraph g({"a"});
    auto& n = g.Add("r", "rsqrt", {1, 4}, {{"x", Value("a")}});
    if (given) n.set("epsilon", Value(1e-5));
    const auto* l = g.Export("r");
    EXPECT_EQ(Names(l->params()), (std::vector<std::string>{"epsilon"}));
    const auto* eps = l->params()->Get(0);
    EXPECT_EQ(Ints(eps->shape()), (std::vector<int32_t>{1}));
    EXPECT_EQ(eps->data_f32()->Get(0), given ? 1e-5f : 0.0f);
  }
}

TEST(UnaryOps, AlternativeNameAndEmptyShape) {
  OpGraph g({"a"});
  g.Add("y", "relu", {}, {{"x", Value("a")}});
  g.orig_outputs = {"y"};
  std::ostringstream out;
  ExportOptions o = testing::Quiet(out);
  o.output_names = std::vector<std::string>{"probs"};
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  const auto* l = testing::Decode(buf)->layers()->Get(1);
  EXPECT_EQ(l->name()->str(), "probs");
  EXPECT_EQ(l->shape()->size(), 0u);
}

TEST(UnaryOps, InputWithoutLayerIsAKeyError) {
  OpGraph g({"a"});
  g.Add("y", "abs", {1}, {{"x", Value("later")}});
  g.Add("later", "external", {1});
  g.Edge("y", "later");
  try {
    g.Export("y");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "later");
  }
  OpGraph h({"a"});
  h.Add("y", "abs", {1});
  try {
    h.Export("y");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "x");
    EXPECT_NE(std::string(e.what()).find("'y'"), std::string::npos);
  }
}

}  // namespace
}  // namespace sarnic
