// The ONNX importer from C++ (and so under the sanitizers): the fuzz seeds
// and the small real networks imported, exported, decoded and run in their
// arena; where the layout conversion puts transposes.
#include <gtest/gtest.h>

#include <filesystem>

#include "onnx/converter.h"
#include "sarnic/onnx_import.h"
#include "test_util.h"

namespace sarnic {
namespace {

namespace fs = std::filesystem;

int CountOps(const Graph& g, const std::string& op) {
  int count = 0;
  for (const std::string& name : g.qm_nx_graph.nodes()) {
    if (g.qm_nx_graph.node(name).find("op")->as_text() == op) ++count;
  }
  return count;
}

struct Case {
  std::string file;
  std::map<std::string, int64_t> dims;
};

class ImportAndRun : public ::testing::TestWithParam<Case> {};

TEST_P(ImportAndRun, ExportsVerifiesAndRunsInItsArena) {
  const fs::path path = fs::path(SARNIC_SOURCE_DIR) / GetParam().file;
  if (!fs::exists(path)) GTEST_FAIL() << path << " is missing (make setup)";
  for (const bool nhwc_io : {false, true}) {
    OnnxOptions options{GetParam().dims, nhwc_io};
    auto graph = ImportOnnx(path.string(), options);
    SarnicExporter e(*graph, "m");
    const ModelBuffer model = e.run();
    const snxf::Model* m = testing::Decode(model);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(
        testing::ExpectArenaMatchesSeparateBuffers(model.data(), model.size()))
        << "the interpreter refused " << path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SeedsAndNetworks, ImportAndRun,
    ::testing::Values(Case{"fuzz/corpus/onnx/cnn.onnx", {{"batch", 2}}},
                      Case{"fuzz/corpus/onnx/layout.onnx", {{"batch", 2}}},
                      Case{"fuzz/corpus/onnx/mlp.onnx", {{"batch", 2}}},
                      Case{"fuzz/corpus/onnx/clip.onnx", {{"n", 3}}},
                      Case{"tests/networks/models/ocr_classifier.onnx",
                           {{"p2o.DynamicDimension.0", 1},
                            {"p2o.DynamicDimension.1", 48},
                            {"p2o.DynamicDimension.2", 96}}},
                      Case{"tests/networks/models/wake_word_hello.onnx", {}}));

// Convolution, normalisation and pooling stay in NHWC between each other:
// the only transpose is the input's, and none with NHWC inputs.
TEST(Layout, TransposesOnlyAtTheBoundary) {
  const fs::path path =
      fs::path(SARNIC_SOURCE_DIR) / "fuzz/corpus/onnx/cnn.onnx";
  OnnxOptions options{{{"batch", 2}}, false};
  EXPECT_EQ(CountOps(*ImportOnnx(path.string(), options), "transpose"), 1);
  options.nhwc_io = true;
  auto nhwc = ImportOnnx(path.string(), options);
  EXPECT_EQ(CountOps(*nhwc, "transpose"), 0);
  const std::string input = nhwc->orig_inputs.at(0);
  EXPECT_EQ(*nhwc->qm_nx_graph.node(input).find("output_shape"),
            Value::IntList({2, 8, 8, 3}));
}

// A value that fixes nothing is refused, unless the caller gives one set of
// values to many models.
TEST(Dims, AValueThatFixesNothingIsRefusedUnlessToldOtherwise) {
  const fs::path path =
      fs::path(SARNIC_SOURCE_DIR) / "fuzz/corpus/onnx/cnn.onnx";
  OnnxOptions options{{{"batch", 2}, {"nope", 1}}, false};
  try {
    (void)ImportOnnx(path.string(), options);
    ADD_FAILURE() << "a misspelt dimension was passed over";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find(
                  "nope names no dynamic dimension of an input"),
              std::string::npos)
        << e.what();
  }
  options.strict_dims = false;
  EXPECT_GT(ImportOnnx(path.string(), options)->qm_nx_graph.number_of_nodes(),
            0u);
}

// Each folded value is small, but their total is held to what a model can
// hold: the node that passes it is named, and nothing before it fails.
TEST(Folding, TheTotalOfFoldedValuesIsBounded) {
  Graph g;
  onnx_import::Converter c(g, "m.onnx");
  onnx::NodeProto n;
  n.set_name("grow");
  n.set_op_type("Add");
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  c.AddFoldedBytes(n, kGiB);
  c.AddFoldedBytes(n, onnx_import::Converter::kMaxFoldedBytes - kGiB);
  try {
    c.AddFoldedBytes(n, 1);
    ADD_FAILURE() << "one byte past the bound was taken";
  } catch (const FormatError& e) {
    EXPECT_EQ(std::string(e.what()),
              "m.onnx: node 'grow' (Add): brings the values computed at import "
              "to 2147483649 bytes, more than a model can hold (2147483648)");
  }
}

}  // namespace
}  // namespace sarnic
