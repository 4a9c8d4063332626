// The checker's rules and what they share: the context over the graph
// and the shape helpers. Each rule is one function over one node.
#ifndef SARNIC_CHECK_CHECKER_RULES_H_
#define SARNIC_CHECK_CHECKER_RULES_H_

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sarnic/checker.h"
#include "sarnic/exporter.h"
#include "sarnic/operations.h"
#include "sarnic/shapes.h"

namespace sarnic::checker {

class Context {
 public:
  Context(const Graph& graph, const CheckOptions& options)
      : graph_(graph), g_(graph.qm_nx_graph), options_(options) {
    // Each node's declaration, looked up once; shapes are read when a rule
    // first needs them.
    spec_of_.resize(g_.number_of_nodes(), nullptr);
    shapes_.resize(g_.number_of_nodes());
    shape_read_.resize(g_.number_of_nodes(), false);
    for (uint32_t n = 0; n < g_.number_of_nodes(); ++n) {
      if (const std::string* op = OpOf(n)) spec_of_[n] = BuiltinOperation(*op);
    }
  }

  const Graph& graph() const { return graph_; }
  const CheckOptions& options() const { return options_; }
  const DiGraph& g() const { return g_; }
  std::vector<Finding>& findings() { return findings_; }

  void Add(uint32_t node, std::string attribute, std::string message,
           Severity severity = Severity::kWarning) {
    findings_.push_back(
        {g_.name_of(node), std::move(attribute), std::move(message), severity});
  }
  // A finding the export would refuse the graph for.
  void Refuse(uint32_t node, std::string attribute, std::string message) {
    Add(node, std::move(attribute), std::move(message), Severity::kError);
  }

  const std::string* OpOf(uint32_t node) const {
    const Value* op = g_.attrs_of(node).find("op");
    return op != nullptr && op->is_text() ? &op->as_text() : nullptr;
  }

  // The declaration of the node's op; null for an op without one.
  const OpSpec* SpecOf(uint32_t node) const { return spec_of_[node]; }

  // The output shape of node `n`, or of the node `name`, when it is a list
  // of integers; null otherwise.
  const Shape* OwnShape(uint32_t n) {
    if (!shape_read_[n]) {
      shapes_[n] = Ints(g_.attrs_of(n).find("output_shape"));
      shape_read_[n] = true;
    }
    return shapes_[n] ? &*shapes_[n] : nullptr;
  }
  const Shape* ShapeOf(const std::string& name) {
    const int64_t n = g_.index_of(name);
    return n < 0 ? nullptr : OwnShape(static_cast<uint32_t>(n));
  }

  static std::optional<Shape> Ints(const Value* v) {
    if (v == nullptr || !v->is_list()) return std::nullopt;
    Shape out;
    out.reserve(v->as_list().size());
    for (const Value& d : v->as_list()) {
      if (!d.is_integer()) return std::nullopt;
      out.push_back(d.as_int());
    }
    return out;
  }

  // A builder and an empty graph that the layer rules write a node's layer
  // with, made once and cleared for every node.
  BetterBuilder& ScratchBuilder() {
    if (!builder_) builder_ = std::make_unique<BetterBuilder>(1024);
    builder_->Clear();
    return *builder_;
  }
  Graph& ScratchGraph() {
    if (!scratch_) scratch_ = std::make_unique<Graph>();
    return *scratch_;
  }

  // The node named by the text attribute `attr`, when it is one.
  const std::string* InputName(uint32_t node, const char* attr) const {
    const Value* v = g_.attrs_of(node).find(attr);
    return v != nullptr && v->is_text() ? &v->as_text() : nullptr;
  }

 private:
  const Graph& graph_;
  const DiGraph& g_;
  const CheckOptions options_;
  std::vector<const OpSpec*> spec_of_;
  std::vector<std::optional<Shape>> shapes_;
  std::vector<bool> shape_read_;
  std::vector<Finding> findings_;
  std::unique_ptr<BetterBuilder> builder_;
  std::unique_ptr<Graph> scratch_;
};

bool IsIntegral(const Value& v);

// The input names of an element-wise operation, with the attribute each
// comes from; empty for other operations.
std::vector<std::pair<std::string, std::string>> ElementwiseInputs(Context& c,
                                                                   uint32_t n);

// Rules about shapes (checker_shapes.cc).
void ArrayShape(Context& c, uint32_t n);
void Reshape(Context& c, uint32_t n);
void BroadcastShape(Context& c, uint32_t n);
void Concat(Context& c, uint32_t n);
void ReductionRank(Context& c, uint32_t n);

// Rules about the layer a node becomes (checker_layers.cc).
void LayerShape(Context& c, uint32_t n);
void UnknownAttributes(Context& c, uint32_t n);
void DataWithoutArray(Context& c, uint32_t n);

// Runs every rule. With `contain_faults`, a rule that throws on a node is
// taken to have found nothing there (CheckGraph); without, the exception
// leaves (the tests, which hold that no rule throws).
std::vector<Finding> RunRules(const Graph& graph, bool contain_faults,
                              const CheckOptions& options = {});

}  // namespace sarnic::checker

#endif  // SARNIC_CHECK_CHECKER_RULES_H_
