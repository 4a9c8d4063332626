#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Ints;
using testing::Names;
using testing::OpGraph;
using testing::Param;

TEST(Dense, ActivationDefaultAndInputOrder) {
  for (const char* op : {"dense", "linear"}) {
    OpGraph g({"a", "w", "bias"});
    g.Add("d", op, {1, 2},
          {{"A", Value("a")}, {"B", Value("w")}, {"bias", Value("bias")}});
    g.Add("r", op, {1, 2},
          {{"A", Value("bias")},
           {"B", Value("w")},
           {"bias", Value("a")},
           {"activation", Value("relu")}});
    const auto* d = g.Export("d");
    EXPECT_EQ(d->type(),
              std::string(op) == "dense" ? snxf::Op::dense : snxf::Op::linear);
    EXPECT_EQ(Param(d, 0)->data_str()->Get(0)->str(), "linear");
    EXPECT_EQ(Ints(d->inputs()), (std::vector<uint32_t>{0, 1, 2}));
    const auto* r = testing::LayerNamed(testing::Decode(g.buffer), "r");
    EXPECT_EQ(Param(r, 0)->data_str()->Get(0)->str(), "relu");
    EXPECT_EQ(Ints(r->inputs()), (std::vector<uint32_t>{2, 1, 0}));
  }
}

TEST(MatMul, TransposeTensorsOnlyForTheTextTrue) {
  const struct {
    Value a, b;
    std::vector<std::string> params;
  } cases[] = {
      {Value("False"), Value("True"), {"transpose_b"}},
      {Value("True"), Value("False"), {"transpose_a"}},
      {Value("True"), Value("True"), {"transpose_b", "transpose_a"}},
      {Value("False"), Value("False"), {}},
      {Value(true), Value("true"), {}},
  };
  for (const auto& c : cases) {
    OpGraph g({"a", "b"});
    g.Add("m", "matmul", {1, 1},
          {{"A", Value("a")},
           {"B", Value("b")},
           {"transposeA", c.a},
           {"transposeB", c.b}});
    const auto* l = g.Export("m");
    EXPECT_EQ(l->type(), snxf::Op::matmul);
    ASSERT_NE(l->params(), nullptr);  // written even when empty
    EXPECT_EQ(Names(l->params()), c.params);
    for (unsigned i = 0; i < c.params.size(); ++i) {
      EXPECT_EQ(Param(l, i)->data_str()->Get(0)->str(), "true");
    }
    EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{0, 1}));
  }
  OpGraph g({"a", "b"});
  g.Add("m", "matmul", {1},
        {{"A", Value("a")}, {"B", Value("b")}, {"transposeA", Value("True")}});
  try {
    g.Export("m");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "transposeB");
  }
}

TEST(BatchNormalizationAndGru, InputOrders) {
  OpGraph g({"i", "mean", "var", "off", "sc", "eps"});
  g.Add("bn", "batch_normalization", {1, 4},
        {{"epsilon", Value("eps")},
         {"scale", Value("sc")},
         {"offset", Value("off")},
         {"variance", Value("var")},
         {"mean", Value("mean")},
         {"input", Value("i")}});
  const auto* bn = g.Export("bn");
  EXPECT_EQ(bn->type(), snxf::Op::batchnorm);
  EXPECT_EQ(Ints(bn->inputs()), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(bn->params(), nullptr);

  OpGraph r({"x", "h", "w_ir", "b_ir", "w_h", "b_wh", "r_h", "b_rh"});
  r.Add("gru", "cudnn_gru", {1, 16},
        {{"b_rh", Value("x")},
         {"input", Value("b_rh")},
         {"h", Value("h")},
         {"w_ir", Value("w_ir")},
         {"b_ir", Value("b_ir")},
         {"w_h", Value("w_h")},
         {"b_wh", Value("b_wh")},
         {"r_h", Value("r_h")},
         {"quant_scale", Value(List{Value(0.5)})},
         {"zero_point", NdArray::Zeros(DType::kInt32, {1})},
         {"datatype", Value("int8")},
         {"quant_axis", Value(1)},
         {"block", Value(7)}});
  const auto* gru = r.Export("gru");
  EXPECT_EQ(gru->type(), snxf::Op::gru);
  EXPECT_EQ(Ints(gru->inputs()),
            (std::vector<uint32_t>{7, 1, 2, 3, 4, 5, 6, 0}));
  EXPECT_EQ(gru->block(), 7u);
  EXPECT_EQ(gru->params(), nullptr);
  EXPECT_FALSE(gru->datatype().has_value());
  EXPECT_EQ(gru->scale(), nullptr);
  EXPECT_EQ(gru->zero(), nullptr);
  EXPECT_FALSE(gru->axis().has_value());
}

}  // namespace
}  // namespace sarnic
