#include "sarnic/digraph.h"

#include <algorithm>

#include "sarnic/errors.h"

namespace sarnic {

uint32_t DiGraph::AddEntry(const std::string& name) {
  auto it = index_.find(name);
  if (it != index_.end()) return it->second;
  const auto i = static_cast<uint32_t>(nodes_.size());
  auto entry = std::make_unique<Entry>();
  entry->name = name;
  entry->attrs.set_owner("node '" + name + "'");
  nodes_.push_back(std::move(entry));
  index_.emplace(name, i);
  return i;
}

AttrDict& DiGraph::add_node(const std::string& name) {
  return nodes_[AddEntry(name)]->attrs;
}

AttrDict& DiGraph::add_node(const std::string& name, const AttrDict& attrs) {
  AttrDict& mine = add_node(name);
  for (const auto& [k, v] : attrs) mine.set(k, v);
  return mine;
}

void DiGraph::add_edge(const std::string& u, const std::string& v) {
  const uint32_t a = AddEntry(u);
  const uint32_t b = AddEntry(v);
  if (has_edge(a, b)) return;
  nodes_[a]->succ.push_back(b);
  nodes_[b]->pred.push_back(a);
  edges_.emplace_back(a, b);
}

bool DiGraph::has_node(const std::string& name) const {
  return index_.count(name) > 0;
}

bool DiGraph::has_edge(const std::string& u, const std::string& v) const {
  const int64_t a = index_of(u);
  const int64_t b = index_of(v);
  if (a < 0 || b < 0) return false;
  return has_edge(static_cast<uint32_t>(a), static_cast<uint32_t>(b));
}

// The shorter of u's successors and v's predecessors is searched: a node
// read by many (a shared input) or reading many (a concat of thousands)
// costs each edge the other end's few entries, not the many.
bool DiGraph::has_edge(uint32_t u, uint32_t v) const {
  const auto& succ = nodes_[u]->succ;
  const auto& pred = nodes_[v]->pred;
  return succ.size() <= pred.size()
             ? std::find(succ.begin(), succ.end(), v) != succ.end()
             : std::find(pred.begin(), pred.end(), u) != pred.end();
}

int64_t DiGraph::index_of(const std::string& name) const {
  auto it = index_.find(name);
  return it == index_.end() ? -1 : static_cast<int64_t>(it->second);
}

AttrDict& DiGraph::node(const std::string& name) {
  auto it = index_.find(name);
  if (it == index_.end()) {
    throw KeyError(name, "graph has no node '" + name + "'");
  }
  return nodes_[it->second]->attrs;
}

const AttrDict& DiGraph::node(const std::string& name) const {
  return const_cast<DiGraph*>(this)->node(name);
}

std::vector<std::string> DiGraph::nodes() const {
  std::vector<std::string> out;
  out.reserve(nodes_.size());
  for (const auto& e : nodes_) out.push_back(e->name);
  return out;
}

std::vector<std::string> DiGraph::successors(const std::string& name) const {
  std::vector<std::string> out;
  const int64_t i = index_of(name);
  if (i < 0) throw KeyError(name, "graph has no node '" + name + "'");
  for (uint32_t s : nodes_[static_cast<std::size_t>(i)]->succ) {
    out.push_back(nodes_[s]->name);
  }
  return out;
}

std::vector<std::string> DiGraph::predecessors(const std::string& name) const {
  std::vector<std::string> out;
  const int64_t i = index_of(name);
  if (i < 0) throw KeyError(name, "graph has no node '" + name + "'");
  for (uint32_t p : nodes_[static_cast<std::size_t>(i)]->pred) {
    out.push_back(nodes_[p]->name);
  }
  return out;
}

std::vector<uint32_t> DiGraph::Generations(
    std::vector<uint32_t>& indegree) const {
  const std::size_t n = nodes_.size();
  indegree.assign(n, 0);
  std::vector<uint32_t> generation;
  for (uint32_t i = 0; i < n; ++i) {
    indegree[i] = static_cast<uint32_t>(nodes_[i]->pred.size());
    if (indegree[i] == 0) generation.push_back(i);
  }
  std::vector<uint32_t> order;
  order.reserve(n);
  std::vector<uint32_t> next;
  while (!generation.empty()) {
    next.clear();
    for (uint32_t u : generation) {
      for (uint32_t v : nodes_[u]->succ) {
        if (--indegree[v] == 0) next.push_back(v);
      }
    }
    order.insert(order.end(), generation.begin(), generation.end());
    generation.swap(next);
  }
  return order;
}

std::vector<uint32_t> DiGraph::topological_order() const {
  std::vector<uint32_t> indegree;
  std::vector<uint32_t> order = Generations(indegree);
  if (order.size() != nodes_.size()) {
    throw ValueError("graph contains a cycle through node",
                     "'" + NodeOnCycle(indegree) + "'");
  }
  return order;
}

std::optional<std::string> DiGraph::node_on_cycle() const {
  std::vector<uint32_t> indegree;
  if (Generations(indegree).size() == nodes_.size()) return std::nullopt;
  return NodeOnCycle(indegree);
}

std::string DiGraph::NodeOnCycle(const std::vector<uint32_t>& indegree) const {
  // Every node left with in-edges has a predecessor that is left too; walking
  // back through such predecessors must repeat a node, which lies on a cycle.
  uint32_t cur = 0;
  while (indegree[cur] == 0) ++cur;
  std::vector<bool> seen(nodes_.size(), false);
  while (!seen[cur]) {
    seen[cur] = true;
    for (uint32_t p : nodes_[cur]->pred) {
      if (indegree[p] > 0) {
        cur = p;
        break;
      }
    }
  }
  return nodes_[cur]->name;
}

std::vector<std::string> DiGraph::topological_sort() const {
  std::vector<std::string> out;
  for (uint32_t i : topological_order()) out.push_back(nodes_[i]->name);
  return out;
}

}  // namespace sarnic
