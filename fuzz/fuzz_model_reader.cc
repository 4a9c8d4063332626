// The model reader behind snx-inspect on arbitrary bytes.
#include <cstdint>
#include <vector>

#include "sarnic/errors.h"
#include "sarnic/model_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy, aligned as a file read into memory would be.
  const std::vector<uint8_t> bytes(data, data + size);
  try {
    const snxf::Model& model = sarnic::ReadModel(bytes, "input");
    sarnic::DescribeOptions options;
    options.params = true;
    const auto description = sarnic::DescribeModel(model, options);
    (void)sarnic::FormatDescription(description);
  } catch (const sarnic::Error&) {
  }
  return 0;
}
