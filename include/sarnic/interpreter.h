// Running an SNX model: a reference interpreter that computes what each
// layer means (docs/semantics.md) inside one arena laid out as the model's
// memory plan says, as the device does. A mode with a buffer per output
// runs the same model, so that a fault in the plan shows as a difference.
#ifndef SARNIC_INTERPRETER_H_
#define SARNIC_INTERPRETER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sarnic/ndarray.h"

namespace snxf {
struct Layer;
enum class Op : uint8_t;
}  // namespace snxf

namespace sarnic {

struct TensorSpec {
  std::string name;
  Shape shape;
  DType dtype = DType::kFloat32;
};

struct RunOptions {
  // Every layer's output as well as the model's outputs, each named by its
  // layer, in model order.
  bool all_layers = false;
  // A buffer for every output instead of the planned arena.
  bool separate_buffers = false;
  // Called with each computed layer's output once it is written (not the
  // constants' data): the layer's name and a view of the output that is
  // valid during the call only. Nothing is copied for it.
  std::function<void(const std::string& layer, const NdArray& output)> observe =
      {};
  // Threads the convolutions and dense layers split their work over (1 to
  // 256); the results are the same bits for every count.
  int threads = 1;
};

// What a model may ask of the machine, checked when it is loaded (and the
// memory again when a run's options change it), so that a small file from
// anywhere cannot take the machine: a run it refuses is a ValueError naming
// the figure and the layer that costs the most.
struct Limits {
  // Bytes a run may hold at once: the arena, every buffer outside it, the
  // float copies of constants and the results it returns.
  uint64_t max_memory = uint64_t{2} << 30;
  // Operations a run may take: multiply-adds, window elements, and the
  // elements every other layer reads and writes.
  double max_operations = 1e11;
};

struct NamedArray {
  std::string name;
  NdArray array;
};

struct BenchmarkOptions {
  int runs = 20;    // timed inferences
  int warmup = 3;   // untimed ones first
  int threads = 1;  // as RunOptions::threads
};

// What a benchmark measured. Times are seconds per inference; a layer's is
// its mean over the timed runs.
struct BenchmarkResult {
  struct LayerTime {
    std::string name, type;
    double seconds = 0;
  };
  struct TypeTime {
    std::string type;
    int layers = 0;
    double seconds = 0;
  };
  int runs = 0, warmup = 0, threads = 1;
  // The matrix products' kernels: "avx512", "avx2" or "portable".
  std::string kernels;
  double median = 0, minimum = 0, maximum = 0;
  uint64_t arena_bytes = 0;
  // The process's peak resident memory so far, in bytes.
  uint64_t peak_memory_bytes = 0;
  // Every computed layer in model order; the layer types by their total
  // time, longest first; the ten slowest layers, slowest first.
  std::vector<LayerTime> layers;
  std::vector<TypeTime> by_type;
  std::vector<LayerTime> slowest;
  // The total of the layers' times (the shares' denominator).
  double layer_seconds = 0;

  // The table snx-run --benchmark prints.
  std::string Text() const;
};

class Interpreter {
 public:
  // The model in `bytes`, verified, every layer's shape inferred and
  // compared with the stored one, its memory and operations counted against
  // `limits`. A ValueError names the layer that cannot be run and why.
  static Interpreter FromBytes(std::vector<uint8_t> bytes,
                               const Limits& limits = {});
  static Interpreter FromFile(const std::string& path,
                              const Limits& limits = {});
  ~Interpreter();
  Interpreter(Interpreter&&) noexcept;
  Interpreter& operator=(Interpreter&&) noexcept;

  const std::vector<TensorSpec>& inputs() const;
  const std::vector<TensorSpec>& outputs() const;
  // Bytes of the arena the planned layers run in (0 without a plan).
  uint64_t arena_bytes() const;
  // What a run with `options` holds at once, in bytes, and the operations
  // it takes (as Limits counts them).
  uint64_t RunMemory(const RunOptions& options = {}) const;
  double operations() const;

  // What is wrong with `inputs` for a run, one sentence per problem: an
  // input missing, of another shape or element type, or one the model
  // does not take. Empty when the run can go ahead.
  std::vector<std::string> InputProblems(
      const std::map<std::string, NdArray>& inputs) const;

  // Runs the model on `inputs` (one array per model input, by name, of its
  // shape and element type: anything else is a ValueError naming it) and
  // returns the outputs in model order (with `all_layers`, every layer's).
  // A run whose memory passes the limits is refused before it starts.
  std::vector<NamedArray> Run(const std::map<std::string, NdArray>& inputs,
                              const RunOptions& options = {}) const;

  // Arrays for every model input in its shape and element type, random
  // (floats uniform in [−1, 1], integers over their whole range) and the
  // same for the same seed.
  std::map<std::string, NdArray> RandomInputs(uint64_t seed = 0) const;

  // Runs the model `options.warmup` times, then `options.runs` times timed,
  // each in its planned arena as Run does, with each layer timed. Runs
  // and warm-up runs outside [1, 1e6] and [0, 1e6] are a ValueError.
  BenchmarkResult Benchmark(const std::map<std::string, NdArray>& inputs,
                            const BenchmarkOptions& options = {}) const;

 private:
  struct Model;
  explicit Interpreter(std::unique_ptr<Model> model);
  // Run, with each computed layer's time added to `seconds` (one entry per
  // layer of the model) when it is given.
  std::vector<NamedArray> TimedRun(const std::map<std::string, NdArray>& inputs,
                                   const RunOptions& options,
                                   std::vector<double>* seconds) const;
  std::unique_ptr<Model> model_;
};

// The output shape that a layer of `layer`'s type computes from inputs of
// `inputs`' shapes and its own parameters; nothing for a type without a
// declared shape (the data layers, the refused types). A ValueError whose
// detail says why the inputs do not fit the layer. The checker's shape
// rule runs on it.
std::optional<Shape> InferLayerShape(const snxf::Layer& layer,
                                     std::span<const Shape> inputs);

// Whether a layer of `type` has its first input's shape (element-wise layers
// of one input, softmax, quantization).
bool LayerKeepsInputShape(snxf::Op type);

// The page of what each layer type computes (docs/semantics.md), made from
// the interpreter's own declarations.
std::string SemanticsMarkdown();

}  // namespace sarnic

#endif  // SARNIC_INTERPRETER_H_
