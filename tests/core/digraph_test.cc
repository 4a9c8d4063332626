#include "sarnic/digraph.h"

#include <gtest/gtest.h>

#include "sarnic/errors.h"

namespace sarnic {
namespace {

using Names = std::vector<std::string>;

DiGraph Build(const Names& nodes,
              const std::vector<std::pair<std::string, std::string>>& edges) {
  DiGraph g;
  for (const auto& n : nodes) g.add_node(n);
  for (const auto& [a, b] : edges) g.add_edge(a, b);
  return g;
}

// Orders worked by hand with the generation rule (each generation in the
// order its nodes became ready).
TEST(TopologicalSort, FollowsGenerationOrder) {
  const struct {
    const char* what;
    Names nodes;
    std::vector<std::pair<std::string, std::string>> edges;
    Names order;
  } cases[] = {
      {"chain", {"a", "b", "c"}, {{"a", "b"}, {"b", "c"}}, {"a", "b", "c"}},
      {"diamond",
       {"a", "b", "c", "d"},
       {{"a", "c"}, {"a", "b"}, {"b", "d"}, {"c", "d"}},
       {"a", "c", "b", "d"}},
      {"successor added before its predecessor",
       {"out", "in", "w"},
       {{"in", "out"}, {"w", "out"}},
       {"in", "w", "out"}},
      {"sources in node order, children in edge order",
       {"x", "y", "p", "q"},
       {{"y", "q"}, {"x", "p"}},
       {"x", "y", "p", "q"}},
      {"a node waits for its last in-edge",
       {"a", "b", "c", "d", "e"},
       {{"a", "c"}, {"c", "d"}, {"b", "e"}, {"d", "e"}, {"a", "e"}},
       {"a", "b", "c", "d", "e"}},
      {"duplicate edges count once",
       {"a", "b"},
       {{"a", "b"}, {"a", "b"}},
       {"a", "b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Build(c.nodes, c.edges).topological_sort(), c.order) << c.what;
  }
}

TEST(TopologicalSort, RefusesACycleNamingANodeOnIt) {
  DiGraph g = Build({"in", "a", "b", "after"},
                    {{"in", "a"}, {"a", "b"}, {"b", "a"}, {"b", "after"}});
  try {
    g.topological_sort();
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_EQ(e.message(), "graph contains a cycle through node");
    EXPECT_TRUE(e.detail() == "'a'" || e.detail() == "'b'") << e.detail();
  }
  DiGraph self = Build({"s"}, {{"s", "s"}});
  EXPECT_THROW(self.topological_sort(), ValueError);
}

TEST(DiGraph, AddNodeKeepsPlaceAndEdgesAddMissingNodes) {
  DiGraph g;
  g.add_node("a").set("op", Value("x"));
  g.add_edge("b", "a");
  AttrDict update;
  update.set("k", Value(1));
  g.add_node("a", update);
  EXPECT_EQ(g.nodes(), (Names{"a", "b"}));
  EXPECT_EQ(g.node("a").size(), 2u);
  EXPECT_EQ(g.predecessors("a"), (Names{"b"}));
  EXPECT_THROW(g.node("zz"), KeyError);
}

}  // namespace
}  // namespace sarnic

namespace sarnic {
namespace {

// An edge is found from either end, whichever has fewer entries: a node
// that many read, or that reads many, answers for every edge.
TEST(DiGraph, EdgesAreFoundFromTheShorterEnd) {
  DiGraph g;
  for (int i = 0; i < 50; ++i) {
    const std::string p = "p" + std::to_string(i);
    g.add_edge("in", p);
    g.add_edge(p, "concat");
  }
  g.add_edge("in", "p7");  // a repeat adds nothing
  EXPECT_EQ(g.number_of_edges(), 100u);
  for (int i = 0; i < 50; ++i) {
    const std::string p = "p" + std::to_string(i);
    EXPECT_TRUE(g.has_edge("in", p));
    EXPECT_TRUE(g.has_edge(p, "concat"));
    EXPECT_FALSE(g.has_edge(p, "in"));
    EXPECT_FALSE(g.has_edge("concat", p));
  }
  EXPECT_FALSE(g.has_edge("in", "concat"));
  EXPECT_FALSE(g.has_edge("in", "nowhere"));
}

}  // namespace
}  // namespace sarnic
