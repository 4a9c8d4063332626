// Int8 models: one inference of a convolutional network in int8 against the
// same network in float, and quantisation's time and peak memory for 100
// and 500 calibration samples of a network whose arena is about 1 MB.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "sarnic/exporter.h"
#include "sarnic/interpreter.h"
#include "sarnic/quantize.h"

namespace sarnic::bench {
namespace {

// `layers` 3×3 convolutions with relu at size×size, 3 channels in, 16
// throughout, with biases.
std::unique_ptr<Graph> ConvNet(int layers, int64_t size) {
  auto g = std::make_unique<Graph>();
  auto& nodes = g->qm_nx_graph;
  AttrDict& in = nodes.add_node("image");
  in.set("op", Value("external"));
  in.set("output_shape", Value::IntList({1, size, size, 3}));
  std::string last = "image";
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> d(-0.3f, 0.3f);
  for (int i = 0; i < layers; ++i) {
    const std::string n = "conv" + std::to_string(i), w = n + "_w",
                      b = n + "_b";
    const int64_t cin = i == 0 ? 3 : 16;
    std::vector<float> weights(static_cast<std::size_t>(9 * cin * 16));
    for (float& v : weights) v = d(rng);
    std::vector<float> bias(16);
    for (float& v : bias) v = d(rng);
    g->tensor_dict.set(w, NdArray::FromValues<float>(DType::kFloat32,
                                                     {3, 3, cin, 16}, weights));
    g->tensor_dict.set(b,
                       NdArray::FromValues<float>(DType::kFloat32, {16}, bias));
    for (const auto& [name, shape] :
         {std::pair{w, std::vector<int64_t>{3, 3, cin, 16}},
          std::pair{b, std::vector<int64_t>{16}}}) {
      AttrDict& c = nodes.add_node(name);
      c.set("op", Value("constant"));
      c.set("output_shape", Value::IntList(shape));
    }
    AttrDict& c = nodes.add_node(n);
    c.set("op", Value("conv"));
    c.set("output_shape", Value::IntList({1, size, size, 16}));
    c.set("input", Value(last));
    c.set("filter", Value(w));
    c.set("bias", Value(b));
    c.set("stride", Value::IntList({1, 1}));
    c.set("dilation", Value::IntList({1, 1}));
    c.set("groups", Value(int64_t{1}));
    c.set("head", Value::IntList({0, 1, 1, 0}));
    c.set("tail", Value::IntList({0, 1, 1, 0}));
    c.set("activation", Value("relu"));
    for (const std::string& from : {last, w, b}) nodes.add_edge(from, n);
    last = n;
  }
  g->orig_inputs = {"image"};
  g->orig_outputs = {last};
  return g;
}

SampleSet Samples(int n, int64_t size) {
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> d(0.0f, 1.0f);
  std::vector<float> v(static_cast<std::size_t>(n * size * size * 3));
  for (float& x : v) x = d(rng);
  return {{"image",
           NdArray::FromValues<float>(DType::kFloat32, {n, size, size, 3}, v)}};
}

std::vector<uint8_t> Export(const Graph& graph) {
  std::unique_ptr<Graph> copy = CopyGraph(graph);
  std::ostringstream quiet;
  ExportOptions o;
  o.diagnostics = &quiet;
  const ModelBuffer m = SarnicExporter(*copy, "bench", std::move(o)).run();
  return {m.data(), m.data() + m.size()};
}

// The same 8-layer network at 96×96 in float and in int8 (int8 io, so the
// run is integer throughout); the counter is float time / int8 time.
void BM_InterpretInt8AgainstFloat(benchmark::State& state) {
  const auto graph = ConvNet(8, 96);
  QuantizeOptions o;
  o.io = "int8";
  const QuantizedGraph q = Quantize(*graph, Samples(8, 96), o);
  const Interpreter f = Interpreter::FromBytes(Export(*graph));
  const Interpreter i8 = Interpreter::FromBytes(Export(*q.graph));
  const std::map<std::string, NdArray> fin = {
      {"image", Samples(1, 96).at("image")}};
  const std::map<std::string, NdArray> qin = {
      {"image", NdArray::Zeros(DType::kInt8, {1, 96, 96, 3})}};
  double float_s = 0, int8_s = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(f.Run(fin));
    auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(i8.Run(qin));
    auto t2 = std::chrono::steady_clock::now();
    float_s += std::chrono::duration<double>(t1 - t0).count();
    int8_s += std::chrono::duration<double>(t2 - t1).count();
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["float_ms"] = float_s / runs * 1e3;
  state.counters["int8_ms"] = int8_s / runs * 1e3;
  state.counters["int8_speedup"] = float_s / int8_s;
}
BENCHMARK(BM_InterpretInt8AgainstFloat)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// Quantising a 4-layer network at 128×128 (each output 1 MB in float, the
// arena about 2 MB) with N samples: the time, and the process's peak
// resident memory after it (which includes the samples themselves).
void BM_QuantizeSamples(benchmark::State& state) {
  const auto graph = ConvNet(4, 128);
  const int n = static_cast<int>(state.range(0));
  const SampleSet samples = Samples(n, 128);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Quantize(*graph, samples));
  }
  const double mib = 1024.0 * 1024.0;
  state.counters["samples_mib"] =
      static_cast<double>(samples.at("image").nbytes()) / mib;
  state.counters["peak_rss_mib"] = static_cast<double>(PeakRssBytes()) / mib;
}
BENCHMARK(BM_QuantizeSamples)
    ->Arg(100)
    ->Arg(500)
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

}  // namespace
}  // namespace sarnic::bench
