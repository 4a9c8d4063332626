// What the interpreter knows of a loaded model: every layer's row,
// inputs, shape, element type and place in the arena, checked once.
#ifndef SARNIC_RUNTIME_INTERPRETER_MODEL_H_
#define SARNIC_RUNTIME_INTERPRETER_MODEL_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/semantics.h"
#include "sarnic/interpreter.h"

namespace sarnic {
namespace runtime {

struct LayerPlan {
  const snxf::Layer* layer = nullptr;
  const LayerSemantics* row = nullptr;
  // Computed by the row's integer kernel: an int8 layer of a type that has
  // one.
  bool int8 = false;
  std::vector<uint32_t> inputs;
  // A float32 copy of a constant input of another type, made once.
  std::vector<std::optional<NdArray>> float_inputs;
  Shape shape;
  DType dtype = DType::kFloat32;
  std::optional<uint64_t> offset;  // in the arena
  uint64_t bytes = 0;
  double operations = 0;
  NdArray data;  // constants and variables
  // What the float kernel prepared from constant inputs at load.
  std::unique_ptr<Prepared> prepared;
};

}  // namespace runtime

struct Interpreter::Model {
  std::vector<uint8_t> bytes;
  const snxf::Model* model = nullptr;
  std::vector<runtime::LayerPlan> layers;
  std::vector<TensorSpec> inputs, outputs;
  std::vector<uint32_t> input_layers, output_layers;
  uint64_t arena_bytes = 0;
  Limits limits;
  double operations = 0;
  // Bytes of the float copies of constants and of what the kernels
  // prepared from them.
  uint64_t constant_copies = 0;

  void Load();
  // Bytes a run with `options` holds at once.
  uint64_t RunMemory(const RunOptions& options) const;
  // Refuses a run of `memory` bytes above the limit.
  void CheckMemory(uint64_t memory, const RunOptions& options) const;
  void PlanLayer(uint32_t index);
  // The kernels' preparations from constant inputs, while they fit in the
  // memory limit.
  void Prepare();
  void CheckInputs(runtime::LayerPlan& p, const runtime::LayerView& view);
  void PlaceInArena(runtime::LayerPlan& p, const runtime::LayerView& view);
  std::vector<TensorSpec> Specs(const flatbuffers::Vector<uint32_t>* indices,
                                std::vector<uint32_t>& layers_out,
                                const char* what) const;
};

}  // namespace sarnic

#endif  // SARNIC_RUNTIME_INTERPRETER_MODEL_H_
