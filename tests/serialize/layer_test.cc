#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "serialize/layer_parts.h"
#include "serialize/tensor.h"
#include "test_decode.h"

namespace sarnic {
namespace {

using testing::FinishAndDecode;
using testing::Ints;

class GenerateLayer : public ::testing::Test {
 protected:
  const snxf::Layer* Make(const AttrDict& node, Offset inputs_given = 0) {
    const Offset name = builder_.CreateString("l");
    const Offset shape = WriteLayerShape(builder_, {1, 2}, "test");
    Offset inputs = 0;
    if (inputs_given) inputs = WriteInputs(builder_, {4, 4});
    const Offset layer =
        generate_layer(builder_, node, snxf::Op::abs, name, shape, inputs, 0);
    return FinishAndDecode<snxf::Layer>(builder_, layer);
  }
  BetterBuilder builder_{0};
};

TEST_F(GenerateLayer, PlainNodeHoldsOnlyTypeNameAndShape) {
  const auto* l = Make(AttrDict{});
  EXPECT_EQ(l->type(), snxf::Op::abs);
  EXPECT_EQ(l->name()->str(), "l");
  EXPECT_EQ(Ints(l->shape()), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(l->inputs(), nullptr);
  EXPECT_EQ(l->params(), nullptr);
  EXPECT_FALSE(l->block().has_value());
  EXPECT_FALSE(l->datatype().has_value());
  EXPECT_EQ(l->scale(), nullptr);
  EXPECT_EQ(l->zero(), nullptr);
  EXPECT_FALSE(l->axis().has_value());
}

TEST_F(GenerateLayer, ExtrasPresentExactlyWhenTheNodeHasThem) {
  AttrDict node;
  node.set("block", Value(0));  // presence, not value, decides
  node.set("datatype", Value("float32"));
  node.set("quant_scale", Value(List{Value(0.5)}));
  node.set("zero_point",
           NdArray::FromValues<double>(DType::kFloat64, {2}, {1.7, -2.2}));
  node.set("quant_axis", Value(3));
  const auto* l = Make(node, 1);
  EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{4, 4}));
  EXPECT_EQ(l->block(), 0u);
  EXPECT_EQ(l->datatype(), snxf::Datatype::F32);
  ASSERT_NE(l->scale(), nullptr);
  EXPECT_EQ(l->scale()->Get(0), 0.5f);
  EXPECT_EQ(Ints(l->zero()), (std::vector<int32_t>{1, -2}));
  EXPECT_EQ(l->axis(), 3);
}

TEST_F(GenerateLayer, ScaleWithoutZeroPointGivesNeither) {
  AttrDict node;
  node.set("quant_scale", Value(List{Value(0.5)}));
  node.set("quant_axis", Value(1));
  const auto* l = Make(node);
  EXPECT_EQ(l->scale(), nullptr);
  EXPECT_EQ(l->zero(), nullptr);
  EXPECT_EQ(l->axis(), 1);
}

TEST_F(GenerateLayer, RefusesValuesThatDoNotFitTheirFields) {
  const auto nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* what;
    const char* attr;
    Value value;
  } cases[] = {
      {"unknown datatype", "datatype", Value("float16")},
      {"datatype that is no text", "datatype", Value(3)},
      {"NaN zero point", "zero_point",
       NdArray::FromValues<double>(DType::kFloat64, {1}, {nan})},
      {"zero point beyond int32", "zero_point",
       NdArray::FromValues<double>(DType::kFloat64, {1}, {3e9})},
      {"zero point that is no array", "zero_point", Value::IntList({1})},
      {"negative block", "block", Value(-1)},
      {"block beyond uint32", "block", Value(int64_t{1} << 32)},
      {"quant_axis beyond int32", "quant_axis", Value(int64_t{1} << 31)},
  };
  for (const auto& c : cases) {
    AttrDict node;
    node.set_owner("node 'q'");
    node.set("quant_scale", Value(List{Value(0.5)}));
    node.set("zero_point", NdArray::Zeros(DType::kInt32, {1}));
    node.set(c.attr, c.value);
    BetterBuilder b(0);
    const Offset name = b.CreateString("l");
    const Offset shape = WriteLayerShape(b, {1}, "test");
    try {
      generate_layer(b, node, snxf::Op::abs, name, shape);
      ADD_FAILURE() << c.what;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("'q'"), std::string::npos)
          << c.what << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace sarnic
