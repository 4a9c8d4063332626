// --quantize int8 and its options, as snx-export and snx-import take them:
// the graph quantised with the calibration samples before it is exported
// or written.
#ifndef SARNIC_TOOLS_QUANTIZE_OPTIONS_H_
#define SARNIC_TOOLS_QUANTIZE_OPTIONS_H_

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sarnic/errors.h"
#include "sarnic/npy.h"
#include "sarnic/quantize.h"
#include "tool_output.h"

namespace sarnic::tools {

struct QuantizeArgs {
  std::optional<std::string> quantize, calibration, validation, report;
  std::string method = "minmax", io = "float";
  double percentile = 99.99;
  std::vector<std::string> keep_float;
};

inline void DefineQuantizeOptions(CLI::App& app, QuantizeArgs& q) {
  app.add_option("--quantize", q.quantize,
                 "Quantise the model to int8 with the samples of "
                 "--calibration (post-training quantisation)")
      ->check(CLI::IsMember({"int8"}))
      ->type_name("int8");
  app.add_option("--calibration", q.calibration,
                 "NumPy .npz file with one array per model input, named as "
                 "the input, the samples stacked on the first axis "
                 "([N, 3, 32, 32] for an input [1, 3, 32, 32])")
      ->type_name("CALIB.npz");
  app.add_option("--calibration-method", q.method,
                 "How each tensor's range is found: minmax (the extremes), "
                 "percentile (--percentile), entropy (the least information "
                 "lost)")
      ->check(CLI::IsMember({"minmax", "percentile", "entropy"}));
  app.add_option("--percentile", q.percentile,
                 "The percentile of --calibration-method percentile")
      ->check(CLI::Range(50.0, 100.0));
  app.add_option("--io", q.io,
                 "float: the int8 model takes and gives float32 (a quant "
                 "layer after each input, a dequant before each output); "
                 "int8: its inputs and outputs are int8")
      ->check(CLI::IsMember({"float", "int8"}));
  Literal(app.add_option("--keep-float", q.keep_float,
                         "Nodes left in float (comma-separated or repeated)")
              ->delimiter(','));
  app.add_option("--validation", q.validation,
                 "Held-out samples (.npz, as --calibration) for the report "
                 "only");
  app.add_option("--quant-report", q.report,
                 "Write the quantisation report as JSON");
}

// For ParseCommandLine: the options that only --quantize reads.
inline void CheckQuantizeArgs(const CLI::App& app, const QuantizeArgs& q) {
  if (q.quantize && !q.calibration) {
    throw CLI::ValidationError(
        "--quantize",
        "needs --calibration CALIB.npz: the samples whose "
        "ranges set the int8 scales");
  }
  if (q.quantize) return;
  for (const char* flag :
       {"--calibration", "--calibration-method", "--percentile", "--io",
        "--keep-float", "--validation", "--quant-report"}) {
    if (app.count(flag) != 0) {
      throw CLI::ValidationError(flag, "applies only with --quantize int8");
    }
  }
}

// A 4-D sample set in NCHW order, as an ONNX model's input has it, in the
// NHWC order of a graph imported with --nhwc-io.
inline SampleSet ToNhwc(SampleSet set) {
  for (auto& [name, a] : set) {
    if (a.ndim() != 4) continue;
    const int64_t n = a.shape()[0], c = a.shape()[1], h = a.shape()[2],
                  w = a.shape()[3];
    NdArray t = NdArray::Zeros(a.dtype(), {n, h, w, c});
    const std::size_t item = a.itemsize();
    const std::byte* src = a.data();
    std::byte* dst = t.mutable_data();
    for (int64_t i = 0; i < n * c * h * w; ++i) {
      const int64_t x = i % w, y = i / w % h, ch = i / (w * h) % c,
                    b = i / (w * h * c);
      std::memcpy(dst + (((b * h + y) * w + x) * c + ch) * item,
                  src + static_cast<std::size_t>(i) * item, item);
    }
    a = std::move(t);
  }
  return set;
}

// The graph quantised as the options ask (the report printed on standard
// output, its warnings on standard error), or the graph itself without
// --quantize.
inline std::unique_ptr<Graph> QuantizeIfAsked(
    const QuantizeArgs& q, std::unique_ptr<Graph> graph, bool nhwc_io,
    std::vector<std::string>* files_read,
    std::optional<QuantReport>* report = nullptr,
    std::optional<uint64_t> flash_budget = std::nullopt,
    std::optional<uint64_t> ram_budget = std::nullopt) {
  if (!q.quantize) return graph;
  const auto read = [&](const std::string& path) {
    if (files_read != nullptr) files_read->push_back(path);
    SampleSet set = ReadNpz(path);
    return nhwc_io ? ToNhwc(std::move(set)) : set;
  };
  const SampleSet calibration = read(*q.calibration);
  std::optional<SampleSet> validation;
  if (q.validation) validation = read(*q.validation);
  QuantizeOptions options;
  options.method = q.method;
  options.percentile = q.percentile;
  options.io = q.io;
  options.keep_float = q.keep_float;
  options.progress = &std::cerr;
  options.flash_budget = flash_budget;
  options.ram_budget = ram_budget;
  QuantizedGraph result = Quantize(*graph, calibration, options,
                                   validation ? &*validation : nullptr);
  for (const std::string& w : result.report.warnings) {
    std::cerr << "warning: " << Printable(w) << "\n";
  }
  std::cout << result.report.Text();
  if (report != nullptr) *report = std::move(result.report);
  return std::move(result.graph);
}

}  // namespace sarnic::tools

#endif  // SARNIC_TOOLS_QUANTIZE_OPTIONS_H_
