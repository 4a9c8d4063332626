#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Ints;
using testing::Names;
using testing::OpGraph;
using testing::Param;

TEST(Pooling, WindowAndStrideWrappingDiffersBetweenTheTwo) {
  const struct {
    const char* op;
    std::vector<int64_t> size;
    std::vector<int32_t> ksize;
    const char* pooling;
  } cases[] = {
      {"avg_pool", {2, 2}, {1, 2, 2, 1}, "AVERAGE"},
      {"avg_pool", {1, 3, 3, 1}, {1, 3, 3, 1}, "AVERAGE"},
      {"avg_pool", {4, 5, 6}, {1, 4, 5, 6, 1}, "AVERAGE"},
      {"max_pool", {2, 2}, {2, 2}, "MAXIMUM"},
      {"max_pool", {1, 3, 3, 1}, {1, 3, 3, 1}, "MAXIMUM"},
  };
  for (const auto& c : cases) {
    OpGraph g({"in"});
    g.Add("p", c.op, {1, 4, 4, 8},
          {{"size", Value::IntList(c.size)},
           {"stride", Value::IntList(c.size)},
           {"input", Value("in")}});
    const auto* l = g.Export("p");
    EXPECT_EQ(l->type(), snxf::Op::pool2d);
    EXPECT_EQ(Names(l->params()),
              (std::vector<std::string>{"pooling", "strides", "ksize"}));
    EXPECT_EQ(Param(l, 0)->data_str()->Get(0)->str(), c.pooling);
    EXPECT_EQ(Ints(Param(l, 1)->shape()), c.ksize) << c.op;
    EXPECT_EQ(Ints(Param(l, 2)->shape()), c.ksize) << c.op;
    EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{0}));
  }
}

TEST(Pooling, PadsComeLastTailBeforeHead) {
  OpGraph g({"in"});
  g.Add("p", "max_pool", {1, 4, 4, 8},
        {{"size", Value::IntList({2, 2})},
         {"stride", Value::IntList({2, 2})},
         {"head", Value::IntList({0, 1, 1, 0})},
         {"tail", Value::IntList({0, 0, 0, 0})},
         {"input", Value("in")}});
  const auto* l = g.Export("p");
  EXPECT_EQ(Names(l->params()),
            (std::vector<std::string>{"pooling", "strides", "ksize", "tail",
                                      "head"}));
  EXPECT_EQ(Ints(Param(l, 4)->shape()), (std::vector<int32_t>{0, 1, 1, 0}));
}

TEST(Pooling, MissingWindowIsAKeyError) {
  OpGraph g({"in"});
  g.Add("p", "avg_pool", {1},
        {{"stride", Value::IntList({1})}, {"input", Value("in")}});
  EXPECT_THROW(g.Export("p"), KeyError);
}

}  // namespace
}  // namespace sarnic
