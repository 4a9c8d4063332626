#include <gtest/gtest.h>

#include "io/temp_dir.h"
#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Decode;
using testing::Ints;

class Svm : public testing::TempDir {
 protected:
  // Writes kld.json and the seven .bin files for K, L, D.
  void Files(int64_t k, int64_t l, int64_t d) {
    Write("kld.json", "{\"K\": " + std::to_string(k) +
                          ", \"L\": " + std::to_string(l) +
                          ", \"D\": " + std::to_string(d) + "}");
    const int64_t p = k * (k - 1) / 2;
    const std::pair<const char*, int64_t> counts[] = {{"alpha", (k - 1) * l},
                                                      {"a", p},
                                                      {"b", p},
                                                      {"sv", l * d},
                                                      {"nsv", k},
                                                      {"rho", p},
                                                      {"label", k}};
    for (const auto& [key, n] : counts) Floats(key, n);
  }
  void Floats(const std::string& key, int64_t n) {
    std::vector<float> v(static_cast<std::size_t>(n));
    for (int64_t i = 0; i < n; ++i) v[i] = static_cast<float>(i) + 0.5f;
    Write(key + ".bin",
          std::string(reinterpret_cast<const char*>(v.data()), v.size() * 4));
  }
  ModelBuffer Export(const std::string& dir) {
    graph_.Add("in", "external", {1, 4});
    graph_.Add("output", "relu", {1, 4}, {{"x", Value("in")}});
    graph_.Edge("in", "output");
    graph_.orig_outputs = {"output"};
    std::ostringstream out;
    ExportOptions o = testing::Quiet(out);
    o.svm = dir;
    SarnicExporter e(graph_, "m", std::move(o));
    return e.run();
  }
  testing::TestGraph graph_;
};

std::vector<int32_t> ShapeOf(const snxf::Model* m, unsigned i) {
  return Ints(m->layers()->Get(i)->shape());
}

TEST_F(Svm, ThreeClassesShapesPositionsAndInputs) {
  Files(3, 10, 4);
  const ModelBuffer buf = Export(dir_.string());
  const auto* m = Decode(buf);
  ASSERT_EQ(m->layers()->size(), 2u + 10u);
  const unsigned n = 2;  // layers before the head
  const char* names[] = {"svm_alpha",    "svm_a",     "svm_b",     "svm_sv",
                         "svm_nsv",      "svm_rho",   "svm_label", "svm_kernel",
                         "svm_decision", "svm_output"};
  for (unsigned i = 0; i < 10; ++i) {
    EXPECT_EQ(m->layers()->Get(n + i)->name()->str(), names[i]);
  }
  const std::vector<std::vector<int32_t>> shapes = {
      {2, 10}, {3, 1}, {3, 1},  {10, 4}, {3, 1},
      {3, 1},  {3, 1}, {3, 10}, {3, 1},  {3, 1}};
  for (unsigned i = 0; i < 10; ++i)
    EXPECT_EQ(ShapeOf(m, n + i), shapes[i]) << i;
  for (unsigned i = 0; i < 7; ++i) {
    const auto* l = m->layers()->Get(n + i);
    EXPECT_EQ(l->type(), snxf::Op::constant);
    const auto* data = l->params()->Get(0);
    EXPECT_EQ(data->name()->str(), "data");
    EXPECT_EQ(Ints(data->shape()), shapes[i]);
    EXPECT_EQ(data->data_f32()->Get(0), 0.5f);
    EXPECT_EQ(l->inputs(), nullptr);
    EXPECT_FALSE(l->datatype().has_value());
  }
  const auto* kernel = m->layers()->Get(n + 7);
  EXPECT_EQ(kernel->type(), snxf::Op::svm_update_kernel);
  EXPECT_EQ(Ints(kernel->inputs()), (std::vector<uint32_t>{1, n + 3, n + 4}));
  const auto* decision = m->layers()->Get(n + 8);
  EXPECT_EQ(decision->type(), snxf::Op::svm_decision_stats);
  EXPECT_EQ(Ints(decision->inputs()), (std::vector<uint32_t>{n + 7, n, n + 5}));
  const auto* output = m->layers()->Get(n + 9);
  EXPECT_EQ(output->type(), snxf::Op::svm_soft_probability);
  EXPECT_EQ(Ints(output->inputs()),
            (std::vector<uint32_t>{n + 8, n + 1, n + 2}));
  EXPECT_EQ(output->params(), nullptr);
}

TEST_F(Svm, TwoClassesAndTheTrailingSlashReadTheSameFiles) {
  Files(2, 5, 3);
  const ModelBuffer plain = Export(dir_.string());
  testing::TestGraph again;
  graph_.qm_nx_graph = DiGraph();
  const ModelBuffer slash = Export(dir_.string() + "/");
  const auto* m = Decode(plain);
  EXPECT_EQ(ShapeOf(m, 2), (std::vector<int32_t>{1, 5}));  // [K - 1, L]
  EXPECT_EQ(ShapeOf(m, 3), (std::vector<int32_t>{1, 1}));  // P = 1
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(plain.data()), plain.size()),
      std::string(reinterpret_cast<const char*>(slash.data()), slash.size()));
}

TEST_F(Svm, FileErrors) {
  const struct {
    const char* what;
    std::string kld;
    const char* bin_key;  // written with a wrong size
    std::string bin;
    const char* needle;
  } cases[] = {
      {"K missing", R"({"L":2,"D":2})", nullptr, "",
       "kld.json lacks the member K"},
      {"L not an integer", R"({"K":2,"L":2.5,"D":2})", nullptr, "",
       "kld.json member is not an integer: L"},
      {"K below two", R"({"K":1,"L":2,"D":2})", nullptr, "", "K = 1"},
      {"D not positive", R"({"K":2,"L":2,"D":0})", nullptr, "", "D = 0"},
      {"not JSON", "{K:", nullptr, "", "kld.json is not a JSON object"},
      {"length not a multiple of 4", R"({"K":2,"L":2,"D":2})", "sv",
       std::string(7, '\0'), "not a multiple of 4"},
      {"one value too many", R"({"K":2,"L":2,"D":2})", "sv",
       std::string(20, '\0'), "expected 4, found 5"},
  };
  for (const auto& c : cases) {
    Files(2, 2, 2);
    Write("kld.json", c.kld);
    if (c.bin_key) Write(std::string(c.bin_key) + ".bin", c.bin);
    graph_.qm_nx_graph = DiGraph();
    try {
      Export(dir_.string());
      ADD_FAILURE() << c.what;
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(c.needle), std::string::npos)
          << c.what << ": " << e.what();
    }
  }
  Files(2, 2, 2);
  std::filesystem::remove(Path("rho.bin"));
  graph_.qm_nx_graph = DiGraph();
  try {
    Export(dir_.string());
    FAIL();
  } catch (const IoError& e) {
    EXPECT_NE(std::string(e.what()).find("rho.bin"), std::string::npos);
  }
}

// Counts the buffers the builder asks for.
class CountingAllocator : public flatbuffers::DefaultAllocator {
 public:
  uint8_t* allocate(size_t size) override {
    ++allocations;
    return flatbuffers::DefaultAllocator::allocate(size);
  }
  int allocations = 0;
};

// The head's folder is read into arrays before the model is built, so the
// builder's one reservation holds its data: 3,000 support vectors of 64
// floats (750 KiB, far more than the tables' room) never make it grow.
TEST_F(Svm, TheBuildersOneReservationHoldsTheHeadsData) {
  Files(2, 3000, 64);
  graph_.Add("in", "external", {1, 4});
  graph_.Add("output", "relu", {1, 4}, {{"x", Value("in")}});
  graph_.Edge("in", "output");
  graph_.orig_outputs = {"output"};
  CountingAllocator allocator;
  std::ostringstream out;
  ExportOptions o = testing::Quiet(out);
  o.svm = dir_.string();
  o.allocator = &allocator;
  SarnicExporter e(graph_, "m", std::move(o));
  const ModelBuffer buf = e.run();
  EXPECT_EQ(allocator.allocations, 1);
  const auto* m = Decode(buf);
  const auto* sv = testing::LayerNamed(m, "svm_sv");
  ASSERT_NE(sv, nullptr);
  EXPECT_EQ(sv->params()->Get(0)->data_f32()->size(), 3000u * 64u);
  EXPECT_EQ(sv->params()->Get(0)->data_f32()->Get(64 * 2999 + 63),
            64.0f * 2999 + 63 + 0.5f);
}

TEST_F(Svm, NoOutputLayerIsAKeyError) {
  Files(2, 2, 2);
  graph_.Add("in", "external", {1});
  std::ostringstream out;
  ExportOptions o = testing::Quiet(out);
  o.svm = dir_.string();
  SarnicExporter e(graph_, "m", std::move(o));
  try {
    e.run();
    FAIL();
  } catch (const KeyError& err) {
    EXPECT_EQ(err.key(), "output");
  }
}

}  // namespace
}  // namespace sarnic
