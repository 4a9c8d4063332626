// What snx-import and snx-export do with arbitrary bytes given as an ONNX
// model: protobuf, the operator sets, the dimensions, ONNX's checker and
// shape inference, and the conversion; and snx-inspect's description.
#include <cstddef>
#include <cstdint>

#include "sarnic/errors.h"
#include "sarnic/onnx_import.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    sarnic::OnnxOptions options;
    options.dims = {{"batch", 2}, {"n", 3}, {"x:0", 2}};
    options.nhwc_io = size % 2 == 1;
    options.strict_dims = false;  // the values serve whichever model comes
    (void)sarnic::ImportOnnxBytes(
        {reinterpret_cast<const std::byte*>(data), size}, "", "input", options);
  } catch (const sarnic::Error&) {
  }
  // What snx-inspect says of an ONNX model, without converting it.
  try {
    (void)sarnic::DescribeOnnxBytes(
        {reinterpret_cast<const std::byte*>(data), size}, "input");
  } catch (const sarnic::Error&) {
  }
  return 0;
}
