// Post-training int8 quantisation: a float graph and a few hundred
// representative inputs in, the same graph with int8 layers out. The float
// model runs in the interpreter over the calibration samples, one at a time,
// with an observer on every layer's output; the graph is then rewritten by
// the integer rules of sarnic/fixed_point.h (docs/semantics.md): int8
// weights with one scale per output channel, int32 biases, one scale and
// zero point per activation, a `quant` layer where float data enters an
// int8 layer and a `dequant` where int8 data leaves for a float one.
#ifndef SARNIC_QUANTIZE_H_
#define SARNIC_QUANTIZE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sarnic/digraph.h"
#include "sarnic/ndarray.h"

namespace sarnic {

struct QuantizeOptions {
  // How a tensor's range is found: "minmax" (the extremes seen),
  // "percentile" (the values at `percentile` and 100 − `percentile` percent
  // of a histogram) or "entropy" (the clipping of the histogram that loses
  // the least information).
  std::string method = "minmax";
  double percentile = 99.99;
  // "float": the model takes and gives float32 as the float model did (a
  // `quant` layer after each input, a `dequant` before each output);
  // "int8": its inputs and outputs are int8.
  std::string io = "float";
  // Nodes left in float between a `dequant` and a `quant`.
  std::vector<std::string> keep_float;
  // The device's budgets, which the report compares both models with.
  std::optional<uint64_t> flash_budget, ram_budget;
  // Where a progress line goes while calibration runs longer than a
  // second; null for none.
  std::ostream* progress = nullptr;
};

// Samples for each model input, by input name: the samples stacked on the
// first axis in place of the input's batch axis of 1.
using SampleSet = std::map<std::string, NdArray>;

// How far one model output of the int8 model is from the float model's,
// over one set of samples.
struct OutputError {
  std::string output;
  std::string set;  // "calibration" or "validation"
  int64_t samples = 0;
  double max_abs = 0;  // in real units
  // In output quantisation steps, for an output that is int8 inside the
  // model (nothing for one computed in float).
  std::optional<double> max_steps;
  double mean_abs = 0;
  double cosine = 1;
  double sqnr_db = 0;  // signal to quantisation noise; infinite when exact
  // For an output with a class axis: the share of samples whose largest
  // class is the float model's.
  std::optional<double> top1_agreement;
};

// One int8 layer's output against the float model's, on the calibration
// set: the error of its dequantised output and the share of its values
// clipped at −128 or 127.
struct LayerError {
  std::string layer;
  std::string op;
  double max_abs = 0;
  double mean_abs = 0;
  double clipped = 0;
};

struct QuantReport {
  std::string method;
  int64_t calibration_samples = 0;
  int64_t validation_samples = 0;
  std::vector<OutputError> outputs;
  std::vector<LayerError> layers;
  // Each run of connected nodes that stays in float (no integer rule, or
  // kept by keep_float), by node name.
  std::vector<std::vector<std::string>> float_islands;
  // What the quantiser changed that a user should know: a bias channel whose
  // weight scale grew to fit int32, a concat input requantised.
  std::vector<std::string> notes;
  // What may make the ranges unsound (too few samples).
  std::vector<std::string> warnings;
  // Flash (the model file) and RAM (arena and the buffers outside it), of
  // the float and the int8 model as exported with the default options.
  uint64_t float_flash = 0, float_ram = 0, int8_flash = 0, int8_ram = 0;
  std::optional<uint64_t> flash_budget, ram_budget;

  // The report as a table for a terminal, and as a JSON document.
  std::string Text() const;
  std::string Json() const;
};

struct QuantizedGraph {
  std::unique_ptr<Graph> graph;
  QuantReport report;
};

// Quantises `graph` (left unchanged) with `calibration`; `validation`, when
// given, is run for the report only. Bad samples (an input missing or extra,
// a wrong shape or element type, NaN or infinity, no samples at all) and a
// range that is not finite are a ValueError naming the input or the layer.
QuantizedGraph Quantize(const Graph& graph, const SampleSet& calibration,
                        const QuantizeOptions& options = {},
                        const SampleSet* validation = nullptr);

// A copy of `graph`: its nodes, edges, inputs, outputs and tensors (arrays
// share their data, which nothing writes).
std::unique_ptr<Graph> CopyGraph(const Graph& graph);

}  // namespace sarnic

#endif  // SARNIC_QUANTIZE_H_
