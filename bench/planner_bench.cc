// Memory planning of large graphs: a residual network of 20,000 layers
// with and without liveness optimisation, and a chain of 100,000 layers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>

#include "bench_util.h"
#include "planner/memory_map.h"
#include "planner/planners.h"
#include "sarnic/analysis.h"
#include "sarnic/checker.h"
#include "sarnic/exporter.h"
#include "sarnic/graph_file.h"
#include "sarnic/model_reader.h"

namespace sarnic::bench {
namespace {

// Pairs of a convolution (with its weight constant) and an addition that
// joins the block's input back in.
std::unique_ptr<Graph> Residual(int layers) {
  auto g = std::make_unique<Graph>();
  DiGraph& d = g->qm_nx_graph;
  auto& in = d.add_node("in");
  in.set("op", Value("external"));
  in.set("output_shape", Value::IntList({1, 32, 32, 16}));
  std::string prev = "in";
  for (int i = 0; 2 * i + 1 < layers; ++i) {
    const std::string w = "w" + std::to_string(i);
    const std::string c = "c" + std::to_string(i);
    const std::string a = "a" + std::to_string(i);
    auto& wn = d.add_node(w);
    wn.set("op", Value("constant"));
    wn.set("output_shape", Value::IntList({3, 3, 16, 16}));
    auto& cn = d.add_node(c);
    cn.set("op", Value("conv"));
    cn.set("output_shape", Value::IntList({1, 32, 32, 16 + (i % 3) * 8}));
    cn.set("input", Value(prev));
    cn.set("filter", Value(w));
    auto& an = d.add_node(a);
    an.set("op", Value("add"));
    an.set("output_shape", Value::IntList({1, 32, 32, 16}));
    an.set("x", Value(c));
    an.set("y", Value(prev));
    d.add_edge(prev, c);
    d.add_edge(w, c);
    d.add_edge(c, a);
    d.add_edge(prev, a);
    prev = a;
  }
  g->orig_inputs = {"in"};
  g->orig_outputs = {prev};
  return g;
}

std::unique_ptr<Graph> Chain(int layers) {
  auto g = std::make_unique<Graph>();
  DiGraph& d = g->qm_nx_graph;
  std::string prev;
  for (int i = 0; i < layers; ++i) {
    const std::string n = "l" + std::to_string(i);
    auto& node = d.add_node(n);
    node.set("op", Value(i == 0 ? "external" : "relu"));
    node.set("output_shape", Value::IntList({1, 64 + (i % 5) * 32}));
    if (i > 0) {
      node.set("x", Value(prev));
      d.add_edge(prev, n);
    }
    prev = n;
  }
  g->orig_outputs = {prev};
  return g;
}

// A chain whose layers all keep their input's shape, as a graph that
// passes the check does.
std::unique_ptr<Graph> SameShapeChain(int layers) {
  auto g = Chain(layers);
  for (uint32_t i = 0; i < g->qm_nx_graph.number_of_nodes(); ++i) {
    g->qm_nx_graph.attrs_of(i).set("output_shape", Value::IntList({1, 128}));
  }
  return g;
}

void Plan(benchmark::State& state, Graph& g, bool opt_map) {
  std::ostringstream out;
  MemoryMapOptions o;
  o.opt_map = opt_map;
  for (auto _ : state) {
    out.str("");
    benchmark::DoNotOptimize(
        memory_map(g.qm_nx_graph, g.orig_outputs, o, out).block_count);
  }
  // "Percent Above Min: x" is the last statistics line.
  const std::string s = out.str();
  const auto pos = s.find("Percent Above Min: ");
  if (pos != std::string::npos) {
    state.counters["pct_above_min"] = std::stod(s.substr(pos + 19));
  }
  state.counters["peak_rss_mib"] =
      static_cast<double>(PeakRssBytes()) / (1 << 20);
}

void BM_PlanResidual20kOpt(benchmark::State& state) {
  auto g = Residual(20000);
  Plan(state, *g, true);
}
BENCHMARK(BM_PlanResidual20kOpt)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PlanResidual20kNoOpt(benchmark::State& state) {
  auto g = Residual(20000);
  Plan(state, *g, false);
}
BENCHMARK(BM_PlanResidual20kNoOpt)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_PlanChain100kOpt(benchmark::State& state) {
  auto g = Chain(100000);
  Plan(state, *g, true);
}
BENCHMARK(BM_PlanChain100kOpt)->Unit(benchmark::kMillisecond)->Iterations(3);

// A concat of `parts` layers that all read one input: every part is live
// until the concat.
std::unique_ptr<Graph> Concat(int parts) {
  auto g = std::make_unique<Graph>();
  DiGraph& d = g->qm_nx_graph;
  auto& in = d.add_node("in");
  in.set("op", Value("external"));
  in.set("output_shape", Value::IntList({1, 256}));
  List values;
  for (int i = 0; i < parts; ++i) {
    const std::string p = "p" + std::to_string(i);
    auto& node = d.add_node(p);
    node.set("op", Value("relu"));
    node.set("x", Value("in"));
    node.set("output_shape", Value::IntList({1, 256}));
    d.add_edge("in", p);
    values.emplace_back(p);
  }
  auto& c = d.add_node("c");
  c.set("op", Value("concat"));
  c.set("values", Value(std::move(values)));
  c.set("axis", Value(1));
  c.set("output_shape", Value::IntList({1, 256 * int64_t{parts}}));
  for (int i = 0; i < parts; ++i) d.add_edge("p" + std::to_string(i), "c");
  g->orig_outputs = {"c"};
  return g;
}

// Check and export, as snx-export does, of a graph made afresh each time
// (the export changes its graph).
void CheckAndExport(benchmark::State& state,
                    std::unique_ptr<Graph> (*make)(int), int layers,
                    const char* planner = "standard") {
  for (auto _ : state) {
    state.PauseTiming();
    auto g = make(layers);
    state.ResumeTiming();
    benchmark::DoNotOptimize(CheckGraph(*g).size());
    std::ostringstream out;
    ExportOptions o;
    o.diagnostics = &out;
    o.planner = planner;
    SarnicExporter e(*g, "m", std::move(o));
    benchmark::DoNotOptimize(e.run().size());
  }
}
void BM_ExportChain100k(benchmark::State& state) {
  CheckAndExport(state, Chain, 100000);
}
void BM_ExportConcat100k(benchmark::State& state) {
  CheckAndExport(state, Concat, 100000);
}
BENCHMARK(BM_ExportChain100k)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ExportConcat100k)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace sarnic::bench

namespace sarnic::bench {
namespace {

// A 20,000-node graph of small operations, end to end: load the graph
// file, export with planning, write the model.
void BM_EndToEnd20kSmallOps(benchmark::State& state) {
  const std::string json = ScratchPath("small_ops.json");
  {
    auto g = SameShapeChain(20000);
    SaveGraph(*g, json);
  }
  const std::string out = ScratchPath("small_ops.snx");
  for (auto _ : state) {
    auto g = LoadGraph(json);
    std::ostringstream diagnostics;
    ExportOptions o;
    o.diagnostics = &diagnostics;
    SarnicExporter e(*g, "small_ops", std::move(o));
    const ModelBuffer model = e.run();
    WriteFileAtomically(out, model.data(), model.size());
  }
  std::remove(json.c_str());
  std::remove(out.c_str());
}
BENCHMARK(BM_EndToEnd20kSmallOps)->Unit(benchmark::kMillisecond)->Iterations(3);

// The graph check that snx-export runs before the export, on the same graph
// and with the same options (the layer types' declared shapes included).
void BM_Check20kSmallOps(benchmark::State& state) {
  const auto g = SameShapeChain(20000);
  std::size_t findings = 0;
  for (auto _ : state) findings += CheckGraph(*g).size();
  state.counters["findings"] = static_cast<double>(findings);
}
BENCHMARK(BM_Check20kSmallOps)->Unit(benchmark::kMillisecond)->Iterations(3);

// The plan verifier and the HTML report of the 20,000-layer model.
ModelBuffer Chain20kModel() {
  auto g = Chain(20000);
  std::ostringstream diagnostics;
  ExportOptions o;
  o.diagnostics = &diagnostics;
  SarnicExporter e(*g, "chain", std::move(o));
  return e.run();
}

void BM_Verify20k(benchmark::State& state) {
  const ModelBuffer m = Chain20kModel();
  std::size_t violations = 0;
  for (auto _ : state) violations += VerifyModel({m.data(), m.size()}).size();
  state.counters["violations"] = static_cast<double>(violations);
}
BENCHMARK(BM_Verify20k)->Unit(benchmark::kMillisecond)->Iterations(3);

// Every layer a model output, so all 20,000 are live to the end: the
// verifier compares each layer with the live layers around its blocks only.
void BM_VerifyAllLive20k(benchmark::State& state) {
  auto g = Chain(20000);
  g->orig_outputs.clear();
  for (const std::string& n : g->qm_nx_graph.nodes()) {
    g->orig_outputs.push_back(n);
  }
  std::ostringstream diagnostics;
  ExportOptions o;
  o.diagnostics = &diagnostics;
  o.opt_map = false;  // outputs back to back
  SarnicExporter e(*g, "all_live", std::move(o));
  const ModelBuffer m = e.run();
  std::size_t violations = 0;
  for (auto _ : state) violations += VerifyModel({m.data(), m.size()}).size();
  state.counters["violations"] = static_cast<double>(violations);
}
BENCHMARK(BM_VerifyAllLive20k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_HtmlReport20k(benchmark::State& state) {
  const ModelBuffer m = Chain20kModel();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const ModelFacts f =
        AnalyseModel(ReadModel({m.data(), m.size()}, "chain"), m.size());
    bytes = HtmlReport(f).size();
  }
  state.counters["report_mib"] = static_cast<double>(bytes) / (1 << 20);
}
BENCHMARK(BM_HtmlReport20k)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace sarnic::bench

namespace sarnic::bench {
namespace {

// Layers that each read the previous layer and a random earlier one (at
// most `reach` layers back; 0 for any), with random sizes: plans that the
// default planners leave above the bound. Reaching anywhere keeps about
// half the layers live at every step. With `one_shape` every layer has the
// same shape (the same skips), as additions that pass the check do.
std::unique_ptr<Graph> RandomSkips(int layers, int reach = 6,
                                   bool one_shape = false) {
  auto g = std::make_unique<Graph>();
  DiGraph& d = g->qm_nx_graph;
  uint64_t state = 12345;
  auto next = [&state](uint64_t n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % n;
  };
  for (int i = 0; i < layers; ++i) {
    const std::string n = "l" + std::to_string(i);
    auto& node = d.add_node(n);
    node.set("op", Value(i == 0 ? "external" : "add"));
    const auto width = static_cast<int64_t>(256 * (1 + next(8)));
    node.set("output_shape", Value::IntList({1, one_shape ? 256 : width}));
    if (i > 0) {
      const std::string prev = "l" + std::to_string(i - 1);
      const int span = reach == 0 ? i : std::min(i, reach);
      const auto back = static_cast<int>(next(span)) + 1;
      const std::string skip = "l" + std::to_string(i - back);
      node.set("x", Value(prev));
      node.set("y", Value(skip));
      d.add_edge(prev, n);
      d.add_edge(skip, n);
    }
  }
  g->orig_outputs = {"l" + std::to_string(layers - 1)};
  return g;
}

int64_t Stat(const std::string& s, const std::string& key) {
  const auto pos = s.find(key + ": ");
  return pos == std::string::npos ? -1
                                  : std::stoll(s.substr(pos + key.size() + 2));
}

void Best(benchmark::State& state, Graph& g) {
  std::ostringstream standard_out;
  memory_map(g.qm_nx_graph, g.orig_outputs, {}, standard_out);
  std::ostringstream out;
  MemoryMapOptions o;
  o.try_best = true;
  for (auto _ : state) {
    out.str("");
    memory_map(g.qm_nx_graph, g.orig_outputs, o, out);
  }
  state.counters["standard_blocks"] =
      static_cast<double>(Stat(standard_out.str(), "Current Blocks"));
  state.counters["best_blocks"] =
      static_cast<double>(Stat(out.str(), "Current Blocks"));
  state.counters["bound"] = static_cast<double>(Stat(out.str(), "Min Blocks"));
}

void BM_BestBundledExample(benchmark::State& state) {
  auto g = LoadGraph(SARNIC_EXAMPLES_DIR "/mobilenet/mobilenet.json");
  Best(state, *g);
}
BENCHMARK(BM_BestBundledExample)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BestResidual2k(benchmark::State& state) {
  auto g = Residual(2000);
  Best(state, *g);
}
BENCHMARK(BM_BestResidual2k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BestResidual20k(benchmark::State& state) {
  auto g = Residual(20000);
  Best(state, *g);
}
BENCHMARK(BM_BestResidual20k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BestRandomSkips2k(benchmark::State& state) {
  auto g = RandomSkips(2000);
  Best(state, *g);
}
BENCHMARK(BM_BestRandomSkips2k)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_PlanRandomReach2kOpt(benchmark::State& state) {
  auto g = RandomSkips(2000, 0);
  Plan(state, *g, true);
}
BENCHMARK(BM_PlanRandomReach2kOpt)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_BestRandomReach2k(benchmark::State& state) {
  auto g = RandomSkips(2000, 0);
  Best(state, *g);
}
BENCHMARK(BM_BestRandomReach2k)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace sarnic::bench

namespace sarnic::bench {
namespace {

// The first-fit step alone on residual live lists: each convolution is live
// with its block input, each addition with the convolution and the input.
void FirstFit(benchmark::State& state, int layers) {
  std::vector<std::vector<planner::LayerId>> steps;
  std::vector<int64_t> blocks;
  planner::LayerId input = 0;
  steps.push_back({0});
  blocks.push_back(16);
  for (int i = 1; i + 1 < layers; i += 2) {
    const auto c = static_cast<planner::LayerId>(i);
    steps.push_back({c, input});
    blocks.push_back(16 + (i % 3) * 8);
    steps.push_back({c + 1, c, input});
    blocks.push_back(16);
    input = c + 1;
  }
  const auto live = planner::LiveLists::Explicit(steps);
  for (auto _ : state) {
    benchmark::DoNotOptimize(planner::first_fit_map(live, blocks));
  }
}
void BM_FirstFit2k(benchmark::State& state) { FirstFit(state, 2000); }
BENCHMARK(BM_FirstFit2k)->Unit(benchmark::kMillisecond);
void BM_FirstFit20k(benchmark::State& state) { FirstFit(state, 20000); }
BENCHMARK(BM_FirstFit20k)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sarnic::bench

namespace sarnic::bench {
namespace {

// Adds whose second input is a uniformly random earlier layer (about half
// the layers live at every step), against a chain of as many layers: check
// and export with each planner.
std::unique_ptr<Graph> RandomReach(int layers) {
  return RandomSkips(layers, 0);
}
std::unique_ptr<Graph> RandomReachOneShape(int layers) {
  return RandomSkips(layers, 0, true);
}

// A U-shaped network: an encoder chain, then a decoder whose every layer
// adds the encoder layer at its own depth, so the early encoder layers stay
// live to the end (nested skips, as in segmentation networks).
std::unique_ptr<Graph> UShaped(int layers) {
  auto g = std::make_unique<Graph>();
  DiGraph& d = g->qm_nx_graph;
  const int half = layers / 2;
  std::string prev;
  auto add_node = [&](const std::string& name, const char* op) -> AttrDict& {
    auto& node = d.add_node(name);
    node.set("op", Value(op));
    node.set("output_shape", Value::IntList({1, 256}));
    if (!prev.empty()) {
      node.set("x", Value(prev));
      d.add_edge(prev, name);
    }
    prev = name;
    return node;
  };
  for (int i = 0; i < half; ++i) {
    add_node("e" + std::to_string(i), i == 0 ? "external" : "relu");
  }
  for (int depth = half - 1; depth >= 0; --depth) {
    const std::string skip = "e" + std::to_string(depth);
    const std::string name = "d" + std::to_string(depth);
    add_node(name, "add").set("y", Value(skip));
    d.add_edge(skip, name);
  }
  g->orig_outputs = {prev};
  return g;
}

// A densely connected network: blocks of 24 units, each unit reading the
// concatenation of the block's input and every unit before it in the
// block (reduced to one value per row and added to the block's input, in
// place of a convolution), so a block's outputs all stay live to its end.
// Three layers per unit.
std::unique_ptr<Graph> DenselyConnected(int layers) {
  auto g = std::make_unique<Graph>();
  DiGraph& d = g->qm_nx_graph;
  auto node = [&](const std::string& name, const char* op,
                  std::vector<int64_t> shape) -> AttrDict& {
    auto& n = d.add_node(name);
    n.set("op", Value(op));
    n.set("output_shape", Value::IntList(std::move(shape)));
    return n;
  };
  std::string block_in = "in";
  node(block_in, "external", {1, 256});
  constexpr int kUnits = 24;
  std::vector<std::string> block{block_in};
  for (int u = 0; 3 * u + 3 < layers; ++u) {
    const std::string id = std::to_string(u);
    List values(block.begin(), block.end());
    auto& c =
        node("c" + id, "concat", {1, 256 * static_cast<int64_t>(block.size())});
    c.set("values", Value(std::move(values)));
    c.set("axis", Value(1));
    for (const auto& b : block) d.add_edge(b, "c" + id);
    auto& r = node("r" + id, "mean_reduce", {1, 1});
    r.set("input", Value("c" + id));
    r.set("axes", Value::IntList({1}));
    d.add_edge("c" + id, "r" + id);
    auto& a = node("u" + id, "add", {1, 256});
    a.set("x", Value("r" + id));
    a.set("y", Value(block_in));
    d.add_edge("r" + id, "u" + id);
    d.add_edge(block_in, "u" + id);
    block.push_back("u" + id);
    if (block.size() > kUnits) {
      block_in = block.back();
      block = {block_in};
    }
  }
  g->orig_outputs = {block.back()};
  return g;
}

// The sizes the graphs with many layers live at once are exported at, once
// each (the largest take seconds).
void ManyLiveSizes(benchmark::internal::Benchmark* b) {
  b->Arg(2000)->Arg(20000)->Arg(100000);
  b->Unit(benchmark::kMillisecond)->Iterations(1);
}

void BM_ExportChain(benchmark::State& state) {
  CheckAndExport(state, Chain, static_cast<int>(state.range(0)));
}
void BM_ExportRandomReach(benchmark::State& state) {
  CheckAndExport(state, RandomReach, static_cast<int>(state.range(0)));
}
void BM_ExportRandomReachBest(benchmark::State& state) {
  CheckAndExport(state, RandomReach, static_cast<int>(state.range(0)), "best");
}
BENCHMARK(BM_ExportChain)
    ->Arg(2000)
    ->Arg(20000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_ExportRandomReach)->Apply(ManyLiveSizes);
void BM_ExportRandomReachOneShape(benchmark::State& state) {
  CheckAndExport(state, RandomReachOneShape, static_cast<int>(state.range(0)));
}
void BM_ExportRandomReachOneShapeBest(benchmark::State& state) {
  CheckAndExport(state, RandomReachOneShape, static_cast<int>(state.range(0)),
                 "best");
}
BENCHMARK(BM_ExportRandomReachOneShape)->Apply(ManyLiveSizes);
BENCHMARK(BM_ExportRandomReachOneShapeBest)->Apply(ManyLiveSizes);
void BM_ExportUShaped(benchmark::State& state) {
  CheckAndExport(state, UShaped, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_ExportUShaped)->Apply(ManyLiveSizes);
void BM_ExportDenselyConnected(benchmark::State& state) {
  CheckAndExport(state, DenselyConnected, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_ExportDenselyConnected)->Apply(ManyLiveSizes);
BENCHMARK(BM_ExportRandomReachBest)
    ->Arg(2000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace sarnic::bench

namespace sarnic::bench {
namespace {

// The best planner's time against the standard plan's on every topology
// here at several sizes (each the fastest of three): the largest ratio.
double FastestMs(Graph& g, const MemoryMapOptions& o) {
  double best = 1e300;
  for (int i = 0; i < 3; ++i) {
    std::ostringstream out;
    const auto start = std::chrono::steady_clock::now();
    memory_map(g.qm_nx_graph, g.orig_outputs, o, out);
    best = std::min(best, std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - start)
                              .count());
  }
  return best;
}

void BM_BestAgainstStandard(benchmark::State& state) {
  using Make = std::unique_ptr<Graph> (*)(int);
  const std::pair<const char*, Make> shapes[] = {
      {"residual", Residual},
      {"chain", Chain},
      {"random skips", [](int n) { return RandomSkips(n); }},
      {"random reach", RandomReach},
      {"random reach, one shape", RandomReachOneShape},
      {"U-shaped", UShaped},
      {"densely connected", DenselyConnected}};
  double largest = 0;
  std::string where;
  for (auto _ : state) {
    for (const auto& [name, make] : shapes) {
      for (const int n : {30, 100, 300, 1000, 2000}) {
        auto g = make(n);
        MemoryMapOptions best;
        best.try_best = true;
        const double ratio = FastestMs(*g, best) / FastestMs(*g, {});
        if (ratio > largest) {
          largest = ratio;
          where = std::string(name) + " of " + std::to_string(n) + " layers";
        }
      }
    }
  }
  state.counters["best_over_standard"] = largest;
  std::printf("best planner / standard plan, largest at %s\n", where.c_str());
}
BENCHMARK(BM_BestAgainstStandard)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace sarnic::bench
