// snx-inspect on a model of 50,000 layers with 50 inputs each (about 13 MB),
// run as a process: its time and its peak memory against the file's size.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench_util.h"
#include "sarnic/exporter.h"
#include "sarnic/files.h"

namespace sarnic::bench {
namespace {

constexpr int kLayers = 50000;
constexpr int kInputs = 50;

// add_n layers, each summing the 50 layers before it.
std::string WideModel() {
  Graph g;
  for (int i = 0; i < kLayers; ++i) {
    const std::string name = "layer" + std::to_string(i);
    auto& node = g.qm_nx_graph.add_node(name);
    node.set("output_shape", Value::IntList({1, 8}));
    if (i < kInputs) {
      node.set("op", Value("external"));
      g.orig_inputs.push_back(name);
      continue;
    }
    node.set("op", Value("add_n"));
    List values;
    for (int k = i - kInputs; k < i; ++k) {
      values.emplace_back("layer" + std::to_string(k));
    }
    node.set("values", Value(std::move(values)));
  }
  for (int i = kInputs; i < kLayers; ++i) {
    g.qm_nx_graph.add_edge("layer" + std::to_string(i - 1),
                           "layer" + std::to_string(i));
  }
  g.orig_outputs = {"layer" + std::to_string(kLayers - 1)};
  ExportOptions o;
  o.mem_map = false;
  SarnicExporter e(g, "wide", std::move(o));
  const ModelBuffer model = e.run();
  const std::string path = ScratchPath("wide.snx");
  WriteFile(path, model.data(), model.size());
  return path;
}

// Runs snx-inspect with `flag` on `path`, output discarded; its peak RSS.
std::size_t InspectPeakRss(const std::string& path, const char* flag) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    ::execl(SNX_INSPECT, SNX_INSPECT, path.c_str(), flag, nullptr);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

void Inspect(benchmark::State& state, const char* flag, const char* counter) {
  static const std::string path = WideModel();
  const std::size_t file = RegularFileSize(path, "model file");
  std::size_t peak = 0;
  for (auto _ : state) peak = InspectPeakRss(path, flag);
  state.counters[counter] =
      static_cast<double>(peak) / static_cast<double>(file);
}

void BM_InspectWideModelText(benchmark::State& state) {
  Inspect(state, "--params", "inspect_text_peak_ratio");
}
void BM_InspectWideModelJson(benchmark::State& state) {
  Inspect(state, "--json", "inspect_json_peak_ratio");
}
BENCHMARK(BM_InspectWideModelText)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_InspectWideModelJson)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
}  // namespace sarnic::bench
