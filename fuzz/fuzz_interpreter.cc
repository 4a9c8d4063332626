// What snx-run does with arbitrary model bytes: load them for the
// interpreter (every layer's row, inputs, shape and place checked, its
// memory and operations counted) and run what the limits let through, in
// its arena and with separate buffers: a layer whose count falls far short
// of its real work shows here as a time-out.
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "sarnic/errors.h"
#include "sarnic/interpreter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const sarnic::Interpreter model = sarnic::Interpreter::FromBytes(
        std::vector<uint8_t>(data, data + size),
        {.max_memory = uint64_t{64} << 20, .max_operations = 1e7});
    std::map<std::string, sarnic::NdArray> inputs;
    for (const sarnic::TensorSpec& spec : model.inputs()) {
      inputs.emplace(spec.name, sarnic::NdArray::Zeros(spec.dtype, spec.shape));
    }
    (void)model.Run(inputs, {true, false});
    (void)model.Run(inputs, {false, true});
  } catch (const sarnic::Error&) {
  }
  return 0;
}
