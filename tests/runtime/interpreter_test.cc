// The interpreter on exported models: the planned arena against a buffer
// per output on random graphs with both planners, a plan broken on purpose,
// and the refusals.
#include "sarnic/interpreter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "sarnic/errors.h"
#include "sarnic/graph_file.h"
#include "test_util.h"

namespace sarnic::testing {
namespace {

// A random graph of same-shaped layers over one input: relus, adds and
// products of the last layer with a random earlier one, 1×1 convolutions
// and 3×3 max pools, so that many outputs are live at once.
void RandomGraph(TestGraph& g, unsigned seed, int layers) {
  std::mt19937 rng(seed);
  const std::vector<int64_t> shape = {1, 8, 8, 4};
  g.Add("x", "external", shape);
  g.Constant("w", {1, 1, 4, 4}, std::vector<float>(16, 0.25f));
  std::vector<std::string> names = {"x"};
  for (int i = 0; i < layers; ++i) {
    const std::string name = "l" + std::to_string(i), last = names.back();
    const std::string other = names[rng() % names.size()];
    switch (rng() % 5) {
      case 0:
        g.Add(name, "relu", shape, {{"x", Value(last)}});
        break;
      case 1:
        g.Add(name, "add", shape, {{"x", Value(last)}, {"y", Value(other)}});
        g.Edge(other, name);
        break;
      case 2:
        g.Add(name, "mul", shape, {{"x", Value(last)}, {"y", Value(other)}});
        g.Edge(other, name);
        break;
      case 3:
        g.Add(name, "conv", shape,
              {{"input", Value(last)},
               {"filter", Value("w")},
               {"stride", Value::IntList({1, 1})},
               {"dilation", Value::IntList({1, 1})},
               {"groups", Value(int64_t{1})}});
        g.Edge("w", name);
        break;
      default:
        g.Add(name, "max_pool", shape,
              {{"input", Value(last)},
               {"size", Value::IntList({3, 3})},
               {"stride", Value::IntList({1, 1})},
               {"head", Value::IntList({0, 1, 1, 0})},
               {"tail", Value::IntList({0, 1, 1, 0})}});
    }
    g.Edge(last, name);
    names.push_back(name);
  }
  g.orig_inputs = {"x"};
  g.orig_outputs = {names.back()};
}

std::vector<uint8_t> Bytes(const ModelBuffer& m) {
  return {m.data(), m.data() + m.size()};
}

ModelBuffer ExportPlanned(TestGraph& g, const std::string& planner) {
  std::ostringstream out;
  ExportOptions o = Quiet(out, /*mem_map=*/true);
  o.planner = planner;
  return SarnicExporter(g, "m", o).run();
}

TEST(Interpreter, ArenaEqualsSeparateBuffersOnRandomGraphsWithBothPlanners) {
  for (const char* planner : {"standard", "best"}) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
      TestGraph g;
      RandomGraph(g, seed, 10 + 3 * static_cast<int>(seed));
      const ModelBuffer model = ExportPlanned(g, planner);
      ASSERT_NE(Decode(model), nullptr);
      // The model ran (Decode ran the comparison): the check is live.
      EXPECT_TRUE(ExpectArenaMatchesSeparateBuffers(model.data(), model.size()))
          << planner << " seed " << seed;
      const Interpreter it = Interpreter::FromBytes(Bytes(model));
      EXPECT_GT(it.arena_bytes(), 0u);
    }
  }
}

// The byte address of a layer's block field (through the table's vtable),
// to break a plan.
uint8_t* BlockField(std::vector<uint8_t>& model, const std::string& layer) {
  const snxf::Layer* l = LayerNamed(snxf::GetModel(model.data()), layer);
  const auto* table = reinterpret_cast<const uint8_t*>(l);
  const uint8_t* vtable =
      table - flatbuffers::ReadScalar<flatbuffers::soffset_t>(table);
  const auto field = flatbuffers::ReadScalar<flatbuffers::voffset_t>(
      vtable + snxf::Layer::VT_BLOCK);
  EXPECT_NE(field, 0) << layer << " has no block";
  return model.data() + (table - model.data()) + field;
}

TEST(Interpreter, APlanThatOverlapsLiveOutputsShowsAsADifference) {
  TestGraph g;
  g.Add("x", "external", {1, 16, 16, 4});
  g.Add("a", "relu", {1, 16, 16, 4}, {{"x", Value("x")}});
  g.Add("b", "exp", {1, 16, 16, 4}, {{"x", Value("a")}});
  g.Add("c", "add", {1, 16, 16, 4}, {{"x", Value("b")}, {"y", Value("a")}});
  for (auto [from, to] :
       {std::pair{"x", "a"}, {"a", "b"}, {"b", "c"}, {"a", "c"}}) {
    g.Edge(from, to);
  }
  g.orig_inputs = {"x"};
  g.orig_outputs = {"c"};
  std::vector<uint8_t> model = Bytes(ExportPlanned(g, "standard"));
  ASSERT_TRUE(ExpectArenaMatchesSeparateBuffers(model.data(), model.size()));
  // b over a, which c still reads.
  std::memcpy(BlockField(model, "b"), BlockField(model, "a"), 4);
  const Interpreter it = Interpreter::FromBytes(model);
  const auto inputs = SeededInputs(it);
  EXPECT_FALSE(it.Run(inputs)[0].array ==
               it.Run(inputs, {false, true})[0].array);
}

TEST(Interpreter, TheExampleSumsToOneInBothModes) {
  const auto g = LoadGraph(SARNIC_EXAMPLES_DIR "/mobilenet/mobilenet.json");
  std::ostringstream out;
  const ModelBuffer model = SarnicExporter(*g, "m", Quiet(out, true)).run();
  const Interpreter it = Interpreter::FromBytes(Bytes(model));
  const auto result = it.Run(SeededInputs(it));
  ASSERT_EQ(result.size(), 1u);
  double sum = 0;
  for (int64_t i = 0; i < result[0].array.size(); ++i) {
    sum += result[0].array.GetDouble(i);
  }
  EXPECT_NEAR(sum, 1.0, 1e-5);
}

std::string LoadError(TestGraph& g) {
  std::ostringstream out;
  const ModelBuffer model = SarnicExporter(g, "m", Quiet(out, true)).run();
  try {
    Interpreter::FromBytes(Bytes(model));
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

TEST(Interpreter, RefusesWhatItCannotRunNamingTheLayer) {
  struct Case {
    const char* op;
    std::vector<std::pair<std::string, Value>> attrs;
    std::vector<int64_t> shape;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"cos", {}, {2, 3}, "layer 'y' (none): cannot be run"},
      {"sqrt",
       {{"datatype", Value("int8")}},
       {2, 3},
       "has datatype int8: the interpreter computes this layer type in "
       "float32 only"},
      {"relu",
       {{"datatype", Value("int8")}},
       {2, 3},
       "is int8 but reads float32 data from layer 'x'"},
      {"relu", {}, {3, 2}, "computes [2, 3] but its stored shape is [3, 2]"},
      {"add", {{"y", Value("x")}}, {2, 4}, "computes [2, 3]"},
      {"relu6", {}, {2, 3, 1}, "stored shape is [2, 3, 1]"},
  };
  for (const Case& c : cases) {
    TestGraph g;
    g.Add("x", "external", {2, 3});
    AttrDict& y = g.Add("y", c.op, c.shape, {{"x", Value("x")}});
    for (const auto& [k, v] : c.attrs) y.set(k, v);
    g.Edge("x", "y");
    g.orig_inputs = {"x"};
    g.orig_outputs = {"y"};
    EXPECT_NE(LoadError(g).find(c.message), std::string::npos)
        << c.op << ": " << LoadError(g);
  }
  EXPECT_THROW(Interpreter::FromBytes({1, 2, 3, 4, 'S', 'N', 'X', 'F'}),
               FormatError);
}

TEST(Interpreter, RunRefusesInputsOfAnotherShapeOrType) {
  TestGraph g;
  g.Add("x", "external", {2, 3});
  g.Add("y", "relu", {2, 3}, {{"x", Value("x")}});
  g.Edge("x", "y");
  g.orig_inputs = {"x"};
  g.orig_outputs = {"y"};
  std::ostringstream out;
  const ModelBuffer model = SarnicExporter(g, "m", Quiet(out, true)).run();
  const Interpreter it = Interpreter::FromBytes(Bytes(model));
  std::map<std::string, NdArray> inputs;
  inputs.emplace("x", NdArray::Zeros(DType::kFloat64, {2, 3}));
  inputs.emplace("z", NdArray::Zeros(DType::kFloat32, {2, 3}));
  const auto problems = it.InputProblems(inputs);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0],
            "input 'x' is float64 [2, 3] but the model takes float32 [2, 3]");
  EXPECT_EQ(problems[1], "the model has no input 'z'");
  EXPECT_THROW(it.Run(inputs), ValueError);
}

}  // namespace
}  // namespace sarnic::testing
