#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "sarnic/exporter.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Decode;
using testing::Ints;
using testing::LayerNamed;
using testing::Quiet;
using testing::TestGraph;

TEST(ExportConstant, Float64IsWrittenAsFloat32AndReplacedInTheGraph) {
  TestGraph g;
  g.Add("w", "constant", {2, 2}, {{"datatype", Value("int8")}});
  g.tensor_dict.set("w", NdArray::FromValues<double>(DType::kFloat64, {2, 2},
                                                     {0.5, 1.5, -2, 4}));
  g.orig_outputs = {"w"};
  std::ostringstream out;
  SarnicExporter e(g, "m", Quiet(out));
  const ModelBuffer buf = e.run();
  const auto* l = LayerNamed(Decode(buf), "w");
  EXPECT_EQ(l->type(), snxf::Op::constant);
  // The array's type is written, not the node's datatype attribute.
  EXPECT_EQ(l->datatype(), snxf::Datatype::F32);
  const auto* data = l->params()->Get(0);
  EXPECT_EQ(data->name()->str(), "data");
  EXPECT_EQ(Ints(data->shape()), (std::vector<int32_t>{2, 2}));
  EXPECT_EQ(data->data_f32()->Get(1), 1.5f);
  EXPECT_EQ(g.tensor_dict.at("w").dtype(), DType::kFloat32);
  EXPECT_FALSE(l->panel_size().has_value());
  EXPECT_EQ(l->inputs(), nullptr);
}

TEST(ExportConstant, QuantizedInt8WithPanelAndNoBlock) {
  TestGraph g;
  g.Add("q", "constant", {3},
        {{"quant_scale", Value(List{Value(0.02)})},
         {"zero_point", NdArray::Zeros(DType::kInt32, {1})},
         {"quant_axis", Value(0)},
         {"panel", Value(4)},
         {"block", Value(9)}});
  g.tensor_dict.set("q",
                    NdArray::FromValues<int8_t>(DType::kInt8, {3}, {1, -2, 3}));
  std::ostringstream out;
  SarnicExporter e(g, "m", Quiet(out));
  const ModelBuffer buf = e.run();
  const auto* l = Decode(buf)->layers()->Get(0);
  EXPECT_EQ(l->datatype(), snxf::Datatype::I8);
  EXPECT_EQ(l->params()->Get(0)->data_i8()->Get(1), -2);
  EXPECT_EQ(l->scale()->Get(0), 0.02f);
  EXPECT_EQ(Ints(l->zero()), (std::vector<int32_t>{0}));
  EXPECT_EQ(l->axis(), 0);
  EXPECT_EQ(l->panel_size(), 4);
  EXPECT_FALSE(l->block().has_value());
}

TEST(ExportConstant, PanelZeroIsNotWritten) {
  TestGraph g;
  g.Constant("c", {1}, {1}).set("panel", Value(0));
  std::ostringstream out;
  SarnicExporter e(g, "m", Quiet(out));
  const ModelBuffer buf = e.run();
  EXPECT_FALSE(Decode(buf)->layers()->Get(0)->panel_size().has_value());
}

TEST(DataLayers, UnsupportedArrayTypesStopTheExport) {
  const struct {
    const char* op;
    DType dtype;
    const char* message;
  } cases[] = {
      {"variable", DType::kFloat64, "Tensor data is unsupported:"},
      {"constant", DType::kInt64, "Tensor data is unsupported:"},
      {"constant", DType::kFloat16, "Numpy NDArray has unsupported type:"},
  };
  for (const auto& c : cases) {
    TestGraph g;
    g.Add("v", c.op, {2});
    g.tensor_dict.set("v", NdArray::Zeros(c.dtype, {2}));
    std::ostringstream out;
    SarnicExporter e(g, "m", Quiet(out));
    try {
      e.run();
      ADD_FAILURE() << c.op;
    } catch (const ValueError& err) {
      EXPECT_EQ(err.message(), c.message) << c.op;
    }
  }
}

TEST(DataLayers, MissingTensorIsAKeyErrorNamingIt) {
  TestGraph g;
  g.Add("w", "constant", {2});
  std::ostringstream out;
  SarnicExporter e(g, "m", Quiet(out));
  try {
    e.run();
    FAIL();
  } catch (const KeyError& err) {
    EXPECT_EQ(err.key(), "w");
  }
}

TEST(ExportVariableAndExternal, LayerFields) {
  TestGraph g;
  g.Add("in", "external", {1, 8}, {{"datatype", Value("uint8")}});
  g.Add("v", "variable", {1, 2}, {{"block", Value(5)}});
  g.tensor_dict.set("v", NdArray::Zeros(DType::kInt32, {1, 2}));
  g.orig_inputs = {"in"};
  g.orig_outputs = {"v"};
  std::ostringstream out;
  ExportOptions o = Quiet(out);
  o.input_names = std::vector<std::string>{"image"};
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  const auto* m = Decode(buf);
  const auto* in = m->layers()->Get(0);
  EXPECT_EQ(in->type(), snxf::Op::input);
  EXPECT_EQ(in->name()->str(), "image");
  EXPECT_EQ(in->datatype(), snxf::Datatype::U8);
  const auto* shape = in->params()->Get(0);
  EXPECT_EQ(shape->name()->str(), "shape");
  EXPECT_EQ(Ints(shape->shape()), (std::vector<int32_t>{1, 8}));
  EXPECT_EQ(shape->data_f32(), nullptr);
  const auto* v = m->layers()->Get(1);
  EXPECT_EQ(v->type(), snxf::Op::variable);
  EXPECT_EQ(v->name()->str(), "v");
  EXPECT_EQ(v->block(), 5u);
  EXPECT_EQ(v->params()->Get(0)->data_i32()->size(), 2u);
}

TEST(ExportExternalConstant, ConvertsToFloat32WithTheArraysShape) {
  TestGraph g;
  g.Constant("w", {1}, {1});
  std::ostringstream out;
  ExportOptions o = Quiet(out);
  o.ext_constants.emplace();
  o.ext_constants->set(
      "mean", NdArray::FromValues<int32_t>(DType::kInt32, {3, 1}, {1, 2, 3}));
  o.ext_constants->set("w", NdArray::Zeros(DType::kFloat32, {1}));
  o.ext_constants->set("std", NdArray::Zeros(DType::kFloat32, {2}));
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  EXPECT_EQ(out.str(),
            "WARNING: Unable to add w to SNX, name already in use.\n");
  const auto* m = Decode(buf);
  ASSERT_EQ(m->layers()->size(), 3u);
  const auto* mean = m->layers()->Get(0);
  EXPECT_EQ(mean->name()->str(), "mean");
  EXPECT_EQ(Ints(mean->shape()), (std::vector<int32_t>{3, 1}));
  EXPECT_FALSE(mean->datatype().has_value());
  const auto* data = mean->params()->Get(0);
  EXPECT_EQ(Ints(data->shape()), (std::vector<int32_t>{3, 1}));
  EXPECT_EQ(data->data_f32()->Get(2), 3.0f);
  EXPECT_EQ(m->layers()->Get(1)->name()->str(), "std");
  EXPECT_EQ(m->layers()->Get(2)->name()->str(), "w");
}

}  // namespace
}  // namespace sarnic
