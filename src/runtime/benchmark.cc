// Benchmarks of a model: repeated timed runs with each layer timed, random
// inputs of the declared shapes, and the table of where the time goes.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/interpreter_model.h"
#include "runtime/kernels.h"
#include "runtime/layer_view.h"
#include "sarnic/errors.h"
#include "sarnic/value.h"

namespace sarnic {

namespace {

uint64_t PeakResidentBytes() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;  // KiB on Linux
}

template <typename T>
void Fill(NdArray& a, std::mt19937_64& rng) {
  auto* v = reinterpret_cast<T*>(a.mutable_data());
  if constexpr (std::is_floating_point_v<T>) {
    std::uniform_real_distribution<T> d(-1, 1);
    for (int64_t i = 0; i < a.size(); ++i) v[i] = d(rng);
  } else {
    std::uniform_int_distribution<int64_t> d(std::numeric_limits<T>::min(),
                                             std::numeric_limits<T>::max());
    for (int64_t i = 0; i < a.size(); ++i) v[i] = static_cast<T>(d(rng));
  }
}

std::string Milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds * 1e3);
  return text;
}

std::string Mebibytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f MiB",
                static_cast<double>(bytes) / (1 << 20));
  return text;
}

std::string Share(double part, double whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%",
                whole > 0 ? 100.0 * part / whole : 0.0);
  return text;
}

// Rows of text in columns as wide as their widest cell, the first row the
// heading.
std::string Columns(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> width;
  for (const auto& r : rows) {
    width.resize(std::max(width.size(), r.size()));
    for (std::size_t i = 0; i < r.size(); ++i) {
      width[i] = std::max(width[i], r[i].size());
    }
  }
  std::string out;
  for (const auto& r : rows) {
    std::string line = " ";
    for (std::size_t i = 0; i < r.size(); ++i) {
      line += " " + r[i] + std::string(width[i] - r[i].size() + 1, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

}  // namespace

std::map<std::string, NdArray> Interpreter::RandomInputs(uint64_t seed) const {
  std::mt19937_64 rng(seed);
  std::map<std::string, NdArray> inputs;
  for (const TensorSpec& spec : model_->inputs) {
    NdArray a = NdArray::Zeros(spec.dtype, spec.shape);
    switch (spec.dtype) {
      case DType::kFloat32:
        Fill<float>(a, rng);
        break;
      case DType::kFloat64:
        Fill<double>(a, rng);
        break;
      case DType::kInt8:
        Fill<int8_t>(a, rng);
        break;
      case DType::kUint8:
        Fill<uint8_t>(a, rng);
        break;
      case DType::kInt16:
        Fill<int16_t>(a, rng);
        break;
      case DType::kUint16:
        Fill<uint16_t>(a, rng);
        break;
      case DType::kInt32:
        Fill<int32_t>(a, rng);
        break;
      case DType::kUint32:
        Fill<uint32_t>(a, rng);
        break;
      case DType::kInt64:
        Fill<int64_t>(a, rng);
        break;
      case DType::kUint64:
        Fill<uint64_t>(a, rng);
        break;
      default:
        break;
    }
    inputs.emplace(spec.name, std::move(a));
  }
  return inputs;
}

BenchmarkResult Interpreter::Benchmark(
    const std::map<std::string, NdArray>& inputs,
    const BenchmarkOptions& options) const {
  if (options.runs < 1 || options.runs > 1'000'000) {
    throw ValueError("a benchmark takes 1 to 1,000,000 runs, not " +
                     std::to_string(options.runs));
  }
  if (options.warmup < 0 || options.warmup > 1'000'000) {
    throw ValueError("a benchmark takes 0 to 1,000,000 warm-up runs, not " +
                     std::to_string(options.warmup));
  }
  if (options.threads < 1 || options.threads > 256) {
    throw ValueError("a benchmark takes 1 to 256 threads, not " +
                     std::to_string(options.threads));
  }
  const Model& m = *model_;
  RunOptions run;
  run.threads = options.threads;
  for (int i = 0; i < options.warmup; ++i) Run(inputs, run);
  std::vector<double> layer_seconds(m.layers.size(), 0.0);
  std::vector<double> latency;
  for (int i = 0; i < options.runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    TimedRun(inputs, run, &layer_seconds);
    latency.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count());
  }
  BenchmarkResult r;
  r.runs = options.runs;
  r.warmup = options.warmup;
  r.threads = options.threads;
  r.kernels = runtime::KernelsName(runtime::ActiveKernels());
  std::sort(latency.begin(), latency.end());
  const std::size_t n = latency.size();
  r.median =
      n % 2 == 1 ? latency[n / 2] : (latency[n / 2 - 1] + latency[n / 2]) / 2;
  r.minimum = latency.front();
  r.maximum = latency.back();
  r.arena_bytes = m.arena_bytes;
  r.peak_memory_bytes = PeakResidentBytes();
  std::map<std::string, BenchmarkResult::TypeTime> types;
  for (std::size_t i = 0; i < m.layers.size(); ++i) {
    const runtime::LayerPlan& p = m.layers[i];
    if (p.row->storage == runtime::Storage::kParameterData) continue;
    const auto* name = p.layer->name();
    BenchmarkResult::LayerTime t{name ? name->str() : std::string(),
                                 snxf::EnumNameOp(p.layer->type()),
                                 layer_seconds[i] / options.runs};
    r.layer_seconds += t.seconds;
    auto& type = types[t.type];
    type.type = t.type;
    ++type.layers;
    type.seconds += t.seconds;
    r.layers.push_back(std::move(t));
  }
  for (auto& [_, t] : types) r.by_type.push_back(t);
  std::stable_sort(
      r.by_type.begin(), r.by_type.end(),
      [](const auto& a, const auto& b) { return a.seconds > b.seconds; });
  r.slowest = r.layers;
  std::stable_sort(
      r.slowest.begin(), r.slowest.end(),
      [](const auto& a, const auto& b) { return a.seconds > b.seconds; });
  if (r.slowest.size() > 10) r.slowest.resize(10);
  return r;
}

std::string BenchmarkResult::Text() const {
  std::string out = "benchmark: " + std::to_string(runs) + " runs after " +
                    std::to_string(warmup) + " warm-up runs, " + kernels +
                    " kernels, " + std::to_string(threads) +
                    (threads == 1 ? " thread\n" : " threads\n");
  out += "latency per inference: median " + Milliseconds(median) +
         " ms, minimum " + Milliseconds(minimum) + " ms, maximum " +
         Milliseconds(maximum) + " ms\n";
  out += "arena " + Mebibytes(arena_bytes) + ", process peak memory " +
         Mebibytes(peak_memory_bytes) + "\n\ntime per layer type:\n";
  std::vector<std::vector<std::string>> rows = {
      {"type", "layers", "ms", "share"}};
  for (const TypeTime& t : by_type) {
    rows.push_back({t.type, std::to_string(t.layers), Milliseconds(t.seconds),
                    Share(t.seconds, layer_seconds)});
  }
  out += Columns(rows) + "\nslowest layers:\n";
  rows = {{"layer", "type", "ms", "share"}};
  for (const LayerTime& l : slowest) {
    rows.push_back({Printable(l.name), l.type, Milliseconds(l.seconds),
                    Share(l.seconds, layer_seconds)});
  }
  return out + Columns(rows);
}

}  // namespace sarnic
