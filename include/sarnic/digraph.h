// A directed graph of named nodes, each carrying an ordered attribute
// dictionary. Node order, successor order and edge order are insertion order,
// and the topological order is the generation order that script hosts see on
// their own graphs, so layer indices agree with theirs.
#ifndef SARNIC_DIGRAPH_H_
#define SARNIC_DIGRAPH_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sarnic/value.h"

namespace sarnic {

// A node's attributes. A missing attribute is a KeyError naming the node and
// the attribute.
using AttrDict = Dict;

class DiGraph {
 public:
  DiGraph() = default;
  DiGraph(const DiGraph&) = delete;
  DiGraph& operator=(const DiGraph&) = delete;
  DiGraph(DiGraph&&) = default;
  DiGraph& operator=(DiGraph&&) = default;

  // Adds a node without attributes, or returns the existing one.
  AttrDict& add_node(const std::string& name);
  // Adds a node, or updates an existing node's attributes (its place in the
  // node order stays).
  AttrDict& add_node(const std::string& name, const AttrDict& attrs);
  // Adds the edge u -> v, adding missing nodes. An edge that exists already
  // is not added again.
  void add_edge(const std::string& u, const std::string& v);

  bool has_node(const std::string& name) const;
  bool has_edge(const std::string& u, const std::string& v) const;
  bool has_edge(uint32_t u, uint32_t v) const;
  std::size_t number_of_nodes() const { return nodes_.size(); }
  std::size_t number_of_edges() const { return edges_.size(); }

  // The attributes of a node; a missing node is a KeyError.
  AttrDict& node(const std::string& name);
  const AttrDict& node(const std::string& name) const;

  // Nodes in insertion order.
  std::vector<std::string> nodes() const;
  const std::string& name_of(uint32_t index) const {
    return nodes_[index]->name;
  }
  AttrDict& attrs_of(uint32_t index) { return nodes_[index]->attrs; }
  const AttrDict& attrs_of(uint32_t index) const {
    return nodes_[index]->attrs;
  }
  // Position of a node in insertion order, or -1.
  int64_t index_of(const std::string& name) const;

  // Edges in insertion order, as node positions.
  const std::vector<std::pair<uint32_t, uint32_t>>& edges() const {
    return edges_;
  }
  std::vector<std::string> successors(const std::string& name) const;
  std::vector<std::string> predecessors(const std::string& name) const;

  // Topological order by generations: generation 0 is every node without
  // in-edges, in node order; each next generation collects, in the order
  // they become ready, the successors whose last in-edge was consumed while
  // visiting the current generation in order and each node's successors in
  // edge order. A cycle raises a ValueError "graph contains a cycle" naming a
  // node on it.
  std::vector<uint32_t> topological_order() const;
  std::vector<std::string> topological_sort() const;
  // A node on a cycle, or nothing when the graph has none.
  std::optional<std::string> node_on_cycle() const;

 private:
  struct Entry {
    std::string name;
    AttrDict attrs;
    std::vector<uint32_t> succ;
    std::vector<uint32_t> pred;
  };
  uint32_t AddEntry(const std::string& name);
  // The order of every node that no cycle holds back; `indegree` keeps the
  // in-edges left over, non-zero exactly for the nodes left out.
  std::vector<uint32_t> Generations(std::vector<uint32_t>& indegree) const;
  std::string NodeOnCycle(const std::vector<uint32_t>& indegree) const;

  std::vector<std::unique_ptr<Entry>> nodes_;
  std::unordered_map<std::string, uint32_t> index_;
  std::vector<std::pair<uint32_t, uint32_t>> edges_;
};

// The exporter's input: the graph a conversion stage built, the names of the
// model's inputs and outputs and the data of its constant and variable nodes.
class Graph {
 public:
  Graph() { tensor_dict.set_owner("tensor_dict"); }
  virtual ~Graph() = default;
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // Graph-level rewriting before export; the default changes nothing.
  virtual void optimize() {}

  DiGraph qm_nx_graph;
  std::vector<std::string> orig_inputs;
  std::vector<std::string> orig_outputs;
  OrderedMap<NdArray> tensor_dict;
};

}  // namespace sarnic

#endif  // SARNIC_DIGRAPH_H_
