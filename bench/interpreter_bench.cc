// One inference with the reference interpreter: the bundled example and a
// 20-layer convolutional network at 224×224, and snx-run's peak memory on
// the latter beside the model's arena and parameters.
#include <benchmark/benchmark.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "sarnic/exporter.h"
#include "sarnic/graph_file.h"
#include "sarnic/interpreter.h"
#include "sarnic/npy.h"

namespace sarnic::bench {
namespace {

ModelBuffer ExportQuietly(Graph& g) {
  std::ostringstream quiet;
  ExportOptions o;
  o.diagnostics = &quiet;
  return SarnicExporter(g, "bench", std::move(o)).run();
}

// 20 3×3 convolutions with relu at 224×224: 3 channels in, 16 throughout.
ModelBuffer Conv20At224() {
  Graph g;
  auto& nodes = g.qm_nx_graph;
  AttrDict& in = nodes.add_node("image");
  in.set("op", Value("external"));
  in.set("output_shape", Value::IntList({1, 224, 224, 3}));
  std::string last = "image";
  for (int i = 0; i < 20; ++i) {
    const std::string n = "conv" + std::to_string(i), w = n + "_w";
    const int64_t cin = i == 0 ? 3 : 16;
    std::vector<float> weights(static_cast<std::size_t>(9 * cin * 16));
    for (std::size_t k = 0; k < weights.size(); ++k) {
      weights[k] = static_cast<float>(k % 7) * 0.01f - 0.03f;
    }
    g.tensor_dict.set(w, NdArray::FromValues<float>(DType::kFloat32,
                                                    {3, 3, cin, 16}, weights));
    AttrDict& wn = nodes.add_node(w);
    wn.set("op", Value("constant"));
    wn.set("output_shape", Value::IntList({3, 3, cin, 16}));
    AttrDict& c = nodes.add_node(n);
    c.set("op", Value("conv"));
    c.set("output_shape", Value::IntList({1, 224, 224, 16}));
    c.set("input", Value(last));
    c.set("filter", Value(w));
    c.set("stride", Value::IntList({1, 1}));
    c.set("dilation", Value::IntList({1, 1}));
    c.set("groups", Value(int64_t{1}));
    c.set("head", Value::IntList({0, 1, 1, 0}));
    c.set("tail", Value::IntList({0, 1, 1, 0}));
    c.set("activation", Value("relu"));
    nodes.add_edge(last, n);
    nodes.add_edge(w, n);
    last = n;
  }
  g.orig_inputs = {"image"};
  g.orig_outputs = {last};
  return ExportQuietly(g);
}

std::map<std::string, NdArray> Inputs(const Interpreter& it) {
  std::map<std::string, NdArray> inputs;
  for (const TensorSpec& s : it.inputs()) {
    NdArray a = NdArray::Zeros(s.dtype, s.shape);
    auto* f = reinterpret_cast<float*>(a.mutable_data());
    for (int64_t i = 0; i < a.size(); ++i) {
      f[i] = static_cast<float>(i % 255) / 255.0f;
    }
    inputs.emplace(s.name, std::move(a));
  }
  return inputs;
}

void Infer(benchmark::State& state, const ModelBuffer& model) {
  const Interpreter it =
      Interpreter::FromBytes({model.data(), model.data() + model.size()});
  const auto inputs = Inputs(it);
  for (auto _ : state) benchmark::DoNotOptimize(it.Run(inputs));
}

void BM_InterpretExample(benchmark::State& state) {
  static const ModelBuffer model = [] {
    auto g = LoadGraph(SARNIC_EXAMPLES_DIR "/mobilenet/mobilenet.json");
    return ExportQuietly(*g);
  }();
  Infer(state, model);
}
BENCHMARK(BM_InterpretExample)->Unit(benchmark::kMillisecond);

void BM_InterpretConv20At224(benchmark::State& state) {
  static const ModelBuffer model = Conv20At224();
  Infer(state, model);
}
BENCHMARK(BM_InterpretConv20At224)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// snx-run's peak against the arena plus the parameters: the outputs live
// in the arena, not in a buffer each.
void BM_InterpretConv20At224Peak(benchmark::State& state) {
  const ModelBuffer model = Conv20At224();
  const std::string path = ScratchPath("conv20.snx");
  const std::string input = ScratchPath("image.npy");
  WriteFile(path, model.data(), model.size());
  const Interpreter it =
      Interpreter::FromBytes({model.data(), model.data() + model.size()});
  const std::string npy = NpyBytes(Inputs(it).begin()->second);
  WriteFile(input, npy.data(), npy.size());
  std::size_t peak = 0;
  for (auto _ : state) peak = ChildPeakRss(SNX_RUN, {path, "--input", input});
  const double mib = 1024.0 * 1024.0;
  state.counters["run_peak_mib"] = static_cast<double>(peak) / mib;
  state.counters["run_arena_mib"] = static_cast<double>(it.arena_bytes()) / mib;
  state.counters["run_model_mib"] = static_cast<double>(model.size()) / mib;
  state.counters["run_buffer_per_layer_mib"] = 20.0 * 224 * 224 * 16 * 4 / mib;
  std::remove(path.c_str());
  std::remove(input.c_str());
}
BENCHMARK(BM_InterpretConv20At224Peak)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace sarnic::bench
