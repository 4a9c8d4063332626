#include <gtest/gtest.h>

#include <set>

#include "sarnic/graph_file.h"
#include "test_util.h"

namespace sarnic {
namespace {

// A graph holding every operation text with a built-in exporter.
TEST(AllOps, EveryOperationExportsAndTheModelVerifies) {
  auto g = LoadGraph(SARNIC_TESTS_DATA_DIR "/all_ops.json");
  std::set<std::string> ops;
  for (uint32_t i = 0; i < g->qm_nx_graph.number_of_nodes(); ++i) {
    ops.insert(g->qm_nx_graph.attrs_of(i).at("op").as_text());
  }
  EXPECT_EQ(ops.size(), 49u);  // every op text but copy, which needs a pair
  std::ostringstream out;
  ExportOptions o;
  o.diagnostics = &out;
  SarnicExporter e(*g, "all_ops", std::move(o));
  const ModelBuffer buf = e.run();
  EXPECT_EQ(out.str().find("WARNING"), std::string::npos) << out.str();
  const auto* m = testing::Decode(buf);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->layers()->size(), g->qm_nx_graph.number_of_nodes());
  const auto* gru = testing::LayerNamed(m, "cudnn_gru_1");
  EXPECT_EQ(gru->type(), snxf::Op::gru);
  EXPECT_TRUE(gru->block().has_value());
}

}  // namespace
}  // namespace sarnic
