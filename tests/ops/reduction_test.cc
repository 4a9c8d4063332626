#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Ints;
using testing::Names;
using testing::OpGraph;
using testing::Param;

TEST(Reductions, SortedAxesAndZeroKeepDims) {
  const struct {
    const char* op;
    snxf::Op type;
  } cases[] = {{"sum_reduce", snxf::Op::reduce_sum},
               {"mean_reduce", snxf::Op::reduce_mean},
               {"max_reduce", snxf::Op::reduce_max},
               {"min_reduce", snxf::Op::reduce_min},
               {"prod_reduce", snxf::Op::reduce_product}};
  for (const auto& c : cases) {
    OpGraph g({"in"});
    AttrDict& node = g.Add("r", c.op, {1, 1, 1, 64},
                           {{"input", Value("in")},
                            {"axes", Value::IntList({2, -1, 1})},
                            {"keep_dims", Value(true)}});
    const auto* l = g.Export("r");
    EXPECT_EQ(l->type(), c.type) << c.op;
    EXPECT_EQ(Names(l->params()),
              (std::vector<std::string>{"keep_dims", "axes"}));
    EXPECT_EQ(Param(l, 0)->data_i16()->Get(0), 0);
    EXPECT_EQ(Ints(Param(l, 0)->shape()), (std::vector<int32_t>{1}));
    EXPECT_EQ(Ints(Param(l, 1)->shape()), (std::vector<int32_t>{-1, 1, 2}));
    EXPECT_EQ(Param(l, 1)->data_i16(), nullptr);
    EXPECT_EQ(Ints(l->shape()), (std::vector<int32_t>{1, 1, 1, 64}));
    // The caller's node holds the sorted list afterwards.
    EXPECT_EQ(node.at("axes"), Value::IntList({-1, 1, 2})) << c.op;
  }
}

TEST(Reductions, EmptyAxesAndAxesThatAreNotIntegers) {
  OpGraph g({"in"});
  g.Add("r", "prod_reduce", {1},
        {{"input", Value("in")}, {"axes", Value(List{})}});
  EXPECT_EQ(Param(g.Export("r"), 1)->shape()->size(), 0u);
  OpGraph h({"in"});
  AttrDict& n = h.Add(
      "r", "sum_reduce", {1},
      {{"input", Value("in")}, {"axes", Value(List{Value(1), Value("x")})}});
  try {
    h.Export("r");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("'r'"), std::string::npos);
  }
  EXPECT_EQ(n.at("axes"), Value(List{Value(1), Value("x")}));
}

}  // namespace
}  // namespace sarnic
