// What snx-run does with arbitrary model bytes: load them for the
// interpreter (every layer's row, inputs, shape and place checked) and,
// when the model is small, run it in its arena and with separate buffers.
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "sarnic/errors.h"
#include "sarnic/interpreter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const sarnic::Interpreter model =
        sarnic::Interpreter::FromBytes(std::vector<uint8_t>(data, data + size));
    // Runs of bounded memory only: the work of a layer grows with its
    // shapes, which a hostile model may make as large as memory allows.
    uint64_t elements = 0;
    std::map<std::string, sarnic::NdArray> inputs;
    for (const sarnic::TensorSpec& spec : model.inputs()) {
      const auto a = sarnic::NdArray::Zeros(spec.dtype, spec.shape);
      elements += static_cast<uint64_t>(a.size());
      inputs.emplace(spec.name, a);
    }
    if (elements > (1u << 16) || model.arena_bytes() > (1u << 20)) return 0;
    (void)model.Run(inputs, {true, false});
    (void)model.Run(inputs, {false, true});
  } catch (const sarnic::Error&) {
  }
  return 0;
}
