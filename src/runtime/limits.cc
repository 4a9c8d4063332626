// What a run of a loaded model holds at once, held to its limit.
#include <string>

#include "runtime/interpreter_model.h"

namespace sarnic {

using runtime::LayerPlan;
using runtime::Storage;

uint64_t Interpreter::Model::RunMemory(const RunOptions& options) const {
  const bool in_arena = !options.separate_buffers && arena_bytes > 0;
  uint64_t memory = constant_copies + (in_arena ? arena_bytes : 0);
  for (const LayerPlan& p : layers) {
    if (p.row->storage == Storage::kOwn && !(in_arena && p.offset)) {
      memory += p.bytes;
    }
    if (options.all_layers) memory += p.bytes;
  }
  if (!options.all_layers) {
    for (uint32_t i : output_layers) memory += layers[i].bytes;
  }
  return memory;
}

void Interpreter::Model::CheckMemory(uint64_t memory,
                                     const RunOptions& options) const {
  if (memory <= limits.max_memory) return;
  const LayerPlan* largest = nullptr;
  for (const LayerPlan& p : layers) {
    if (largest == nullptr || p.bytes > largest->bytes) largest = &p;
  }
  throw ValueError(
      "A run of this model" +
          std::string(options.separate_buffers ? " with separate buffers"
                                               : "") +
          (options.all_layers ? " keeping every layer's output" : "") +
          " holds " + std::to_string(memory) + " bytes at once (" +
          (memory >= (1 << 20) ? std::to_string(memory >> 20) + " MiB; "
                               : std::string()) +
          "the largest output is " +
          (largest ? runtime::LayerPlace(*largest->layer) + "'s " +
                         std::to_string(largest->bytes) + " bytes"
                   : std::string("none")) +
          "), more than the limit of " + std::to_string(limits.max_memory) +
          " bytes;",
      "raise it to run it (snx-run --max-memory, Python max_memory=)");
}

}  // namespace sarnic
