// The runtime on its own: its table of rows walked against the schema,
// shapes worked by hand for a few rows, and models written layer by layer
// run in their arena and with a buffer per output, against sums worked
// here. A kernel or plan fault shows without the exporter, Python or Node.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>

#include "runtime/semantics.h"
#include "sarnic/builder.h"
#include "sarnic/errors.h"
#include "sarnic/interpreter.h"
#include "sarnic/schema.h"
#include "serialize/tensor.h"

namespace sarnic {
namespace {

TEST(RuntimeRows, EveryLayerTypeOfTheSchemaHasOneRowOrOneRefusal) {
  for (const snxf::Op op : snxf::EnumValuesOp()) {
    int rows = 0, refusals = 0;
    for (const auto& r : runtime::AllSemantics()) rows += r.type == op;
    for (const auto& r : runtime::RefusedTypes()) refusals += r.type == op;
    EXPECT_EQ(rows + refusals, 1) << snxf::EnumNameOp(op);
    // A row is what SemanticsOf finds.
    EXPECT_EQ(runtime::SemanticsOf(op) != nullptr, rows == 1)
        << snxf::EnumNameOp(op);
  }
}

using Param = std::tuple<std::string, std::optional<Shape>, Value>;

struct LayerSpec {
  snxf::Op type;
  Shape shape;
  std::vector<uint32_t> inputs = {};
  std::vector<Param> params = {};
  std::optional<uint32_t> block = std::nullopt;
};

// A model of `layers` (named l0, l1, ...), its inputs the input layers and
// its outputs `outputs`, planned in blocks of 1024 bytes when
// `block_count` is given.
std::vector<uint8_t> Write(const std::vector<LayerSpec>& layers,
                           const std::vector<uint32_t>& outputs,
                           std::optional<uint32_t> block_count = {}) {
  BetterBuilder b;
  std::vector<flatbuffers::Offset<snxf::Layer>> written;
  std::vector<uint32_t> inputs;
  for (std::size_t i = 0; i < layers.size(); ++i) {
    const LayerSpec& l = layers[i];
    if (l.type == snxf::Op::input) inputs.push_back(static_cast<uint32_t>(i));
    const auto name = b.CreateString("l" + std::to_string(i));
    std::vector<int32_t> dims(l.shape.begin(), l.shape.end());
    const auto shape = b.CreateVector(dims);
    const auto ins = b.CreateVector(l.inputs);
    std::vector<flatbuffers::Offset<snxf::Tensor>> tensors;
    for (const auto& [pname, pshape, data] : l.params) {
      tensors.emplace_back(export_tensor(b, pname, pshape, data));
    }
    const auto params = b.CreateVector(tensors);
    snxf::LayerBuilder lb(b);
    lb.add_type(l.type);
    lb.add_name(name);
    lb.add_shape(shape);
    lb.add_inputs(ins);
    lb.add_params(params);
    if (l.block) lb.add_block(*l.block);
    written.push_back(lb.Finish());
  }
  const auto vec = b.CreateVector(written);
  const auto in = b.CreateVector(inputs);
  const auto out = b.CreateVector(outputs);
  snxf::ModelBuilder mb(b);
  mb.add_layers(vec);
  mb.add_inputs(in);
  mb.add_outputs(out);
  if (block_count) {
    mb.add_block_count(*block_count);
    mb.add_block_size(1024);
  }
  b.FinishWithFileIdentifierx(mb.Finish().o, "SNXF");
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

LayerSpec Input(Shape shape, std::optional<uint32_t> block = {}) {
  return {snxf::Op::input, shape, {}, {{"shape", shape, Value()}}, block};
}

// The output shape InferLayerShape gives for the last layer of a model
// whose other layers are inputs of `inputs`' shapes.
std::optional<Shape> ShapeOf(LayerSpec last, const std::vector<Shape>& inputs) {
  std::vector<LayerSpec> layers;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    layers.push_back(Input(inputs[i]));
    last.inputs.push_back(static_cast<uint32_t>(i));
  }
  layers.push_back(std::move(last));
  const std::vector<uint8_t> bytes = Write(layers, {});
  const snxf::Model* m = snxf::GetModel(bytes.data());
  return InferLayerShape(*m->layers()->Get(m->layers()->size() - 1), inputs);
}

TEST(RuntimeRows, ShapesWorkedByHand) {
  using enum snxf::Op;
  const struct {
    const char* what;
    LayerSpec layer;
    std::vector<Shape> inputs;
    Shape expected;
  } rows[] = {
      {"add broadcasts from the last axis",
       {add, {}},
       {{2, 1, 3}, {4, 3}},
       {2, 4, 3}},
      {"a scalar broadcasts to anything", {multiply, {}}, {{}, {5, 2}}, {5, 2}},
      {"relu keeps its input's shape", {relu, {}}, {{1, 7, 3}}, {1, 7, 3}},
      {"concat adds up its axis",
       {concat, {}, {}, {{"axis", std::nullopt, Value(int64_t{1})}}},
       {{1, 2, 3}, {1, 5, 3}},
       {1, 7, 3}},
      {"reduce_sum drops its axes",
       {reduce_sum,
        {},
        {},
        {{"keep_dims", std::nullopt, Value(int64_t{0})},
         {"axes", Shape{0, 2}, Value()}}},
       {{4, 5, 6}},
       {5}},
  };
  for (const auto& row : rows) {
    const std::optional<Shape> got = ShapeOf(row.layer, row.inputs);
    ASSERT_TRUE(got.has_value()) << row.what;
    EXPECT_EQ(*got, row.expected) << row.what;
  }
  // Shapes that do not broadcast are refused, saying which.
  try {
    ShapeOf({add, {}}, {{2, 3}, {4}});
    ADD_FAILURE() << "[2, 3] and [4] broadcast";
  } catch (const DetailedError& e) {
    EXPECT_NE(e.detail().find("cannot broadcast [2, 3] with [4]"),
              std::string::npos)
        << e.detail();
  }
}

// A chain of element-wise layers, each reading the one or two before it,
// in three regions of the arena used in turn: layer i overwrites layer i-3,
// which nothing reads any more. The arena run, the run with a buffer per
// output and the sums worked here agree bit for bit.
TEST(RuntimeRows, ARandomChainRunsAlikeInItsArenaAndInBuffersOfItsOwn) {
  using enum snxf::Op;
  constexpr int64_t kWidth = 300;  // 1,200 bytes: two blocks per region
  std::mt19937 rng(5);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<LayerSpec> layers = {Input({1, kWidth}, 0u)};
    std::vector<std::vector<float>> values(1);
    std::uniform_real_distribution<float> u(-2, 2);
    for (int64_t k = 0; k < kWidth; ++k) values[0].push_back(u(rng));
    const int length = 3 + static_cast<int>(rng() % 30);
    for (int i = 1; i < length; ++i) {
      const auto self = static_cast<uint32_t>(i);
      const uint32_t block = 2 * (self % 3);
      const std::vector<float>& a = values[self - 1];
      const std::vector<float>& b = values[self > 1 ? self - 2 : 0];
      std::vector<float> v(kWidth);
      const snxf::Op ops[] = {add, subtract, multiply, relu, abs};
      const snxf::Op op = ops[rng() % 5];
      for (int64_t k = 0; k < kWidth; ++k) {
        switch (op) {
          case add:
            v[k] = a[k] + b[k];
            break;
          case subtract:
            v[k] = a[k] - b[k];
            break;
          case multiply:
            v[k] = a[k] * b[k];
            break;
          case relu:
            v[k] = a[k] > 0 ? a[k] : 0.0f;
            break;
          default:
            v[k] = std::fabs(a[k]);
            break;
        }
      }
      const bool binary = op == add || op == subtract || op == multiply;
      std::vector<uint32_t> ins = {self - 1};
      if (binary) ins.push_back(self > 1 ? self - 2 : 0);
      layers.push_back({op, {1, kWidth}, ins, {}, block});
      values.push_back(std::move(v));
    }
    const uint32_t last = static_cast<uint32_t>(length - 1);
    const Interpreter it =
        Interpreter::FromBytes(Write(layers, {last}, /*block_count=*/6));
    EXPECT_EQ(it.arena_bytes(), 6u * 1024);
    const std::map<std::string, NdArray> in = {
        {"l0",
         NdArray::FromValues<float>(DType::kFloat32, {1, kWidth}, values[0])}};
    const auto arena = it.Run(in);
    const auto separate = it.Run(in, {.separate_buffers = true});
    ASSERT_EQ(arena.size(), 1u);
    ASSERT_EQ(separate.size(), 1u);
    const NdArray want =
        NdArray::FromValues<float>(DType::kFloat32, {1, kWidth}, values[last]);
    EXPECT_TRUE(arena[0].array == separate[0].array) << "trial " << trial;
    EXPECT_TRUE(arena[0].array == want) << "trial " << trial;
  }
}

}  // namespace
}  // namespace sarnic
