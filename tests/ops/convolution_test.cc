#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "serialize/layer_parts.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Ints;
using testing::Names;
using testing::OpGraph;
using testing::Param;

// input at 0, filter at 1, bias at 2.
class ConvGraph : public OpGraph {
 public:
  ConvGraph() : OpGraph({"in"}) {
    Constant("k", {1}, {1});
    Constant("bias", {1}, {1});
  }
};

AttrDict& Conv(OpGraph& g, Value dilation, Value stride) {
  return g.Add("c", "conv", {1, 8, 8, 4},
               {{"dilation", std::move(dilation)},
                {"stride", std::move(stride)},
                {"groups", Value(1)},
                {"input", Value("in")},
                {"filter", Value("k")},
                {"bias", Value("bias")}});
}

TEST(Conv, SettingsAndParameterOrder) {
  ConvGraph g;
  Conv(g, Value::IntList({1, 1, 1, 1}), Value::IntList({1, 2, 2, 1}));
  const auto* l = g.Export("c");
  EXPECT_EQ(l->type(), snxf::Op::conv2d);
  EXPECT_EQ(Names(l->params()),
            (std::vector<std::string>{"activation", "groups", "dilations",
                                      "strides"}));
  EXPECT_EQ(Param(l, 0)->data_str()->Get(0)->str(), "linear");
  EXPECT_EQ(Ints(Param(l, 1)->shape()), (std::vector<int32_t>{1}));
  EXPECT_EQ(Param(l, 1)->data_i16()->Get(0), 1);
  EXPECT_EQ(Ints(Param(l, 2)->shape()), (std::vector<int32_t>{1, 1, 1, 1}));
  EXPECT_EQ(Ints(Param(l, 3)->shape()), (std::vector<int32_t>{1, 2, 2, 1}));
  EXPECT_EQ(Param(l, 3)->data_i16(), nullptr);
  EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{0, 1, 2}));
}

TEST(Conv, ShortSettingsAreWrappedAndLongerOnesCut) {
  const struct {
    Value dilation, stride;
    std::vector<int32_t> dilations, strides;
  } cases[] = {
      {Value::IntList({1, 1}),
       Value::IntList({2, 2}),
       {1, 1, 1, 1},
       {1, 2, 2, 1}},
      {Value(List{Value(2.0), Value(3)}),
       Value::IntList({3, 4, 5}),
       {1, 2, 3, 1},
       {1, 3, 4, 1}},
  };
  for (const auto& c : cases) {
    ConvGraph g;
    Conv(g, c.dilation, c.stride);
    const auto* l = g.Export("c");
    EXPECT_EQ(Ints(Param(l, 2)->shape()), c.dilations);
    EXPECT_EQ(Ints(Param(l, 3)->shape()), c.strides);
  }
}

TEST(Conv, SettingsTooShortOrNotIntegersAreRefused) {
  ConvGraph g;
  Conv(g, Value::IntList({1}), Value::IntList({1, 1}));
  EXPECT_THROW(g.Export("c"), IndexError);
  ConvGraph h;
  Conv(h, Value::IntList({1, 1}), Value(List{Value("two"), Value(2)}));
  EXPECT_THROW(h.Export("c"), ValueError);
}

TEST(Conv, PadsActivationAndMissingBias) {
  ConvGraph g;
  auto& n = Conv(g, Value::IntList({1, 1}), Value::IntList({1, 1}));
  n.set("head", Value::IntList({0, 1, 1, 0}));
  n.set("tail", Value::IntList({0, 2, 2, 0}));
  n.set("activation", Value("relu6"));
  n.set("bias", Value("nowhere"));
  const auto* l = g.Export("c");
  EXPECT_EQ(Names(l->params()),
            (std::vector<std::string>{"activation", "groups", "dilations",
                                      "strides", "tail", "head"}));
  EXPECT_EQ(Param(l, 0)->data_str()->Get(0)->str(), "relu6");
  EXPECT_EQ(Ints(Param(l, 4)->shape()), (std::vector<int32_t>{0, 2, 2, 0}));
  EXPECT_EQ(Ints(Param(l, 5)->shape()), (std::vector<int32_t>{0, 1, 1, 0}));
  EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{0, 1}));

  ConvGraph one;
  Conv(one, Value::IntList({1, 1}), Value::IntList({1, 1}))
      .set("head", Value::IntList({1}));
  EXPECT_EQ(one.Export("c")->params()->size(), 4u);
}

TEST(TransposeConv, ParametersAndInputs) {
  for (const bool pads : {false, true}) {
    ConvGraph g;
    auto& n = g.Add("t", "transpose_conv", {1, 8, 8, 4},
                    {{"stride", Value::IntList({2, 2})},
                     {"input", Value("in")},
                     {"filter", Value("k")}});
    if (pads) {
      n.set("head", Value::IntList({1}));
      n.set("tail", Value::IntList({2}));
    }
    const auto* l = g.Export("t");
    EXPECT_EQ(l->type(), snxf::Op::deconv2d);
    const std::vector<std::string> want =
        pads ? std::vector<std::string>{"activation", "strides", "tail", "head"}
             : std::vector<std::string>{"activation", "strides"};
    EXPECT_EQ(Names(l->params()), want);
    EXPECT_EQ(Ints(Param(l, 1)->shape()), (std::vector<int32_t>{1, 2, 2, 1}));
    EXPECT_EQ(Ints(l->inputs()), (std::vector<uint32_t>{0, 1}));
  }
}

TEST(Conv, UserExporterReplacesTheBuiltInOne) {
  ConvGraph g;
  Conv(g, Value::IntList({1, 1}), Value::IntList({1, 1}));
  std::ostringstream out;
  ExportOptions o = testing::Quiet(out);
  o.user_ops = {Plugin{[](SarnicExporter& self) {
    auto u = std::make_shared<TableUserExporter>();
    u->add("conv", [&self](BetterBuilder& b, Graph&, const LayerIndex&,
                           const std::string&, AttrDict& node,
                           const std::optional<std::string>&) {
      const Offset n = b.CreateString("mine");
      const Offset s = WriteOutputShape(b, node);
      return self.generate_layer(b, node, snxf::Op::conv2d, n, s);
    });
    return u;
  }}};
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  const auto* l = testing::Decode(buf)->layers()->Get(3);
  EXPECT_EQ(l->name()->str(), "mine");
  EXPECT_EQ(l->params(), nullptr);
}

}  // namespace
}  // namespace sarnic
