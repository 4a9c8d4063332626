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

// An int8 tensor's one scale and zero point.
struct Int8 {
  float scale;
  int32_t zero;
};

struct LayerSpec {
  snxf::Op type;
  Shape shape;
  std::vector<uint32_t> inputs = {};
  std::vector<Param> params = {};
  std::optional<uint32_t> block = std::nullopt;
  std::optional<Int8> int8 = std::nullopt;  // datatype int8 with these
  // A constant's scales along `axis` (weights), when it has several.
  std::vector<float> scales = {};
  int32_t axis = 0;
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
    flatbuffers::Offset<flatbuffers::Vector<float>> scale;
    flatbuffers::Offset<flatbuffers::Vector<int32_t>> zero;
    if (l.int8) {
      scale = b.CreateVector(std::vector<float>{l.int8->scale});
      zero = b.CreateVector(std::vector<int32_t>{l.int8->zero});
    } else if (!l.scales.empty()) {
      scale = b.CreateVector(l.scales);
    }
    snxf::LayerBuilder lb(b);
    lb.add_type(l.type);
    lb.add_name(name);
    lb.add_shape(shape);
    lb.add_inputs(ins);
    lb.add_params(params);
    if (l.block) lb.add_block(*l.block);
    if (l.int8) {
      lb.add_datatype(snxf::Datatype::I8);
      lb.add_scale(scale);
      lb.add_zero(zero);
    } else if (!l.scales.empty()) {
      lb.add_scale(scale);
      lb.add_axis(l.axis);
    }
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

LayerSpec Input(Shape shape, std::optional<uint32_t> block = {},
                std::optional<Int8> int8 = {}) {
  return {snxf::Op::input, shape, {}, {{"shape", shape, Value()}}, block, int8};
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

NdArray Int8Array(Shape shape, std::vector<int8_t> values) {
  return NdArray::FromValues<int8_t>(DType::kInt8, std::move(shape), values);
}

std::vector<int8_t> Int8Values(const NdArray& a) {
  const auto* q = reinterpret_cast<const int8_t*>(a.data());
  return {q, q + a.size()};
}

// Two int8 inputs and one int8 layer of `op` reading them: its output.
std::vector<int8_t> RunBinary(snxf::Op op, Int8 pa, std::vector<int8_t> a,
                              Int8 pb, std::vector<int8_t> b, Int8 po,
                              Shape shape_b) {
  const Shape shape_a{static_cast<int64_t>(a.size())};
  const std::vector<LayerSpec> layers = {Input(shape_a, {}, pa),
                                         Input(shape_b, {}, pb),
                                         {op, shape_a, {0, 1}, {}, {}, po}};
  const Interpreter it = Interpreter::FromBytes(Write(layers, {2}));
  const auto out = it.Run({{"l0", Int8Array(shape_a, a)},
                           {"l1", Int8Array(shape_b, std::move(b))}});
  EXPECT_EQ(out[0].array.dtype(), DType::kInt8);
  return Int8Values(out[0].array);
}

TEST(IntegerKernels, AddSubtractAndMultiplyWorkedByHand) {
  using enum snxf::Op;
  // a: scale 0.5, q 10 is 5.0; b: scale 0.25, zero point 10, q 30 is 5.0.
  // s = 1: 10 × 2^20 × 0.5 and 20 × 2^20 × 0.25 are 5 × 2^20 each; their
  // sum × 1 / 2^20 is 10, the output's zero point −5 makes it 5.
  EXPECT_EQ(RunBinary(add, {0.5f, 0}, {10, -20, 127}, {0.25f, 10}, {30},
                      {1.0f, -5}, {1}),
            // 63.5 + 5 − 5 = 63.5, which rounds away from zero to 64.
            (std::vector<int8_t>{5, -10, 64}));
  EXPECT_EQ(RunBinary(subtract, {0.5f, 0}, {10, -20, 0}, {0.25f, 10}, {30},
                      {1.0f, -5}, {1}),
            (std::vector<int8_t>{-5, -20, -10}));
  // 2.0 × (−1.5) = −3.0 in steps of 0.5 around zero point 4: −2.
  EXPECT_EQ(
      RunBinary(multiply, {0.5f, 0}, {4}, {0.25f, 2}, {-4}, {0.5f, 4}, {1}),
      (std::vector<int8_t>{-2}));
}

TEST(IntegerKernels, EachBinaryKernelIsWithinOneStepOfTheFloatLayer) {
  using enum snxf::Op;
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> q(-128, 127), zp(-20, 20);
  std::uniform_real_distribution<float> scale(0.01f, 1.0f);
  for (const snxf::Op op : {add, subtract, multiply}) {
    for (int trial = 0; trial < 50; ++trial) {
      const Int8 pa{scale(rng), zp(rng)}, pb{scale(rng), zp(rng)};
      // An output scale that holds every result: |q − zp| is 148 at most.
      const float top = op == multiply ? 148 * 148 * pa.scale * pb.scale
                                       : 148 * (pa.scale + pb.scale);
      const Int8 po{2 * top / 255, 0};
      std::vector<int8_t> a(64), b(64);
      for (auto& v : a) v = static_cast<int8_t>(q(rng));
      for (auto& v : b) v = static_cast<int8_t>(q(rng));
      const auto got = RunBinary(op, pa, a, pb, b, po, {64});
      for (std::size_t i = 0; i < a.size(); ++i) {
        const double x = double{pa.scale} * (a[i] - pa.zero);
        const double y = double{pb.scale} * (b[i] - pb.zero);
        const double real = op == add ? x + y : op == subtract ? x - y : x * y;
        ASSERT_LE(std::abs(real / po.scale + po.zero - got[i]), 1.0)
            << snxf::EnumNameOp(op) << " " << x << " " << y;
      }
    }
  }
}

TEST(IntegerKernels, FunctionsOfOneInputAreTheirTables) {
  using enum snxf::Op;
  std::vector<int8_t> all;
  for (int v = -128; v <= 127; ++v) all.push_back(static_cast<int8_t>(v));
  const Int8 in{0.1f, 0};
  const Int8 out{1.0f / 256, -128};  // the usual sigmoid output
  const std::vector<LayerSpec> layers = {Input({256}, {}, in),
                                         {sigmoid, {256}, {0}, {}, {}, out}};
  const Interpreter it = Interpreter::FromBytes(Write(layers, {1}));
  const auto y = Int8Values(it.Run({{"l0", Int8Array({256}, all)}})[0].array);
  EXPECT_EQ(y[128], 0);    // sigmoid(0) = 0.5 = 128 steps above −128
  EXPECT_EQ(y[0], -128);   // sigmoid(−12.8) rounds to 0
  EXPECT_EQ(y[255], 127);  // sigmoid(12.7) × 256 rounds to 256: clamped
  for (int i = 0; i < 256; ++i) {
    const double x = double{0.1f} * (i - 128);
    const double want = std::clamp(
        std::round(1 / (1 + std::exp(-x)) / (1.0 / 256)) - 128, -128.0, 127.0);
    ASSERT_EQ(y[i], want) << i;
  }
}

TEST(IntegerKernels, WhatAnIntegerRuleCannotReadIsRefusedAtLoad) {
  using enum snxf::Op;
  const Int8 p{0.5f, 0};
  const struct {
    const char* what;
    std::vector<LayerSpec> layers;
    const char* message;
  } rows[] = {
      {"a float input",
       {Input({4}), {relu, {4}, {0}, {}, {}, p}},
       "is int8 but reads float32 data from layer 'l0' (input)"},
      {"an int8 type with no integer rule",
       {Input({4}, {}, p),
        {softmax, {4}, {0}, {{"axes", Shape{0}, Value()}}, {}, p}},
       "the interpreter computes this layer type in float32 only"},
      {"a zero scale",
       {Input({4}, {}, Int8{0.0f, 0}), {relu, {4}, {0}, {}, {}, p}},
       "has scale 0.000000 and zero point 0"},
      {"an output step too fine for the add's multiplier",
       {Input({4}, {}, p),
        Input({4}, {}, p),
        {add, {4}, {0, 1}, {}, {}, Int8{1e-30f, 0}}},
       "requantisation multiplier"},
  };
  for (const auto& row : rows) {
    try {
      Interpreter::FromBytes(Write(row.layers, {1}));
      ADD_FAILURE() << row.what;
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos)
          << row.what << ": " << e.what();
    }
  }
}

// An int8 constant of weights with one scale per entry of `axis`.
LayerSpec Weights(Shape shape, const std::vector<int8_t>& q,
                  std::vector<float> scales, int32_t axis) {
  return {snxf::Op::constant,
          shape,
          {},
          {{"data", std::nullopt,
            Value(NdArray::FromValues<int8_t>(DType::kInt8, shape, q))}},
          {},
          {},
          std::move(scales),
          axis};
}

LayerSpec Bias(const std::vector<int32_t>& q) {
  const Shape shape{static_cast<int64_t>(q.size())};
  return {snxf::Op::constant,
          shape,
          {},
          {{"data", std::nullopt,
            Value(NdArray::FromValues<int32_t>(DType::kInt32, shape, q))}}};
}

std::vector<Param> ConvParams(const char* activation, int64_t stride,
                              int64_t pad, int64_t groups) {
  // As the exporter writes them: lists as the shapes of data-less tensors.
  std::vector<Param> p = {{"activation", std::nullopt, Value(activation)},
                          {"groups", std::nullopt, Value(groups)},
                          {"strides", Shape{1, stride, stride, 1}, Value()}};
  if (pad > 0) {
    p.push_back({"tail", Shape{0, pad, pad, 0}, Value()});
    p.push_back({"head", Shape{0, pad, pad, 0}, Value()});
  }
  return p;
}

TEST(IntegerKernels, AConvolutionWorkedByHand) {
  using enum snxf::Op;
  // Input reals 1, 2, 3, 4 (scale 0.5); a 1 × 1 filter of two channels,
  // reals 1.0 (q 10 at scale 0.1) and −1.0 (q −5 at scale 0.2); biases 4
  // and 0 (scale 0.5 × 0.1). Channel 0: 10 q + 4 requantised by 0.5 × 0.1
  // / 0.25 = 0.2 gives 4.8, 8.8, 12.8, 16.8; channel 1: −5 q by 0.4 gives
  // −4, −8, −12, −16.
  for (const char* activation : {"linear", "relu"}) {
    const std::vector<LayerSpec> layers = {
        Input({1, 2, 2, 1}, {}, Int8{0.5f, 0}),
        Weights({1, 1, 1, 2}, {10, -5}, {0.1f, 0.2f}, 3),
        Bias({4, 0}),
        {conv2d,
         {1, 2, 2, 2},
         {0, 1, 2},
         ConvParams(activation, 1, 0, 1),
         {},
         Int8{0.25f, 0}}};
    const Interpreter it = Interpreter::FromBytes(Write(layers, {3}));
    const auto y = Int8Values(
        it.Run({{"l0", Int8Array({1, 2, 2, 1}, {2, 4, 6, 8})}})[0].array);
    const bool relu = std::string(activation) == "relu";
    const std::vector<int8_t> want =
        relu ? std::vector<int8_t>{5, 0, 9, 0, 13, 0, 17, 0}
             : std::vector<int8_t>{5, -4, 9, -8, 13, -12, 17, -16};
    EXPECT_EQ(y, want) << activation;
  }
}

// A float convolution of the dequantised tensors, NHWC.
std::vector<double> FloatConv(const std::vector<double>& x, const Shape& xs,
                              const std::vector<double>& w, const Shape& ws,
                              const std::vector<double>& bias, int64_t stride,
                              int64_t pad, int64_t groups, const Shape& ys) {
  std::vector<double> y(static_cast<std::size_t>(ys[1] * ys[2] * ys[3]));
  const int64_t cg = ws[2], og = ws[3] / groups;
  for (int64_t oy = 0; oy < ys[1]; ++oy) {
    for (int64_t ox = 0; ox < ys[2]; ++ox) {
      for (int64_t oc = 0; oc < ys[3]; ++oc) {
        double sum = bias[oc];
        for (int64_t ky = 0; ky < ws[0]; ++ky) {
          for (int64_t kx = 0; kx < ws[1]; ++kx) {
            const int64_t iy = oy * stride + ky - pad,
                          ix = ox * stride + kx - pad;
            if (iy < 0 || ix < 0 || iy >= xs[1] || ix >= xs[2]) continue;
            for (int64_t ic = 0; ic < cg; ++ic) {
              sum += x[(iy * xs[2] + ix) * xs[3] + (oc / og) * cg + ic] *
                     w[((ky * ws[1] + kx) * cg + ic) * ws[3] + oc];
            }
          }
        }
        y[(oy * ys[2] + ox) * ys[3] + oc] = sum;
      }
    }
  }
  return y;
}

TEST(IntegerKernels, ConvolutionsAndDenseLayersAreWithinOneStepOfFloat) {
  using enum snxf::Op;
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> q(-128, 127), wq(-127, 127), zp(-10, 10),
      bq(-2000, 2000);
  std::uniform_real_distribution<float> scale(0.01f, 0.1f);
  // (groups, input channels, output channels): ordinary, grouped, depthwise.
  const int64_t shapes[][3] = {{1, 3, 4}, {2, 4, 6}, {5, 5, 5}};
  for (const auto& [groups, cin, cout] : shapes) {
    for (const int64_t stride : {1, 2}) {
      const Shape xs{1, 5, 5, cin}, ws{3, 3, cin / groups, cout};
      const int64_t out = (5 + 2 - 3) / stride + 1;
      const Shape ys{1, out, out, cout};
      const Int8 px{scale(rng), zp(rng)};
      std::vector<float> sw(static_cast<std::size_t>(cout));
      for (float& s : sw) s = scale(rng);
      std::vector<int8_t> xq(static_cast<std::size_t>(25 * cin));
      std::vector<int8_t> wqs(static_cast<std::size_t>(9 * ws[2] * cout));
      std::vector<int32_t> b(static_cast<std::size_t>(cout));
      for (auto& v : xq) v = static_cast<int8_t>(q(rng));
      for (auto& v : wqs) v = static_cast<int8_t>(wq(rng));
      for (auto& v : b) v = bq(rng);
      std::vector<double> x, w, bias;
      for (int8_t v : xq) x.push_back(double{px.scale} * (v - px.zero));
      for (std::size_t i = 0; i < wqs.size(); ++i) {
        w.push_back(double{sw[i % cout]} * wqs[i]);
      }
      for (int64_t c = 0; c < cout; ++c) {
        bias.push_back(double{px.scale} * sw[c] * b[c]);
      }
      const auto real = FloatConv(x, xs, w, ws, bias, stride, 1, groups, ys);
      double top = 0;
      for (double v : real) top = std::max(top, std::abs(v));
      const Int8 py{static_cast<float>(2 * top / 250), 0};
      const std::vector<LayerSpec> layers = {
          Input(xs, {}, px),
          Weights(ws, wqs, sw, 3),
          Bias(b),
          {conv2d,
           ys,
           {0, 1, 2},
           ConvParams("linear", stride, 1, groups),
           {},
           py}};
      const Interpreter it = Interpreter::FromBytes(Write(layers, {3}));
      const auto y = Int8Values(it.Run({{"l0", Int8Array(xs, xq)}})[0].array);
      for (std::size_t i = 0; i < y.size(); ++i) {
        ASSERT_LE(std::abs(real[i] / py.scale + py.zero - y[i]), 1.0)
            << groups << " groups, stride " << stride << ", element " << i;
      }
    }
  }
  // Dense: A [2, 6] × B [6, 3] + bias.
  const Int8 pa{0.05f, 3};
  const std::vector<float> sb = {0.02f, 0.03f, 0.04f};
  std::vector<int8_t> aq(12), bqs(18);
  for (auto& v : aq) v = static_cast<int8_t>(q(rng));
  for (auto& v : bqs) v = static_cast<int8_t>(wq(rng));
  const std::vector<int32_t> b = {100, -200, 300};
  std::vector<double> real(6);
  double top = 0;
  for (int i = 0; i < 2; ++i) {
    for (int m = 0; m < 3; ++m) {
      double sum = double{pa.scale} * sb[m] * b[m];
      for (int k = 0; k < 6; ++k) {
        sum += double{pa.scale} * (aq[i * 6 + k] - pa.zero) * sb[m] *
               bqs[k * 3 + m];
      }
      real[i * 3 + m] = sum;
      top = std::max(top, std::abs(sum));
    }
  }
  const Int8 py{static_cast<float>(2 * top / 250), 0};
  const std::vector<LayerSpec> layers = {
      Input({2, 6}, {}, pa),
      Weights({6, 3}, bqs, sb, 1),
      Bias(b),
      {dense,
       {2, 3},
       {0, 1, 2},
       {{"activation", std::nullopt, Value("linear")}},
       {},
       py}};
  const Interpreter it = Interpreter::FromBytes(Write(layers, {3}));
  const auto y = Int8Values(it.Run({{"l0", Int8Array({2, 6}, aq)}})[0].array);
  for (std::size_t i = 0; i < y.size(); ++i) {
    EXPECT_LE(std::abs(real[i] / py.scale + py.zero - y[i]), 1.0) << i;
  }
}

TEST(IntegerKernels, WeightsTheRuleCannotReadAreRefusedAtLoad) {
  using enum snxf::Op;
  const Int8 p{0.5f, 0};
  auto conv = [&](LayerSpec weights, LayerSpec bias, const char* act) {
    return std::vector<LayerSpec>{
        Input({1, 2, 2, 1}, {}, p),
        std::move(weights),
        std::move(bias),
        {conv2d, {1, 2, 2, 2}, {0, 1, 2}, ConvParams(act, 1, 0, 1), {}, p}};
  };
  const struct {
    const char* what;
    std::vector<LayerSpec> layers;
    const char* message;
  } rows[] = {
      {"scales along the input axis",
       conv(Weights({1, 1, 1, 2}, {1, 2}, {0.1f, 0.2f}, 2), Bias({0, 0}),
            "linear"),
       "do not give their scales along axis 3"},
      {"an int8 bias",
       conv(Weights({1, 1, 1, 2}, {1, 2}, {0.1f, 0.2f}, 3),
            Weights({2}, {1, 1}, {0.1f}, 0), "linear"),
       "its bias layer 'l2' (constant) holds int8 data, not int32"},
      {"a fused sigmoid",
       conv(Weights({1, 1, 1, 2}, {1, 2}, {0.1f, 0.2f}, 3), Bias({0, 0}),
            "sigmoid"),
       "the fused activation \"sigmoid\", which has no integer rule"},
  };
  for (const auto& row : rows) {
    try {
      Interpreter::FromBytes(Write(row.layers, {3}));
      ADD_FAILURE() << row.what;
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos)
          << row.what << ": " << e.what();
    }
  }
}

std::vector<Param> PoolParams(const char* kind, int64_t window, int64_t stride,
                              int64_t pad) {
  std::vector<Param> p = {{"pooling", std::nullopt, Value(kind)},
                          {"strides", Shape{1, stride, stride, 1}, Value()},
                          {"ksize", Shape{1, window, window, 1}, Value()}};
  if (pad > 0) {
    p.push_back({"tail", Shape{0, pad, pad, 0}, Value()});
    p.push_back({"head", Shape{0, pad, pad, 0}, Value()});
  }
  return p;
}

TEST(IntegerKernels, PoolingWorkedByHandKeepsItsInputsParameters) {
  using enum snxf::Op;
  const Int8 p{0.5f, 3};
  // A 3 × 3 input, windows of 2 × 2 moved by 2 with one row and column of
  // padding after: the windows hold 4, 2, 2 and 1 unpadded positions.
  const std::vector<int8_t> x = {1, 2, -3, 4, 6, -5, 7, -8, 9};
  const struct {
    const char* kind;
    std::vector<int8_t> want;
  } rows[] = {
      // (1 + 2 + 4 + 6) / 4 = 3.25 → 3; (−3 − 5) / 2 = −4; (7 − 8) / 2 =
      // −0.5 → −1 (away from zero); 9.
      {"AVERAGE", {3, -4, -1, 9}},
      {"MAXIMUM", {6, -3, 7, 9}},
  };
  for (const auto& row : rows) {
    auto params = PoolParams(row.kind, 2, 2, 0);
    params.push_back({"tail", Shape{0, 1, 1, 0}, Value()});
    params.push_back({"head", Shape{0, 0, 0, 0}, Value()});
    const std::vector<LayerSpec> layers = {
        Input({1, 3, 3, 1}, {}, p), {pool2d, {1, 2, 2, 1}, {0}, params, {}, p}};
    const Interpreter it = Interpreter::FromBytes(Write(layers, {1}));
    EXPECT_EQ(Int8Values(it.Run({{"l0", Int8Array({1, 3, 3, 1}, x)}})[0].array),
              row.want)
        << row.kind;
  }
  // Other output parameters than the input's are refused at load.
  const std::vector<LayerSpec> other = {Input({1, 3, 3, 1}, {}, p),
                                        {pool2d,
                                         {1, 1, 1, 1},
                                         {0},
                                         PoolParams("MAXIMUM", 3, 1, 0),
                                         {},
                                         Int8{0.25f, 3}}};
  try {
    Interpreter::FromBytes(Write(other, {1}));
    ADD_FAILURE() << "other parameters";
  } catch (const ValueError& e) {
    EXPECT_NE(
        std::string(e.what()).find("differ from those of its input layer 'l0'"),
        std::string::npos)
        << e.what();
  }
}

TEST(IntegerKernels, LayoutLayersMoveInt8ElementsSharingTheirParameters) {
  using enum snxf::Op;
  const Int8 p{0.5f, 3};
  const std::vector<int8_t> x = {1, 2, 3, 4, 5, 6};  // [2, 3]
  const struct {
    const char* what;
    LayerSpec layer;
    Shape shape;
    std::vector<int8_t> want;
  } rows[] = {
      {"shuffle",
       {shuffle, {3, 2}, {0}, {{"axes", Shape{1, 0}, Value()}}, {}, p},
       {3, 2},
       {1, 4, 2, 5, 3, 6}},
      {"slice",
       {slice,
        {2, 2},
        {0},
        {{"axes", Shape{1}, Value()},
         {"head", Shape{1}, Value()},
         {"tail", Shape{3}, Value()},
         {"strides", Shape{1}, Value()}},
        {},
        p},
       {2, 2},
       {2, 3, 5, 6}},
      {"concat",
       {concat,
        {2, 6},
        {0, 0},
        {{"axis", std::nullopt, Value(int64_t{1})}},
        {},
        p},
       {2, 6},
       {1, 2, 3, 1, 2, 3, 4, 5, 6, 4, 5, 6}},
  };
  for (const auto& row : rows) {
    LayerSpec layer = row.layer;
    const std::vector<LayerSpec> layers = {Input({2, 3}, {}, p), layer};
    const Interpreter it = Interpreter::FromBytes(Write(layers, {1}));
    const auto y = Int8Values(it.Run({{"l0", Int8Array({2, 3}, x)}})[0].array);
    EXPECT_EQ(y, row.want) << row.what;
  }
  // A concat of inputs of other parameters is refused at load.
  const std::vector<LayerSpec> mixed = {
      Input({2, 3}, {}, p),
      Input({2, 3}, {}, Int8{0.25f, 3}),
      {concat,
       {2, 6},
       {0, 1},
       {{"axis", std::nullopt, Value(int64_t{1})}},
       {},
       p}};
  try {
    Interpreter::FromBytes(Write(mixed, {2}));
    ADD_FAILURE() << "mixed parameters";
  } catch (const ValueError& e) {
    EXPECT_NE(
        std::string(e.what()).find("differ from those of its input layer 'l1'"),
        std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace sarnic

namespace sarnic {
namespace {

TEST(IntegerKernels, PadMeanAndLeakyReluWorkedByHand) {
  using enum snxf::Op;
  const Int8 p{0.5f, 3};
  // Pad: new elements are the pad value quantised: 0.0 is the zero point 3,
  // 1.0 is 1 / 0.5 + 3 = 5.
  for (const auto& [value, fill] : {std::pair{0.0, int8_t{3}}, {1.0, 5}}) {
    const std::vector<LayerSpec> layers = {
        Input({1, 1, 2, 1}, {}, p),
        {pad,
         {1, 1, 4, 1},
         {0},
         {{"head", Shape{0, 0, 1, 0}, Value()},
          {"tail", Shape{0, 0, 1, 0}, Value()},
          {"value", std::nullopt, Value(value)}},
         {},
         p}};
    const Interpreter it = Interpreter::FromBytes(Write(layers, {1}));
    EXPECT_EQ(
        Int8Values(it.Run({{"l0", Int8Array({1, 1, 2, 1}, {5, -3})}})[0].array),
        (std::vector<int8_t>{fill, 5, -3, fill}))
        << value;
  }
  // reduce_mean over H and W: the sum of q over the count, halves away
  // from zero: 2 / 4 → 1, −2 / 4 → −1, 5 / 4 → 1.
  const std::vector<LayerSpec> mean = {
      Input({1, 2, 2, 3}, {}, p),
      {reduce_mean,
       {1, 3},
       {0},
       {{"keep_dims", std::nullopt,
         Value(NdArray::FromValues<int16_t>(DType::kInt16, {1}, {0}))},
        {"axes", Shape{1, 2}, Value()}},
       {},
       p}};
  const Interpreter m = Interpreter::FromBytes(Write(mean, {1}));
  EXPECT_EQ(
      Int8Values(m.Run({{"l0", Int8Array({1, 2, 2, 3}, {1, -1, 1, 2, -2, 2, 0,
                                                        0, 4, -1, 1, -2})}})[0]
                     .array),
      (std::vector<int8_t>{1, -1, 1}));
  // Leaky relu with alpha 0.1 from scale 0.5 to scale 0.25: q −10 is −5.0,
  // −0.5 out, q −2; q 4 is 2.0, q 8.
  const std::vector<LayerSpec> leaky = {Input({1, 2}, {}, Int8{0.5f, 0}),
                                        {leaky_relu,
                                         {1, 2},
                                         {0},
                                         {{"alpha", std::nullopt, Value(0.1)}},
                                         {},
                                         Int8{0.25f, 0}}};
  const Interpreter l = Interpreter::FromBytes(Write(leaky, {1}));
  EXPECT_EQ(Int8Values(l.Run({{"l0", Int8Array({1, 2}, {-10, 4})}})[0].array),
            (std::vector<int8_t>{-2, 8}));
}

}  // namespace
}  // namespace sarnic

namespace sarnic {
namespace {

LayerSpec Floats(Shape shape, std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-1, 1);
  std::vector<float> v(static_cast<std::size_t>(ElementCount(shape)));
  for (float& x : v) x = u(rng);
  return {snxf::Op::constant,
          shape,
          {},
          {{"data", std::nullopt,
            Value(NdArray::FromValues<float>(DType::kFloat32, shape, v))}}};
}

TEST(RuntimeRows, WeightsPackedAtLoadGiveTheBitsOfWeightsPackedAtEachRun) {
  using enum snxf::Op;
  std::mt19937 rng(11);
  // Convolutions (ordinary with relu6, grouped, depthwise), a dense layer
  // and a product with B transposed, each reading constant weights.
  const std::vector<LayerSpec> layers = {
      Input({1, 6, 6, 5}),
      Floats({3, 3, 5, 8}, rng),
      Floats({8}, rng),
      {conv2d, {1, 6, 6, 8}, {0, 1, 2}, ConvParams("relu6", 1, 1, 1)},
      Floats({3, 3, 4, 6}, rng),
      {conv2d, {1, 3, 3, 6}, {3, 4}, ConvParams("linear", 2, 1, 2)},
      Floats({3, 3, 1, 6}, rng),
      Floats({6}, rng),
      {conv2d, {1, 3, 3, 6}, {5, 6, 7}, ConvParams("relu", 1, 1, 6)},
      Floats({6, 40}, rng),
      Floats({40}, rng),
      {dense, {1, 3, 3, 40}, {8, 9, 10}, {{"activation", {}, Value("relu")}}},
      Floats({17, 40}, rng),
      {matmul, {1, 3, 3, 17}, {11, 12}, {{"transpose_b", {}, Value()}}}};
  const std::vector<uint8_t> bytes = Write(layers, {13});
  std::vector<float> x(180);
  std::uniform_real_distribution<float> u(-1, 1);
  for (float& v : x) v = u(rng);
  const std::map<std::string, NdArray> in = {
      {"l0", NdArray::FromValues<float>(DType::kFloat32, {1, 6, 6, 5}, x)}};
  const Interpreter packed = Interpreter::FromBytes(bytes);
  // The least memory limit the model loads under leaves nothing for the
  // packings: each run packs its weights itself.
  uint64_t low = 0, high = packed.RunMemory({});
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    try {
      Interpreter::FromBytes(bytes, {.max_memory = mid});
      high = mid;
    } catch (const ValueError&) {
      low = mid + 1;
    }
  }
  const Interpreter unpacked =
      Interpreter::FromBytes(bytes, {.max_memory = low});
  if (runtime::ActiveKernels() != runtime::Kernels::kPortable) {
    EXPECT_GT(packed.RunMemory({}), unpacked.RunMemory({}));
  }
  const auto a = packed.Run(in), b = unpacked.Run(in);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].array.shape(), (Shape{1, 3, 3, 17}));
  EXPECT_TRUE(a[0].array == b[0].array);
  EXPECT_TRUE(a[0].array ==
              packed.Run(in, {.separate_buffers = true})[0].array);
}

}  // namespace
}  // namespace sarnic
