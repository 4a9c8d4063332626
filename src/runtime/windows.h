// What the layers over height and width share: their [h, w] settings and
// pads as the parameters give them, and the output size of a window.
#ifndef SARNIC_RUNTIME_WINDOWS_H_
#define SARNIC_RUNTIME_WINDOWS_H_

#include <cstdint>

#include "runtime/semantics.h"

namespace sarnic::runtime {

struct Pair {
  int64_t h = 1, w = 1;
};

// A height/width setting written as [h, w] or [1, h, w, 1]; {1, 1} when
// it is absent and not `required`.
Pair Setting(const LayerView& v, const char* name, bool required);

struct Pads {
  Pair head{0, 0}, tail{0, 0};
};

// "head"/"tail" of one entry per input dimension, used only when both are
// there.
Pads ReadPads(const LayerView& v);

void Require4D(const LayerView& v, const Shape& s, const char* what);
void RequirePositive(const LayerView& v, Pair p, const char* what);

// A convolution's settings: "strides", "dilations" (1 when absent), the
// pads and "groups" (1 when absent), checked.
struct ConvGeometry {
  Pair kernel, stride, dilation;
  Pads pads;
  int64_t groups = 1;
};
ConvGeometry ConvSettings(const LayerView& v);

// Positions of a window of `window` moved by `stride` over `in` positions
// padded by `head` and `tail`; fails when the window is larger.
int64_t OutputSize(const LayerView& v, int64_t in, int64_t head, int64_t tail,
                   int64_t window, int64_t stride);

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_WINDOWS_H_
