// SarnicExporter: turns a Graph into one SNX model buffer.
//
// Construct it with the graph, the model name and the options, then call
// run(). The exporter changes the graph it is given where the export says so
// (optimisation, copy nodes, memory blocks, converted constants) and prints
// its diagnostic lines to the options' diagnostics stream (standard output
// by default).
#ifndef SARNIC_EXPORTER_H_
#define SARNIC_EXPORTER_H_

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sarnic/builder.h"
#include "sarnic/digraph.h"
#include "sarnic/dtype.h"
#include "sarnic/errors.h"
#include "sarnic/ndarray.h"
#include "sarnic/schema.h"
#include "sarnic/value.h"

namespace sarnic {

// Layer name to the layer's position in the model's layer vector.
class LayerIndex {
 public:
  // The position of `name`'s layer; a KeyError when it has none yet.
  uint32_t at(const std::string& name) const;
  uint32_t operator[](const std::string& name) const { return at(name); }
  bool contains(const std::string& name) const { return map_.count(name) > 0; }
  void set(const std::string& name, uint32_t position) {
    map_[name] = position;
  }
  std::size_t size() const { return map_.size(); }
  const std::unordered_map<std::string, uint32_t>& entries() const {
    return map_;
  }

 private:
  std::unordered_map<std::string, uint32_t> map_;
};

// Draws 0, 1, 2, ...: the next layer position.
class LayerCounter {
 public:
  uint32_t next() { return value_++; }
  uint32_t peek() const { return value_; }

 private:
  uint32_t value_ = 0;
};

// The calling convention of every operation exporter: it writes exactly one
// Layer table for `node` and returns its offset. `layers` holds every node
// exported before (all of the node's inputs); `alt_name` is the alternative
// layer name the pipeline supplies for renamed graph inputs and outputs.
using OpFunction = std::function<Offset(
    BetterBuilder& builder, Graph& graph, const LayerIndex& layers,
    const std::string& name, AttrDict& node,
    const std::optional<std::string>& alt_name)>;

// A user exporter made by a plug-in: operation exporters by op text. They
// take precedence over the built-in ones.
class UserExporter {
 public:
  virtual ~UserExporter() = default;
  // The exporter for `op`, or null when this user exporter has none.
  virtual const OpFunction* find(const std::string& op) const = 0;
  // Names the plug-in in errors.
  virtual std::string name() const { return "user exporter"; }
};

// The refusal of what a plug-in's exporter returned for `op` on `node`
// (`returned` as the plug-in wrote it): anything but the offset of a Layer
// table finished in this export.
ValueError PluginResultError(const std::string& plugin, const std::string& op,
                             const std::string& node,
                             const std::string& returned);

// The bytes of tensor data an array of `nbytes` bytes and element type
// `dtype` adds to a model as the data of a node whose op is `op` (float64
// constants are written as float32); 0 for nodes that write no array.
uint64_t ModelDataBytes(std::string_view op, DType dtype, uint64_t nbytes);

// Refuses `data_bytes` of tensor data that no model file can hold.
void CheckModelDataBytes(uint64_t data_bytes);

// A user exporter that is a plain table of operation exporters.
class TableUserExporter : public UserExporter {
 public:
  TableUserExporter& add(const std::string& op, OpFunction fn) {
    ops_[op] = std::move(fn);
    return *this;
  }
  const OpFunction* find(const std::string& op) const override {
    auto it = ops_.find(op);
    return it == ops_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, OpFunction> ops_;
};

class SarnicExporter;

// An operation plug-in. When it offers a factory, the factory is called with
// the exporter under construction (every option already stored) and yields
// a user exporter; a plug-in without one is skipped.
struct Plugin {
  std::function<std::shared_ptr<UserExporter>(SarnicExporter&)> factory;
};

// One copy request: element 0 the source node, element 1 the target node.
using CopyPair = std::vector<std::string>;

// The export options besides the graph and the name. Absent (nullopt or a
// null list) and empty are told apart where the export treats them
// differently.
struct ExportOptions {
  bool mem_map = true;
  bool opt_map = true;
  std::optional<std::string> save_map;
  // Shared with the caller; null means a fresh empty list.
  std::shared_ptr<std::vector<std::string>> save_layers;
  std::shared_ptr<std::vector<CopyPair>> copy_layers;
  std::optional<std::string> svm;
  std::optional<OrderedMap<NdArray>> ext_constants;
  std::optional<std::vector<std::string>> labels;
  std::optional<std::vector<std::string>> input_names;
  std::optional<std::vector<std::string>> output_names;
  std::vector<Plugin> user_ops;
  std::string normalization = "none";
  // The arena planner: "spec" chooses between the greedy step planner and
  // the largest-first planner; "best" also tries a first-fit planner with
  // a local search and keeps it when it needs fewer blocks.
  std::string planner = "spec";
  // Where the diagnostic lines go; null means standard output.
  std::ostream* diagnostics = nullptr;
};

// FlatBuffers scalar kinds of array element types.
struct NumberType {
  std::string_view name;  // "Int8Flags", ...
  std::size_t bytewidth;
};

// Element type to FlatBuffers scalar kind: the ten types the model can hold.
extern const std::map<DType, NumberType> type_flags;
// Element type to the schema's Datatype.
extern const std::map<DType, snxf::Datatype> dtype_flags;

// The finished model: the builder's own memory, handed over without a copy.
using ModelBuffer = flatbuffers::DetachedBuffer;

class SarnicExporter {
 public:
  SarnicExporter(Graph& graph, std::string name, ExportOptions options = {});
  SarnicExporter(const SarnicExporter&) = delete;
  SarnicExporter& operator=(const SarnicExporter&) = delete;

  // Exports the graph. Any failure raises and no model is returned.
  ModelBuffer run();

  // Refuses quantization scales that are not finite or are negative.
  void validate_model() const;

  // Writes one Tensor table named `name`, with the shape vector `shape` when
  // given and the data encoded by its kind.
  Offset export_tensor(BetterBuilder& builder, std::string_view name,
                       const std::optional<Shape>& shape = std::nullopt,
                       const Value& data = Value()) const;

  // Writes the common Layer record of `node`; `inputs` and `params` are
  // written when non-zero.
  Offset generate_layer(BetterBuilder& builder, const AttrDict& node,
                        snxf::Op op, Offset name, Offset shape,
                        Offset inputs = 0, Offset params = 0) const;

  // Operation exporters: each has the OpMethod signature (builder, graph,
  // layers, name, node, alt_name) and writes one Layer for `node`.
  using OpMethod = Offset(BetterBuilder& builder, Graph& graph,
                          const LayerIndex& layers, const std::string& name,
                          AttrDict& node,
                          const std::optional<std::string>& alt_name);
  // Element-wise operations on one input.
  OpMethod export_abs, export_cos, export_sin, export_exp, export_log,
      export_neg, export_sqrt, export_sqr, export_rsqrt, export_relu,
      export_relu6, export_sigmoid, export_tanh, export_elu, export_quant,
      export_dequant;
  // Element-wise operations on several inputs, and activations with parameters.
  OpMethod export_add, export_sub, export_mul, export_div, export_pow,
      export_prelu, export_add_n, export_leaky_relu, export_swish;
  // Convolutions and pooling.
  OpMethod export_conv, export_transpose_conv, export_avg_pool, export_max_pool;
  // Reductions over axes.
  OpMethod export_sum_reduce, export_mean_reduce, export_max_reduce,
      export_min_reduce, export_prod_reduce;
  // Shape and layout operations.
  OpMethod export_reshape, export_transpose, export_slice, export_pad,
      export_concat, export_resize, export_softmax;
  // Dense, matrix product, batch normalization and the GRU cell.
  OpMethod export_dense, export_linear, export_matmul,
      export_batch_normalization, export_cudnn_gru;

  // Data layers.
  Offset export_constant(BetterBuilder& builder, Graph& graph,
                         const LayerIndex& layers, const std::string& name,
                         AttrDict& node);
  Offset export_variable(BetterBuilder& builder, Graph& graph,
                         const LayerIndex& layers, const std::string& name,
                         AttrDict& node,
                         const std::optional<std::string>& alt_name = {});
  Offset export_external(BetterBuilder& builder, Graph& graph,
                         const LayerIndex& layers, const std::string& name,
                         AttrDict& node,
                         const std::optional<std::string>& alt_name = {});
  Offset export_external_constant(BetterBuilder& builder,
                                  const std::string& name,
                                  const NdArray& np_array);
  // Copy layers: add_copy edits the graph before the export.
  void add_copy();
  Offset export_copy(BetterBuilder& builder, Graph& graph,
                     const LayerIndex& layers, const std::string& name,
                     AttrDict& node,
                     const std::optional<std::string>& alt_name = {});

  // Appends the SVM classifier head read from the directory `svm` after
  // the graph's layers, fed by the layer named "output".
  void export_svm(BetterBuilder& builder, Graph& graph, LayerIndex& layers_map,
                  LayerCounter& layer_index, std::vector<Offset>& layers,
                  const std::string& svm);

  // Plans the scratch arena of `graph`, stores each layer's start block in
  // its node's `block` and returns the plan's block count.
  uint32_t memory_map(DiGraph& graph, int block_size, bool opt_map,
                      const std::optional<std::string>& save_map,
                      const std::vector<std::string>& save_layers);

  // The diagnostics stream.
  std::ostream& out() const;

  // The exporter's state, in the order the constructor sets it.
  Graph& graph;
  std::string name;
  bool mem_map;
  bool opt_map;
  std::optional<std::string> save_map;
  std::shared_ptr<std::vector<std::string>> save_layers;
  std::shared_ptr<std::vector<CopyPair>> copy_layers;
  std::optional<std::string> svm;
  std::optional<OrderedMap<NdArray>> ext_constants;
  std::optional<std::vector<std::string>> labels;
  std::optional<std::vector<std::string>> input_names;
  std::optional<std::vector<std::string>> output_names;
  std::string normalization;
  std::string alternate_input_error_message;
  std::vector<std::shared_ptr<UserExporter>> user_ops;
  std::string planner;

 private:
  std::ostream* diagnostics_;
};

}  // namespace sarnic

#endif  // SARNIC_EXPORTER_H_
