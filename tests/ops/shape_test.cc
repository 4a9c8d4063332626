#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Ints;
using testing::Names;
using testing::OpGraph;
using testing::Param;

TEST(ShapeOps, ReshapeTransposeSoftmaxCarryOneListTensor) {
  OpGraph g({"in"});
  g.Add("r", "reshape", {1, 12}, {{"input", Value("in")}});
  g.Add("t", "transpose", {1, 4},
        {{"input", Value("in")}, {"axes", Value::IntList({0, 3, 1, 2})}});
  g.Add("s", "softmax", {1, 4},
        {{"x", Value("in")}, {"axes", Value::IntList({-1})}});
  const auto* r = g.Export("r");
  const auto* m = testing::Decode(g.buffer);
  EXPECT_EQ(r->type(), snxf::Op::reshape);
  EXPECT_EQ(Names(r->params()), (std::vector<std::string>{"shape"}));
  EXPECT_EQ(Ints(Param(r, 0)->shape()), (std::vector<int32_t>{1, 12}));
  const auto* t = testing::LayerNamed(m, "t");
  EXPECT_EQ(t->type(), snxf::Op::shuffle);
  EXPECT_EQ(Ints(Param(t, 0)->shape()), (std::vector<int32_t>{0, 3, 1, 2}));
  const auto* s = testing::LayerNamed(m, "s");
  EXPECT_EQ(s->type(), snxf::Op::softmax);
  EXPECT_EQ(Names(s->params()), (std::vector<std::string>{"axes"}));
  EXPECT_EQ(Ints(s->inputs()), (std::vector<uint32_t>{0}));
}

TEST(ShapeOps, SliceWritesBeginAndEndAsHeadAndTailWithDefaultStrides) {
  for (const bool strides : {false, true}) {
    OpGraph g({"in"});
    auto& n = g.Add("s", "slice", {1, 4, 4},
                    {{"input", Value("in")},
                     {"axes", Value::IntList({1, 2})},
                     {"begin", Value::IntList({0, -2})},
                     {"end", Value::IntList({4, 4})}});
    if (strides) n.set("strides", Value::IntList({2, 3}));
    const auto* l = g.Export("s");
    EXPECT_EQ(l->type(), snxf::Op::slice);
    EXPECT_EQ(Names(l->params()),
              (std::vector<std::string>{"axes", "head", "tail", "strides"}));
    EXPECT_EQ(Ints(Param(l, 1)->shape()), (std::vector<int32_t>{0, -2}));
    EXPECT_EQ(Ints(Param(l, 2)->shape()), (std::vector<int32_t>{4, 4}));
    EXPECT_EQ(Ints(Param(l, 3)->shape()), strides
                                              ? (std::vector<int32_t>{2, 3})
                                              : (std::vector<int32_t>{1, 1}));
  }
}

TEST(ShapeOps, PadFusibleByPresenceAndValueByKind) {
  const struct {
    bool fusible;
    Value value;
    bool real;
  } cases[] = {{false, Value(0.0), true}, {true, Value(0), false}};
  for (const auto& c : cases) {
    OpGraph g({"in"});
    auto& n = g.Add("p", "pad", {1, 6},
                    {{"input", Value("in")},
                     {"head", Value::IntList({0, 1})},
                     {"tail", Value::IntList({0, 1})},
                     {"value", c.value}});
    if (c.fusible) n.set("fusible", Value(false));
    const auto* l = g.Export("p");
    std::vector<std::string> want = {"head", "tail", "value"};
    if (c.fusible) want.push_back("fusible");
    EXPECT_EQ(Names(l->params()), want);
    if (c.real) {
      EXPECT_EQ(Param(l, 2)->data_f32()->Get(0), 0.0f);
    } else {
      EXPECT_EQ(Param(l, 2)->data_i16()->Get(0), 0);
      ASSERT_NE(Param(l, 3)->shape(), nullptr);
      EXPECT_EQ(Param(l, 3)->shape()->size(), 0u);
      EXPECT_EQ(Param(l, 3)->data_i16(), nullptr);
    }
  }
}

TEST(ShapeOps, ConcatAxisConvertsToAnInteger) {
  const struct {
    Value axis;
    int16_t want;
  } cases[] = {{Value(3.0), 3}, {Value(-1), -1}, {Value("2"), 2}};
  for (const auto& c : cases) {
    OpGraph g({"p0", "p1", "p2", "p3", "p4", "p5"});
    g.Add("c", "concat", {1, 8},
          {{"values", Value::TextList({"p2", "p0", "p5"})}, {"axis", c.axis}});
    const auto* l = g.Export("c");
    EXPECT_EQ(l->type(), snxf::Op::concat);
    EXPECT_EQ(Param(l, 0)->name()->str(), "axis");
    EXPECT_EQ(Param(l, 0)->data_i16()->Get(0), c.want);
    EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{2, 0, 5}));
  }
  OpGraph bad({"p0"});
  bad.Add("c", "concat", {1},
          {{"values", Value::TextList({"p0"})}, {"axis", Value("x")}});
  EXPECT_THROW(bad.Export("c"), ValueError);
}

TEST(ShapeOps, ResizeFlagsAsInt16) {
  OpGraph g({"in"});
  g.Add("r", "resize", {1, 8, 8, 3},
        {{"input", Value("in")},
         {"mode", Value(1.0)},
         {"align_corners", Value(true)},
         {"half_pixel_centers", Value(false)}});
  const auto* l = g.Export("r");
  EXPECT_EQ(l->type(), snxf::Op::resize);
  EXPECT_EQ(Names(l->params()),
            (std::vector<std::string>{"mode", "align_corners",
                                      "half_pixel_centers"}));
  EXPECT_EQ(Param(l, 0)->data_i16()->Get(0), 1);
  EXPECT_EQ(Param(l, 1)->data_i16()->Get(0), 1);
  EXPECT_EQ(Param(l, 2)->data_i16()->Get(0), 0);
}

}  // namespace
}  // namespace sarnic
