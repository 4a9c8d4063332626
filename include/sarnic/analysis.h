// What a model file holds, worked out from the file alone: its sizes, each
// layer's output size and live range as the arena planner counts them, the
// arena's peak, a verifier of the arena plan and the model's structure, and
// the summary and HTML report made from them.
#ifndef SARNIC_ANALYSIS_H_
#define SARNIC_ANALYSIS_H_

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sarnic/schema.h"

namespace sarnic {

// A layer's facts view the model's own bytes (name, shape, inputs): they
// live as long as the model they come from, and take no copy of it.
struct LayerFacts {
  uint32_t index = 0;
  std::string_view name;
  const char* type = "";
  const char* datatype = "";
  std::span<const int32_t> shape;
  std::span<const uint32_t> inputs;
  std::optional<uint32_t> block;  // planned layers only
  uint64_t bytes = 0;             // elements x 1 (int8, uint8) or 4
  uint64_t blocks = 0;            // bytes in whole blocks
  // The parameter data the layer uses, in bytes: a constant's or a
  // variable's own, or that of the constant layers it reads (a filter and
  // a bias); settings do not count.
  uint64_t param_bytes = 0;
  // What the layer is set to, as people read it: "kernel 3x3, strides [1,
  // 2, 2, 1], activation relu" (its own small tensors, and a convolution's
  // kernel from its filter).
  std::string attributes;
  // Live from the step that writes the layer to the last step that reads
  // it (through reshapes), or to the end for the model's outputs.
  uint32_t first = 0, last = 0;
};

struct ParamTotals {
  uint64_t tensors = 0, elements = 0, bytes = 0;
};

struct ModelFacts {
  std::string name;
  uint64_t file_bytes = 0;
  uint32_t block_size = 0;       // 0 when the model has no plan
  uint64_t planned_blocks = 0;   // the model's block count
  uint64_t reserved_blocks = 0;  // the leading blocks before the plan
  std::map<std::string, ParamTotals> params;  // by element kind
  std::map<std::string, uint32_t> layer_types;
  std::vector<LayerFacts> layers;
  std::vector<uint32_t> inputs, outputs;  // the model's, by layer index
  std::optional<uint32_t> peak_step;
  std::vector<uint32_t> peak_layers;
  uint64_t peak_blocks = 0;
};

// The facts of a verified model (`file_bytes` is the file's size).
ModelFacts AnalyseModel(const snxf::Model& model, uint64_t file_bytes);

// The plan verifier: one line per violation, none when the model is sound.
// The FlatBuffers verifier comes first; then layer inputs and model inputs
// and outputs in range and earlier than their reader, parameter data that
// matches its shape, and the arena: every planned layer inside the
// reserved and planned blocks, no two layers live at a common step
// overlapping.
std::vector<std::string> VerifyModel(std::span<const uint8_t> bytes);

// The summary: as JSON (with "format": "snx-summary", "version": 1; with
// `per_layer`, each layer's output, live range and inputs under "layers")
// and as text for people. Names are the model file's bytes, which need not
// be UTF-8: dump the JSON with error_handler_t::replace, as the tools do.
nlohmann::ordered_json SummaryJson(const ModelFacts& facts,
                                   bool per_layer = true);
// The same document with its layers, written to `out` one layer at a time
// (memory bounded by one layer, not the model), as
// SummaryJson(facts).dump(indent) writes it (-1: compact); each piece of
// text goes through `filter` first.
void WriteSummaryJson(
    std::ostream& out, const ModelFacts& facts, int indent = -1,
    const std::function<std::string(std::string)>& filter = [](std::string s) {
      return s;
    });
std::string SummaryText(const ModelFacts& facts);
// The one line a device engineer reads: "flash 93.4 KiB (model), RAM 256.0
// KiB (arena: 256 blocks of 1024 bytes, 0 reserved), 0.0% above the lower
// bound of 256 blocks" (the lower bound: the most blocks live at one step).
std::string DeviceMemoryText(const ModelFacts& facts);
void WriteSummaryText(std::ostream& out, const ModelFacts& facts);

// What a device needs for the model: flash holds the model file; RAM the
// arena (reserved and planned blocks) and every model input and output that
// lives outside it. Without a plan, each output but a constant's is a
// buffer of its own, all counted.
struct DeviceMemory {
  uint64_t flash = 0, ram = 0;
  uint64_t outside_arena = 0;  // of ram: buffers outside the arena
};
DeviceMemory DeviceMemoryOf(const ModelFacts& facts);

// A budget the model misses: "flash" or "RAM", the figure, the budget, and
// its ten largest contributors as lines ("'conv1' (conv2d): 36864
// parameter bytes"): for flash the layers by the parameter bytes they use,
// for RAM the layers live at the arena's peak by their bytes.
struct BudgetMiss {
  std::string what;
  uint64_t figure = 0, budget = 0;
  std::vector<std::string> contributors;
};
std::vector<BudgetMiss> CheckBudgets(const ModelFacts& facts,
                                     std::optional<uint64_t> flash_budget,
                                     std::optional<uint64_t> ram_budget);
// "RAM 300.0 KiB is over the budget of 256.0 KiB by 44.0 KiB (45056
// bytes); its largest contributors, the layers live at the arena's peak:"
// followed by one indented line per contributor.
std::string BudgetMissText(const BudgetMiss& miss);

// A size as a user writes it: bytes ("262144"), or with K or M (1024 and
// 1024 × 1024 bytes: "256K", "1M", also "256KiB", "1.5M"); nothing for
// anything else.
std::optional<uint64_t> ParseByteSize(std::string_view text);

// One self-contained HTML page: the summary, a sortable and filterable
// layer table and the arena plan drawn as an interactive timeline.
std::string HtmlReport(const ModelFacts& facts);
// The same page, written to `out` as it is made.
void WriteHtmlReport(std::ostream& out, const ModelFacts& facts);

}  // namespace sarnic

#endif  // SARNIC_ANALYSIS_H_
