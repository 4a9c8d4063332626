// What the spatial conversions share: a layer's output left in NHWC, and
// a window's kernel, strides, dilations and pads as the attributes and
// auto_pad give them.
#ifndef SARNIC_ONNX_WINDOWS_H_
#define SARNIC_ONNX_WINDOWS_H_

#include <cstdint>
#include <string>

#include "onnx/converter.h"

namespace sarnic::onnx_import {

// The node for a layer's NHWC output, recorded as the value's NHWC form.
std::string NhwcOutput(Converter& c, const onnx::NodeProto& n);

struct Window {
  int64_t kernel[2], stride[2], dilation[2];
  int64_t head[2], tail[2];
};

// The pads of a 2-D window: explicit, or worked out as auto_pad says.
Window WindowOf(Converter& c, const onnx::NodeProto& n, const Shape& x,
                const int64_t (&kernel)[2]);

// Pads of height and width as a 4-D "head" or "tail" list.
Value Pads(const int64_t (&p)[2]);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_WINDOWS_H_
