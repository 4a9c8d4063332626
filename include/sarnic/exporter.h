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
#include "sarnic/errors.h"
#include "sarnic/layers.h"
#include "sarnic/ndarray.h"
#include "sarnic/operations.h"
#include "sarnic/schema.h"
#include "sarnic/value.h"

namespace sarnic {

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

// The options that hold one value (a switch or a text), each described
// once, in a row X(Type, name, default, flag, choices, help): the field of
// ExportOptions, snx-export's flag and help (a switch's flag turns it off),
// the Python keyword of the same name and the check of `choices` ("a|b";
// empty for any text) all follow from it. Type is bool, std::string or
// std::optional<std::string> (a path, or nothing).
#define SARNIC_VALUE_OPTIONS(X)                                              \
  X(bool, mem_map, true, "--no-mem-map", "",                                 \
    "Do not plan the scratch arena; the model then has no block count or "   \
    "block size")                                                            \
  X(bool, opt_map, true, "--no-opt-map", "",                                 \
    "Plan without releasing outputs that are no longer needed (no "          \
    "statistics are printed)")                                               \
  X(std::optional<std::string>, save_map, std::nullopt, "--save-map", "",    \
    "Save a picture of the memory plan: a PNG path, or a folder that gets "  \
    "mem_map.png")                                                           \
  X(std::optional<std::string>, svm, std::nullopt, "--svm", "",              \
    "Append an SVM classifier head read from this folder (kld.json and the " \
    ".bin parameter files)")                                                 \
  X(std::string, normalization, "none", "--normalization", "",               \
    "Text describing the input image normalization")                         \
  X(std::string, planner, "standard", "--planner", "standard|best",          \
    "Arena planner: standard or best, which also tries a first-fit planner " \
    "with a local search and keeps it when it needs fewer blocks (the "      \
    "default: standard; best for an ONNX model given to snx-export)")

// The export options besides the graph and the name. Absent (nullopt or a
// null list) and empty are told apart where the export treats them
// differently.
struct ExportOptions {
#define SARNIC_OPTION_FIELD(Type, name, default_value, flag, choices, help) \
  Type name = default_value;
  SARNIC_VALUE_OPTIONS(SARNIC_OPTION_FIELD)
#undef SARNIC_OPTION_FIELD
  // Shared with the caller; null means a fresh empty list.
  std::shared_ptr<std::vector<std::string>> save_layers;
  std::shared_ptr<std::vector<CopyPair>> copy_layers;
  std::optional<OrderedMap<NdArray>> ext_constants;
  std::optional<std::vector<std::string>> labels;
  std::optional<std::vector<std::string>> input_names;
  std::optional<std::vector<std::string>> output_names;
  std::vector<Plugin> user_ops;
  // Where the diagnostic lines go; null means standard output.
  std::ostream* diagnostics = nullptr;
  // The memory the model is built in (not owned); null for the default. The
  // returned ModelBuffer frees it through this allocator.
  flatbuffers::Allocator* allocator = nullptr;
};

// The choices of an option's row ("standard|best"), in order; empty for
// any value.
std::vector<std::string> OptionChoices(const char* choices);

// Refuses an option whose value is not one of its row's choices, with a
// ValueError "<name> must be "a" or "b":" and the value.
void ValidateOptions(const ExportOptions& options);

// Every built-in operation, by op text.
std::vector<const OpSpec*> BuiltinOperations();
// The built-in operation `op`; null when there is none.
const OpSpec* BuiltinOperation(const std::string& op);

// The finished model: the builder's own memory, handed over without a copy.
using ModelBuffer = flatbuffers::DetachedBuffer;

// The exporter: holds the graph and the options and runs the export
// pipeline over the subsystems (planner, operation table, data layers, SVM
// head). What callers and plug-ins use of it is below; everything else is
// a free function of its subsystem.
class SarnicExporter {
 public:
  // Stores the options (null lists become fresh empty ones), then calls
  // each plug-in's factory in order with the exporter.
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

  // The exporter of the op text `op` (the export_<op> method of the
  // operation): a user exporter's first, in plug-in order, else the
  // built-in one; null when there is none. `plugin` receives the user
  // exporter that has it, or null.
  const OpFunction* export_op(const std::string& op,
                              const UserExporter** plugin = nullptr) const;

  // The diagnostics stream.
  std::ostream& out() const;

  Graph& graph;
  std::string name;
  // The options as given; run() stores the input and output names it used.
  ExportOptions options;
  std::string alternate_input_error_message;
  std::vector<std::shared_ptr<UserExporter>> user_ops;
};

}  // namespace sarnic

#endif  // SARNIC_EXPORTER_H_
