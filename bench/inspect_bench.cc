// snx-inspect on a model of 50,000 layers with 50 inputs each (about 13 MB),
// run as a process: its time and its peak memory against the file's size.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

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
std::size_t InspectPeakRss(const std::string& path, const char* flag) {
  int fds[2];
  if (::pipe(fds) != 0) return 0;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::execl("/proc/self/exe", "sarnic_bench", "--measure-peak-rss", SNX_INSPECT,
            path.c_str(), flag, nullptr);
    ::_exit(127);
  }
  ::close(fds[1]);
  char buf[64] = {};
  const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return n > 0 ? static_cast<std::size_t>(std::strtoull(buf, nullptr, 10)) : 0;
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
