// Export of a graph holding 256 MiB of float32 constants, against the floor
// of one memcpy of those bytes plus writing them to a file.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench_util.h"
#include "sarnic/exporter.h"

namespace sarnic::bench {
namespace {

constexpr int kConstants = 64;
constexpr int64_t kFloatsEach = (int64_t{256} << 20) / 4 / kConstants;

std::unique_ptr<Graph> BigGraph() {
  auto g = std::make_unique<Graph>();
  auto& in = g->qm_nx_graph.add_node("input");
  in.set("op", Value("external"));
  in.set("output_shape", Value::IntList({1, 16}));
  g->orig_inputs = {"input"};
  for (int i = 0; i < kConstants; ++i) {
    const std::string name = "w" + std::to_string(i);
    auto& node = g->qm_nx_graph.add_node(name);
    node.set("op", Value("constant"));
    node.set("output_shape", Value::IntList({kFloatsEach}));
    NdArray a = NdArray::Zeros(DType::kFloat32, {kFloatsEach});
    auto* f = reinterpret_cast<float*>(a.mutable_data());
    for (int64_t j = 0; j < kFloatsEach; ++j) f[j] = static_cast<float>(j % 97);
    g->tensor_dict.set(name, a);
    g->orig_outputs.push_back(name);
  }
  return g;
}

void BM_Export256MiB(benchmark::State& state) {
  const auto g = BigGraph();
  const std::size_t arrays = std::size_t{256} << 20;
  const std::string path = ScratchPath("export.snx");
  std::size_t out_size = 0;
  auto once = [&] {
    ExportOptions o;
    o.mem_map = false;
    SarnicExporter e(*g, "big", std::move(o));
    ModelBuffer model = e.run();
    WriteFile(path, model.data(), model.size());
    out_size = model.size();
  };
  once();  // warm-up: the first write of a file pays for its page cache
  for (auto _ : state) once();
  std::remove(path.c_str());
  state.counters["peak_ratio"] = static_cast<double>(PeakRssBytes()) /
                                 static_cast<double>(arrays + out_size);
}
BENCHMARK(BM_Export256MiB)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_MemcpyAndWrite256MiB(benchmark::State& state) {
  const std::size_t bytes = std::size_t{256} << 20;
  std::vector<char> src(bytes, 1);
  const std::string path = ScratchPath("copy.bin");
  auto once = [&] {
    auto dst = std::make_unique_for_overwrite<char[]>(bytes);
    std::memcpy(dst.get(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.get());
    WriteFile(path, dst.get(), bytes);
  };
  once();
  for (auto _ : state) once();
  std::remove(path.c_str());
}
BENCHMARK(BM_MemcpyAndWrite256MiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
}  // namespace sarnic::bench
