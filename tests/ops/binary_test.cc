#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Ints;
using testing::Names;
using testing::OpGraph;

TEST(BinaryOps, InputsKeepTheirOrder) {
  const struct {
    const char* op;
    const char* second;
    snxf::Op type;
  } cases[] = {
      {"add", "y", snxf::Op::add},      {"sub", "y", snxf::Op::subtract},
      {"mul", "y", snxf::Op::multiply}, {"div", "y", snxf::Op::divide},
      {"pow", "y", snxf::Op::pow},      {"prelu", "scales", snxf::Op::prelu}};
  for (const auto& c : cases) {
    OpGraph g({"p0", "p1", "p2", "p3", "p4", "p5"});
    g.Add("n", c.op, {1, 4}, {{"x", Value("p2")}, {c.second, Value("p5")}});
    const auto* l = g.Export("n");
    EXPECT_EQ(l->type(), c.type) << c.op;
    EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{2, 5})) << c.op;
    EXPECT_EQ(l->params(), nullptr);
  }
  OpGraph same({"a", "b", "c", "d"});
  same.Add("n", "add", {1}, {{"x", Value("d")}, {"y", Value("d")}});
  EXPECT_EQ(Ints(same.Export("n")->inputs()), (std::vector<uint32_t>{3, 3}));
}

TEST(BinaryOps, AddNRepeatsAndEmpty) {
  OpGraph g({"p0", "p1"});
  g.Add("n", "add_n", {1}, {{"values", Value::TextList({"p1", "p0", "p1"})}});
  g.Add("e", "add_n", {1}, {{"values", Value(List{})}});
  const auto* l = g.Export("n");
  EXPECT_EQ(l->type(), snxf::Op::none);
  EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{1, 0, 1}));
  const auto* e = testing::LayerNamed(testing::Decode(g.buffer), "e");
  ASSERT_NE(e->inputs(), nullptr);
  EXPECT_EQ(e->inputs()->size(), 0u);
}

TEST(BinaryOps, LeakyReluAndSwishParameters) {
  OpGraph g({"a"});
  g.Add("lr", "leaky_relu", {1}, {{"x", Value("a")}, {"alpha", Value(0.2)}});
  g.Add("sw", "swish", {1},
        {{"x", Value("a")}, {"hard", Value(false)}, {"beta", Value(1.0)}});
  const auto* lr = g.Export("lr");
  EXPECT_EQ(lr->type(), snxf::Op::leaky_relu);
  EXPECT_EQ(Names(lr->params()), (std::vector<std::string>{"alpha"}));
  EXPECT_EQ(lr->params()->Get(0)->data_f32()->Get(0), 0.2f);
  EXPECT_EQ(Ints(lr->inputs()), (std::vector<uint32_t>{0}));
  const auto* sw = testing::LayerNamed(testing::Decode(g.buffer), "sw");
  EXPECT_EQ(sw->type(), snxf::Op::swish);
  EXPECT_EQ(Names(sw->params()), (std::vector<std::string>{"beta", "hard"}));
  EXPECT_EQ(sw->params()->Get(0)->data_f32()->Get(0), 1.0f);
  EXPECT_EQ(sw->params()->Get(1)->data_i16()->Get(0), 0);
}

TEST(BinaryOps, MissingParametersAreKeyErrors) {
  for (const char* missing : {"alpha", "y"}) {
    OpGraph g({"a"});
    if (std::string(missing) == "alpha") {
      g.Add("n", "leaky_relu", {1}, {{"x", Value("a")}});
    } else {
      g.Add("n", "sub", {1}, {{"x", Value("a")}});
    }
    try {
      g.Export("n");
      ADD_FAILURE() << missing;
    } catch (const KeyError& e) {
      EXPECT_EQ(e.key(), missing);
    }
  }
}

}  // namespace
}  // namespace sarnic
