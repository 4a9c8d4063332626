// Quantisation of small graphs built by hand: the int8 model decoded and its
// fields asserted, run against the float model, with both kinds of io, and
// every refusal of bad samples.
#include "sarnic/quantize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "sarnic/errors.h"
#include "sarnic/fixed_point.h"
#include "sarnic/interpreter.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Decode;
using testing::LayerNamed;
using testing::TestGraph;

std::vector<float> Random(std::size_t n, unsigned seed, float lo, float hi) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

Value Ints(std::vector<int64_t> v) { return Value::IntList(v); }

// x [1,6,6,3] → two convolutions (3x3 with relu, 1x1) → add → multiply by a
// constant → concat of the first convolution and the product → max pool →
// sigmoid → reshape → dense "d" (an output) → softmax "prob" (an output,
// float: softmax has no integer rule).
void SmallNet(TestGraph& g) {
  g.Add("x", "external", {1, 6, 6, 3});
  g.Constant("w1", {3, 3, 3, 4}, Random(108, 1, -0.5f, 0.5f));
  g.Constant("b1", {4}, {0.1f, -0.2f, 0.3f, 0.0f});
  g.Constant("w2", {1, 1, 3, 4}, Random(12, 2, -1, 1));
  g.Constant("b2", {4}, {0, 0.5f, 0, -0.5f});
  g.Constant("k", {4}, {0.5f, -1, 2, 1});
  g.Constant("B", {72, 5}, Random(360, 3, -0.3f, 0.3f));
  g.Constant("bias", {5}, {0.1f, 0.2f, -0.1f, 0, 0.05f});
  const auto conv = [&](const std::string& name, const std::string& w,
                        const std::string& b, const char* act, int64_t pad) {
    g.Add(name, "conv", {1, 6, 6, 4},
          {{"input", Value("x")},
           {"filter", Value(w)},
           {"bias", Value(b)},
           {"stride", Ints({1, 1})},
           {"dilation", Ints({1, 1})},
           {"groups", Value(int64_t{1})},
           {"activation", Value(act)},
           {"head", Ints({0, pad, pad, 0})},
           {"tail", Ints({0, pad, pad, 0})}});
    for (const std::string& in : {std::string("x"), w, b}) g.Edge(in, name);
  };
  conv("c1", "w1", "b1", "relu", 1);
  conv("c2", "w2", "b2", "linear", 0);
  g.Add("s", "add", {1, 6, 6, 4}, {{"x", Value("c1")}, {"y", Value("c2")}});
  g.Add("m", "mul", {1, 6, 6, 4}, {{"x", Value("s")}, {"y", Value("k")}});
  g.Add(
      "cat", "concat", {1, 6, 6, 8},
      {{"values", Value::TextList({"c1", "m"})}, {"axis", Value(int64_t{3})}});
  g.Add("p", "max_pool", {1, 3, 3, 8},
        {{"input", Value("cat")},
         {"size", Ints({1, 2, 2, 1})},
         {"stride", Ints({1, 2, 2, 1})}});
  g.Add("t", "sigmoid", {1, 3, 3, 8}, {{"x", Value("p")}});
  g.Add("r", "reshape", {1, 72}, {{"input", Value("t")}});
  g.Add("d", "dense", {1, 5},
        {{"A", Value("r")}, {"B", Value("B")}, {"bias", Value("bias")}});
  g.Add("prob", "softmax", {1, 5}, {{"x", Value("d")}, {"axes", Ints({1})}});
  for (const auto& [a, b] :
       std::vector<std::pair<const char*, const char*>>{{"c1", "s"},
                                                        {"c2", "s"},
                                                        {"s", "m"},
                                                        {"k", "m"},
                                                        {"c1", "cat"},
                                                        {"m", "cat"},
                                                        {"cat", "p"},
                                                        {"p", "t"},
                                                        {"t", "r"},
                                                        {"r", "d"},
                                                        {"B", "d"},
                                                        {"bias", "d"},
                                                        {"d", "prob"}}) {
    g.Edge(a, b);
  }
  g.orig_inputs = {"x"};
  g.orig_outputs = {"d", "prob"};
}

SampleSet Calibration(int n, unsigned seed = 9) {
  return {{"x", NdArray::FromValues<float>(DType::kFloat32, {n, 6, 6, 3},
                                           Random(n * 108u, seed, -1, 1))}};
}

std::vector<uint8_t> Export(Graph& g) {
  std::ostringstream quiet;
  ExportOptions o;
  o.diagnostics = &quiet;
  const ModelBuffer m = SarnicExporter(g, "q", std::move(o)).run();
  return {m.data(), m.data() + m.size()};
}

float ScaleOf(const snxf::Layer* l) { return l->scale()->Get(0); }
int32_t ZeroOf(const snxf::Layer* l) { return l->zero()->Get(0); }

TEST(Quantize, WritesInt8LayersWeightsPerChannelAndEdgeLayers) {
  TestGraph g;
  SmallNet(g);
  const QuantizedGraph q = Quantize(g, Calibration(60));
  std::vector<uint8_t> bytes = Export(*q.graph);
  const snxf::Model* m = Decode(bytes.data(), bytes.size());
  ASSERT_NE(m, nullptr);
  for (const char* name :
       {"c1", "c2", "s", "m", "cat", "p", "t", "r", "d/int8"}) {
    const snxf::Layer* l = LayerNamed(m, name);
    ASSERT_NE(l, nullptr) << name;
    EXPECT_EQ(l->datatype(), snxf::Datatype::I8) << name;
    ASSERT_EQ(l->scale()->size(), 1u) << name;
  }
  // Weights: int8, one scale per output channel on axis 3, zero points 0.
  const snxf::Layer* w1 = LayerNamed(m, "w1");
  EXPECT_EQ(w1->datatype(), snxf::Datatype::I8);
  EXPECT_EQ(w1->scale()->size(), 4u);
  EXPECT_EQ(w1->axis(), 3);
  for (int32_t z : *w1->zero()) EXPECT_EQ(z, 0);
  EXPECT_EQ(LayerNamed(m, "b1")->datatype(), snxf::Datatype::I32);
  EXPECT_EQ(LayerNamed(m, "B")->scale()->size(), 5u);
  // The input enters through a quant layer; the output "d" is a dequant of
  // its int8 layer, with exactly its parameters; softmax stays float.
  const snxf::Layer* xq = LayerNamed(m, "x/quant");
  EXPECT_EQ(xq->type(), snxf::Op::quant);
  const snxf::Layer* d = LayerNamed(m, "d");
  EXPECT_EQ(d->type(), snxf::Op::dequant);
  EXPECT_EQ(ScaleOf(d), ScaleOf(LayerNamed(m, "d/int8")));
  EXPECT_EQ(ZeroOf(d), ZeroOf(LayerNamed(m, "d/int8")));
  EXPECT_NE(LayerNamed(m, "prob")->datatype(), snxf::Datatype::I8);
  // Sigmoid's output parameters are fixed; pooling, reshape keep their
  // input's; the concat's inputs share its parameters.
  EXPECT_EQ(ScaleOf(LayerNamed(m, "t")), 1.0f / 256);
  EXPECT_EQ(ZeroOf(LayerNamed(m, "t")), -128);
  EXPECT_EQ(ScaleOf(LayerNamed(m, "p")), ScaleOf(LayerNamed(m, "cat")));
  EXPECT_EQ(ScaleOf(LayerNamed(m, "r")), ScaleOf(LayerNamed(m, "t")));
  EXPECT_EQ(ScaleOf(LayerNamed(m, "m")), ScaleOf(LayerNamed(m, "cat")));
  // c1 is read by the add too, so it keeps its own parameters and reaches
  // the concat requantised, which the report says.
  EXPECT_NE(ScaleOf(LayerNamed(m, "c1")), ScaleOf(LayerNamed(m, "cat")));
  bool said = false;
  for (const std::string& n : q.report.notes) {
    said = said || n.find("'c1' is requantised") != std::string::npos;
  }
  EXPECT_TRUE(said);
  ASSERT_EQ(q.report.float_islands.size(), 1u);
  EXPECT_EQ(q.report.float_islands[0], std::vector<std::string>{"prob"});
  // The fused relu was calibrated after the activation: zero point −128.
  EXPECT_EQ(ZeroOf(LayerNamed(m, "c1")), -128);
}

TEST(Quantize, TheInt8ModelStaysWithinAFewStepsOfTheFloatModel) {
  TestGraph g;
  SmallNet(g);
  const QuantizedGraph q = Quantize(g, Calibration(60), {}, nullptr);
  const SampleSet held_out = Calibration(40, 77);
  const QuantizedGraph v = Quantize(g, Calibration(60), {}, &held_out);
  ASSERT_EQ(v.report.outputs.size(), 4u);  // two outputs, two sets
  for (const OutputError& e : v.report.outputs) {
    if (e.output == "d") {
      ASSERT_TRUE(e.max_steps.has_value());
      EXPECT_LT(*e.max_steps, 8.0) << e.set;
      EXPECT_GT(e.cosine, 0.99) << e.set;
      EXPECT_GT(e.sqnr_db, 20.0) << e.set;
    }
    EXPECT_GE(e.top1_agreement.value_or(0), 0.85) << e.output << " " << e.set;
  }
  EXPECT_EQ(v.report.validation_samples, 40);
  EXPECT_GT(v.report.float_flash, v.report.int8_flash);
  EXPECT_FALSE(v.report.layers.empty());
  for (const LayerError& l : v.report.layers) {
    EXPECT_GE(l.clipped, 0.0);
    EXPECT_LE(l.clipped, 0.0) << l.layer << ": calibrated ranges clip nothing";
  }
  // The JSON says the same.
  EXPECT_NE(v.report.Json().find("\"top1_agreement\""), std::string::npos);
  EXPECT_NE(v.report.Text().find("float island"), std::string::npos);
}

TEST(Quantize, Int8IoIsTheSameModelWithoutItsEdgeLayers) {
  TestGraph g;
  SmallNet(g);
  QuantizeOptions int8_io;
  int8_io.io = "int8";
  const QuantizedGraph f = Quantize(g, Calibration(60));
  const QuantizedGraph q = Quantize(g, Calibration(60), int8_io);
  const Interpreter fm = Interpreter::FromBytes(Export(*f.graph));
  const Interpreter qm = Interpreter::FromBytes(Export(*q.graph));
  ASSERT_EQ(qm.inputs().size(), 1u);
  EXPECT_EQ(qm.inputs()[0].name, "x");
  EXPECT_EQ(qm.inputs()[0].dtype, DType::kInt8);
  ASSERT_EQ(qm.outputs().size(), 2u);
  EXPECT_EQ(qm.outputs()[0].name, "d");
  EXPECT_EQ(qm.outputs()[0].dtype, DType::kInt8);
  const auto* x = q.graph->qm_nx_graph.node("x").find("quant_scale");
  const auto* xz = q.graph->qm_nx_graph.node("x").find("zero_point");
  ASSERT_TRUE(x && xz);
  const float s = static_cast<float>(x->as_array().GetDouble(0));
  const auto z = xz->as_array().GetInt(0);
  const auto* ds = q.graph->qm_nx_graph.node("d").find("quant_scale");
  const auto* dz = q.graph->qm_nx_graph.node("d").find("zero_point");
  const SampleSet in = Calibration(5, 31);
  const auto* real = reinterpret_cast<const float*>(in.at("x").data());
  for (int i = 0; i < 5; ++i) {
    NdArray fx = NdArray::FromValues<float>(
        DType::kFloat32, {1, 6, 6, 3},
        std::vector<float>(real + i * 108, real + (i + 1) * 108));
    std::vector<int8_t> qv(108);
    for (int k = 0; k < 108; ++k) {
      // The quant rule: halves to even, then the clamp.
      const double r =
          std::nearbyint(real[i * 108 + k] / s) + static_cast<double>(z);
      qv[static_cast<std::size_t>(k)] =
          static_cast<int8_t>(std::clamp(r, -128.0, 127.0));
    }
    const auto fo = fm.Run({{"x", fx}});
    const auto qo = qm.Run(
        {{"x", NdArray::FromValues<int8_t>(DType::kInt8, {1, 6, 6, 3}, qv)}});
    for (int64_t k = 0; k < 5; ++k) {
      const double deq =
          ds->as_array().GetDouble(0) *
          static_cast<double>(qo[0].array.GetInt(k) - dz->as_array().GetInt(0));
      EXPECT_EQ(static_cast<float>(deq),
                static_cast<float>(fo[0].array.GetDouble(k)))
          << "sample " << i << " element " << k;
    }
  }
}

TEST(Quantize, KeepFloatLeavesANodeInFloatBetweenDequantAndQuant) {
  TestGraph g;
  SmallNet(g);
  QuantizeOptions o;
  o.keep_float = {"s"};
  const QuantizedGraph q = Quantize(g, Calibration(60), o);
  const DiGraph& out = q.graph->qm_nx_graph;
  EXPECT_FALSE(out.node("s").contains("quant_scale"));
  EXPECT_EQ(out.node("s").at("x").as_text(), "c1/dequant");
  EXPECT_EQ(out.node("m").at("x").as_text(), "s/quant");
  ASSERT_EQ(q.report.float_islands.size(), 2u);
  EXPECT_EQ(q.report.float_islands[0], std::vector<std::string>{"s"});
  o.keep_float = {"nowhere"};
  EXPECT_THROW(Quantize(g, Calibration(60), o), ValueError);
}

TEST(Quantize, RefusesBadSamplesNamingWhatIsWrong) {
  TestGraph g;
  SmallNet(g);
  const auto error = [&](SampleSet set, QuantizeOptions o = {}) {
    try {
      Quantize(g, set, o);
    } catch (const ValueError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  SampleSet nan = Calibration(3);
  {
    NdArray a = NdArray::Zeros(DType::kFloat32, {3, 6, 6, 3});
    reinterpret_cast<float*>(a.mutable_data())[108 + 5] = NAN;
    nan["x"] = a;
  }
  SampleSet extra = Calibration(3);
  extra["y"] = NdArray::Zeros(DType::kFloat32, {3});
  QuantizeOptions bad_method;
  bad_method.method = "kl";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {error({}), "no array for the model's input 'x'"},
      {error(extra), "an array 'y', which is no input"},
      {error({{"x", NdArray::Zeros(DType::kFloat32, {3, 6, 3})}}),
       "so its samples are stacked as [N, 6, 6, 3]"},
      {error({{"x", NdArray::Zeros(DType::kFloat64, {3, 6, 6, 3})}}),
       "holds float64 data"},
      {error(nan), "NaN in sample 1"},
      {error({{"x", NdArray::Zeros(DType::kFloat32, {0, 6, 6, 3})}}),
       "holds no samples"},
      {error(Calibration(3), bad_method), "calibration method must be"},
  };
  for (const auto& [got, want] : cases) {
    EXPECT_NE(got.find(want), std::string::npos) << got;
  }
  // Too few samples is a warning, not a refusal.
  EXPECT_EQ(Quantize(g, Calibration(10)).report.warnings.size(), 1u);
}

TEST(Quantize, ARangeThatIsNotFiniteIsRefusedNamingTheLayer) {
  TestGraph g;
  g.Add("x", "external", {1, 4});
  g.Add("e", "exp", {1, 4}, {{"x", Value("x")}});
  g.Edge("x", "e");
  g.orig_inputs = {"x"};
  g.orig_outputs = {"e"};
  const SampleSet big = {{"x", NdArray::FromValues<float>(
                                   DType::kFloat32, {1, 4}, {1, 2, 100, 3})}};
  try {
    Quantize(g, big);
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("layer 'e' computes NaN or infinity"),
              std::string::npos)
        << e.what();
  }
}

TEST(Quantize, AProductWithConstantWeightsAndItsBiasAddBecomeOneDense) {
  TestGraph g;
  g.Add("x", "external", {1, 3});
  g.Constant("W", {2, 3}, {1, 2, 3, -1, -2, -3});  // transposed: [M, K]
  g.Constant("b", {2}, {0.5f, -0.5f});
  g.Add("prod", "matmul", {1, 2},
        {{"A", Value("x")},
         {"B", Value("W")},
         {"transposeA", Value("False")},
         {"transposeB", Value("True")}});
  g.Add("y", "add", {1, 2}, {{"x", Value("prod")}, {"y", Value("b")}});
  for (const auto& [a, b] : std::vector<std::pair<const char*, const char*>>{
           {"x", "prod"}, {"W", "prod"}, {"prod", "y"}, {"b", "y"}}) {
    g.Edge(a, b);
  }
  g.orig_inputs = {"x"};
  g.orig_outputs = {"y"};
  const SampleSet calib = {
      {"x", NdArray::FromValues<float>(DType::kFloat32, {60, 3},
                                       Random(180, 4, -1, 1))}};
  const QuantizedGraph q = Quantize(g, calib);
  const DiGraph& out = q.graph->qm_nx_graph;
  EXPECT_FALSE(out.has_node("prod"));
  const AttrDict& dense = out.node("y/int8");
  EXPECT_EQ(dense.at("op").as_text(), "dense");
  EXPECT_EQ(dense.at("B").as_text(), "W");
  EXPECT_EQ(dense.at("bias").as_text(), "b");
  EXPECT_EQ(q.graph->tensor_dict.at("W").shape(), (Shape{3, 2}));
  // Column 1 is [−1, −2, −3]: scale 3 / 127.
  EXPECT_EQ(q.graph->tensor_dict.at("W").GetInt(1), -42);
  EXPECT_EQ(q.graph->tensor_dict.at("W").GetInt(5), -127);
  EXPECT_TRUE(q.report.float_islands.empty());
  for (const OutputError& e : q.report.outputs) {
    EXPECT_LT(e.max_steps.value_or(99), 1.5);
  }
}

}  // namespace
}  // namespace sarnic

namespace sarnic {
namespace {

// One operation with its attributes, as a single-layer graph over inputs
// "a" (and "b") of `shape`.
struct OneOp {
  const char* op;
  std::vector<int64_t> out;
  std::vector<std::pair<std::string, Value>> attrs;
  bool two_inputs = false;
};

TEST(Quantize, EachIntegerRuleIsWithinOneStepOfFloatOnRepresentableInputs) {
  const std::vector<int64_t> in = {1, 4, 4, 3};
  const std::vector<OneOp> ops = {
      {"relu", in, {{"x", Value("a")}}},
      {"relu6", in, {{"x", Value("a")}}},
      {"sigmoid", in, {{"x", Value("a")}}},
      {"tanh", in, {{"x", Value("a")}}},
      {"abs", in, {{"x", Value("a")}}},
      {"exp", in, {{"x", Value("a")}}},
      {"leaky_relu", in, {{"x", Value("a")}, {"alpha", Value(0.1)}}},
      {"swish",
       in,
       {{"x", Value("a")}, {"beta", Value(1.5)}, {"hard", Value(0.0)}}},
      {"swish",
       in,
       {{"x", Value("a")}, {"beta", Value(1.0)}, {"hard", Value(1.0)}}},
      {"add", in, {{"x", Value("a")}, {"y", Value("b")}}, true},
      {"sub", in, {{"x", Value("a")}, {"y", Value("b")}}, true},
      {"mul", in, {{"x", Value("a")}, {"y", Value("b")}}, true},
      {"max_pool",
       {1, 2, 2, 3},
       {{"input", Value("a")},
        {"size", Ints({1, 2, 2, 1})},
        {"stride", Ints({1, 2, 2, 1})}}},
      {"avg_pool",
       {1, 2, 2, 3},
       {{"input", Value("a")},
        {"size", Ints({1, 3, 3, 1})},
        {"stride", Ints({1, 2, 2, 1})},
        {"head", Ints({0, 1, 1, 0})},
        {"tail", Ints({0, 0, 0, 0})}}},
      {"pad",
       {1, 6, 5, 3},
       {{"input", Value("a")},
        {"head", Ints({0, 1, 0, 0})},
        {"tail", Ints({0, 1, 1, 0})},
        {"value", Value(0.0)}}},
      {"resize",
       {1, 8, 8, 3},
       {{"input", Value("a")},
        {"mode", Value(int64_t{0})},
        {"align_corners", Value(false)},
        {"half_pixel_centers", Value(false)}}},
      {"mean_reduce", {1, 3}, {{"input", Value("a")}, {"axes", Ints({1, 2})}}},
      {"transpose",
       {1, 3, 4, 4},
       {{"input", Value("a")}, {"axes", Ints({0, 3, 1, 2})}}},
      {"slice",
       {1, 2, 4, 3},
       {{"input", Value("a")},
        {"axes", Ints({1})},
        {"begin", Ints({1})},
        {"end", Ints({3})}}},
      {"reshape", {1, 48}, {{"input", Value("a")}}},
  };
  for (const OneOp& o : ops) {
    SCOPED_TRACE(o.op);
    TestGraph g;
    g.Add("a", "external", in);
    if (o.two_inputs) g.Add("b", "external", in);
    AttrDict& node = g.Add("y", o.op, o.out);
    for (const auto& [k, v] : o.attrs) node.set(k, v);
    g.Edge("a", "y");
    if (o.two_inputs) g.Edge("b", "y");
    g.orig_inputs = o.two_inputs ? std::vector<std::string>{"a", "b"}
                                 : std::vector<std::string>{"a"};
    g.orig_outputs = {"y"};
    SampleSet calib = {
        {"a", NdArray::FromValues<float>(DType::kFloat32, {60, 4, 4, 3},
                                         Random(60 * 48, 5, -2, 3))}};
    if (o.two_inputs) {
      calib["b"] = NdArray::FromValues<float>(DType::kFloat32, {60, 4, 4, 3},
                                              Random(60 * 48, 6, -1, 1));
    }
    QuantizeOptions int8_io;
    int8_io.io = "int8";
    const QuantizedGraph q = Quantize(g, calib, int8_io);
    ASSERT_TRUE(q.report.float_islands.empty());
    const Interpreter fm = Interpreter::FromBytes(Export(g));
    const Interpreter qm = Interpreter::FromBytes(Export(*q.graph));
    const auto params = [&](const std::string& n) {
      const AttrDict& a = q.graph->qm_nx_graph.node(n);
      return fixed_point::QuantParams{
          static_cast<float>(a.at("quant_scale").as_array().GetDouble(0)),
          static_cast<int32_t>(a.at("zero_point").as_array().GetInt(0))};
    };
    const fixed_point::QuantParams out = params("y");
    std::mt19937 rng(8);
    for (int sample = 0; sample < 5; ++sample) {
      std::map<std::string, NdArray> fin, qin;
      for (const std::string& name : g.orig_inputs) {
        const fixed_point::QuantParams p = params(name);
        std::vector<int8_t> qv(48);
        std::vector<float> fv(48);
        for (std::size_t k = 0; k < qv.size(); ++k) {
          qv[k] = static_cast<int8_t>(static_cast<int>(rng() % 256) - 128);
          fv[k] = p.scale * static_cast<float>(qv[k] - p.zero_point);
        }
        fin[name] = NdArray::FromValues<float>(DType::kFloat32, in, fv);
        qin[name] = NdArray::FromValues<int8_t>(DType::kInt8, in, qv);
      }
      const NdArray f = fm.Run(fin)[0].array;
      const NdArray r = qm.Run(qin)[0].array;
      ASSERT_EQ(f.size(), r.size());
      const double lo = out.scale * (-128.0 - out.zero_point);
      const double hi = out.scale * (127.0 - out.zero_point);
      for (int64_t k = 0; k < f.size(); ++k) {
        const double want = std::clamp(f.GetDouble(k), lo, hi);
        const double got =
            out.scale * static_cast<double>(r.GetInt(k) - out.zero_point);
        EXPECT_LE(std::fabs(got - want), out.scale * 1.0001)
            << "element " << k << ": float " << f.GetDouble(k);
      }
    }
  }
}

}  // namespace
}  // namespace sarnic
