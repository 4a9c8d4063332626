// snx-inspect on a model of 50,000 layers with 50 inputs each (about 13 MB),
// run as a process: its time and its peak memory against the file's size.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "sarnic/exporter.h"
#include "sarnic/files.h"

namespace sarnic::bench {
namespace {

constexpr int kLayers = 50000;
constexpr int kInputs = 50;

// add_n layers, each summing the 50 layers before it, written to `path`.
void WriteWideModel(const std::string& path) {
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
  WriteFile(path, model.data(), model.size());
}

// The model, made in a child process: a child of this process starts with
// this process's resident memory, so the graph must never be held here.
std::string WideModel() {
  const std::string path = ScratchPath("wide.snx");
  const pid_t pid = ::fork();
  if (pid == 0) {
    WriteWideModel(path);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::atexit([] { std::remove(ScratchPath("wide.snx").c_str()); });
  return path;
}

// Runs snx-inspect with `flag` on `path`, output discarded; its peak RSS.
// A child of this process starts with this process's resident memory, so
// the benchmark binary is started afresh (MeasurePeakRss in main.cc) and
// runs snx-inspect as its own child.
std::size_t InspectPeakRss(const std::string& path,
                           const std::vector<std::string>& flags) {
  std::vector<std::string> args = {path};
  args.insert(args.end(), flags.begin(), flags.end());
  return ChildPeakRss(SNX_INSPECT, args);
}

void Inspect(benchmark::State& state, const char* flag, const char* counter) {
  static const std::string path = WideModel();
  const std::size_t file = RegularFileSize(path, "model file");
  std::size_t peak = 0;
  for (auto _ : state) peak = InspectPeakRss(path, {flag});
  state.counters[counter] =
      static_cast<double>(peak) / static_cast<double>(file);
}

void BM_InspectWideModelText(benchmark::State& state) {
  Inspect(state, "--params", "inspect_text_peak_ratio");
}
void BM_InspectWideModelJson(benchmark::State& state) {
  Inspect(state, "--json", "inspect_json_peak_ratio");
}
// A chain of 500,000 planned layers (about 30 MB), made in a child.
std::string LongChain() {
  const std::string path = ScratchPath("chain500k.snx");
  const pid_t pid = ::fork();
  if (pid == 0) {
    Graph g;
    for (int i = 0; i < 500000; ++i) {
      const std::string name = "l" + std::to_string(i);
      auto& node = g.qm_nx_graph.add_node(name);
      node.set("output_shape", Value::IntList({1, 256}));
      node.set("op", Value(i == 0 ? "external" : "relu"));
      if (i > 0) {
        node.set("x", Value("l" + std::to_string(i - 1)));
        g.qm_nx_graph.add_edge("l" + std::to_string(i - 1), name);
      }
    }
    g.orig_inputs = {"l0"};
    g.orig_outputs = {"l499999"};
    ExportOptions o;
    std::ostringstream quiet;
    o.diagnostics = &quiet;
    SarnicExporter e(g, "chain", std::move(o));
    const ModelBuffer model = e.run();
    WriteFile(path, model.data(), model.size());
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::atexit([] {
    std::remove(ScratchPath("chain500k.snx").c_str());
    std::remove(ScratchPath("chain500k.html").c_str());
  });
  return path;
}

// The HTML report is written as it is made: its peak memory stays a small
// multiple of the model's size however many layers it lists.
void BM_HtmlReport500kPeak(benchmark::State& state) {
  static const std::string path = LongChain();
  const std::size_t file = RegularFileSize(path, "model file");
  std::size_t peak = 0;
  for (auto _ : state) {
    peak = InspectPeakRss(path, {"--html", ScratchPath("chain500k.html")});
  }
  state.counters["html_peak_ratio"] =
      static_cast<double>(peak) / static_cast<double>(file);
}
BENCHMARK(BM_HtmlReport500kPeak)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK(BM_InspectWideModelText)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_InspectWideModelJson)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
}  // namespace sarnic::bench
