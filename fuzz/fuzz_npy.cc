// What snx-run does with an arbitrary .npy or .npz input file.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "sarnic/errors.h"
#include "sarnic/npy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const sarnic::NdArray a = sarnic::ParseNpy(
        {reinterpret_cast<const std::byte*>(data), size}, "input");
    // What is read writes back to the same bytes.
    const std::string again = sarnic::NpyBytes(a);
    (void)sarnic::ParseNpy(
        {reinterpret_cast<const std::byte*>(again.data()), again.size()},
        "again");
  } catch (const sarnic::Error&) {
  }
  try {
    (void)sarnic::ParseNpz({reinterpret_cast<const std::byte*>(data), size},
                           "input");
  } catch (const sarnic::Error&) {
  }
  // As snx-run reads a .npz for a model: entries held to the inputs.
  try {
    const std::map<std::string, std::size_t> limits = {{"x", 1 << 16}};
    (void)sarnic::ParseNpz({reinterpret_cast<const std::byte*>(data), size},
                           "input", &limits);
  } catch (const sarnic::Error&) {
  }
  return 0;
}
