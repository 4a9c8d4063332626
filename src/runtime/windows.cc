// The settings and window sizes every layer over height and width shares
// (windows.h).
#include "runtime/windows.h"

#include <string>

#include "sarnic/value.h"

namespace sarnic::runtime {

Pair Setting(const LayerView& v, const char* name, bool required) {
  if (!required && !v.Has(name)) return {};
  const Shape s = v.List(name);
  if (s.size() == 2) return {s[0], s[1]};
  if (s.size() == 4) {
    if (s[0] != 1 || s[3] != 1) {
      v.Fail(std::string("parameter \"") + name + "\" " + ShapeText(s) +
             " acts on the batch or channel axis");
    }
    return {s[1], s[2]};
  }
  v.Fail(std::string("parameter \"") + name + "\" " + ShapeText(s) +
         " has neither 2 nor 4 entries");
}

Pads ReadPads(const LayerView& v) {
  Pads p;
  if (!v.Has("head") || !v.Has("tail")) return p;
  const Shape head = v.List("head"), tail = v.List("tail");
  if (head.size() != 4 || tail.size() != 4) {
    v.Fail("pads " + ShapeText(head) + " and " + ShapeText(tail) +
           " do not hold one entry per dimension of a 4-D input");
  }
  if (head[0] != 0 || head[3] != 0 || tail[0] != 0 || tail[3] != 0) {
    v.Fail("pads the batch or channel axis");
  }
  for (int64_t x : {head[1], head[2], tail[1], tail[2]}) {
    if (x < 0) v.Fail("has a negative pad");
  }
  p.head = {head[1], head[2]};
  p.tail = {tail[1], tail[2]};
  return p;
}

void Require4D(const LayerView& v, const Shape& s, const char* what) {
  if (s.size() != 4) {
    v.Fail(std::string("its ") + what + " " + ShapeText(s) + " is not 4-D");
  }
}

void RequirePositive(const LayerView& v, Pair p, const char* what) {
  if (p.h <= 0 || p.w <= 0) v.Fail(std::string("has a ") + what + " below 1");
}

int64_t OutputSize(const LayerView& v, int64_t in, int64_t head, int64_t tail,
                   int64_t window, int64_t stride) {
  const int64_t span = in + head + tail - window;
  if (span < 0) {
    v.Fail("its window of " + std::to_string(window) +
           " is larger than the padded input of " +
           std::to_string(in + head + tail));
  }
  return span / stride + 1;
}

ConvGeometry ConvSettings(const LayerView& v) {
  ConvGeometry g;
  g.stride = Setting(v, "strides", true);
  g.dilation = Setting(v, "dilations", false);
  g.pads = ReadPads(v);
  g.groups = v.IntegerOr("groups", 1);
  RequirePositive(v, g.stride, "stride");
  RequirePositive(v, g.dilation, "dilation");
  if (g.groups < 1) v.Fail("has fewer than 1 group");
  return g;
}

}  // namespace sarnic::runtime
