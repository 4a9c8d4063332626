#include <gtest/gtest.h>

#include <set>

#include "sarnic/exporter.h"
#include "sarnic/graph_file.h"
#include "sarnic/operations.h"
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
  // Every declared operation has a node here (copy, which needs a pair of
  // nodes, is tested on its own): a new operation is its row plus its node.
  std::set<std::string> declared;
  for (const OpSpec* s : BuiltinOperations()) declared.insert(s->op);
  declared.erase("copy");
  EXPECT_EQ(ops, declared);
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
  EXPECT_TRUE(gru->block().has_value());
  // Each layer has the type its operation's row declares.
  for (uint32_t i = 0; i < g->qm_nx_graph.number_of_nodes(); ++i) {
    const std::string& op = g->qm_nx_graph.attrs_of(i).at("op").as_text();
    const OpSpec* spec = BuiltinOperation(op);
    ASSERT_NE(spec, nullptr) << op;
    const auto* layer = testing::LayerNamed(m, g->qm_nx_graph.name_of(i));
    ASSERT_NE(layer, nullptr) << op;
    EXPECT_EQ(layer->type(), spec->type) << op;
    EXPECT_EQ(spec->layer_type, snxf::EnumNameOp(spec->type)) << op;
  }
}

}  // namespace
}  // namespace sarnic
