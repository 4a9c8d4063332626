// ONNX pooling, resizing, reductions and batch normalization over NCHW
// tensors: pooling and resizing work on NHWC (their input's NHWC form, their
// output left in NHWC); global pooling, reductions and batch normalization
// follow their input's layout.
#include <algorithm>
#include <cmath>
#include <optional>

#include "onnx/converter.h"
#include "onnx/fuse.h"
#include "onnx/rows.h"
#include "onnx/windows.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import {

namespace {

// ONNX's roundings of a nearest neighbour's position.
enum class Rounding { kFloor, kCeil, kHalfUp, kHalfDown };

std::optional<Rounding> RoundingOf(const std::string& name) {
  if (name == "floor") return Rounding::kFloor;
  if (name == "ceil") return Rounding::kCeil;
  if (name == "round_prefer_ceil") return Rounding::kHalfUp;
  if (name == "round_prefer_floor") return Rounding::kHalfDown;
  return std::nullopt;
}

// The positions of an axis whose samples the check compares one by one.
constexpr int64_t kMaxCheckedPositions = int64_t{1} << 24;

// Whether every output position of an axis resized from `in` to `out`
// samples the same input position under the layer's rule (align, half)
// and under ONNX's (its rounding, and half_pixel's − 0.5 when `centred`).
bool SameNearest(int64_t in, int64_t out, Rounding rounding, bool centred,
                 bool align, bool half) {
  const double scale = align && out > 1 ? double(in - 1) / double(out - 1)
                                        : double(in) / double(out);
  for (int64_t o = 0; o < out; ++o) {
    const double at = static_cast<double>(o);
    const double ours_src = half ? (at + 0.5) * scale : at * scale;
    const double src = centred ? (at + 0.5) * scale - 0.5 : ours_src;
    const double theirs = rounding == Rounding::kFloor  ? std::floor(src)
                          : rounding == Rounding::kCeil ? std::ceil(src)
                          : rounding == Rounding::kHalfUp
                              ? std::floor(src + 0.5)
                              : std::ceil(src - 0.5);
    const double ours = align ? std::round(ours_src) : std::floor(ours_src);
    if (std::clamp<double>(ours, 0, double(in - 1)) !=
        std::clamp<double>(theirs, 0, double(in - 1))) {
      return false;
    }
  }
  return true;
}

// Resize of H and W (N and C kept): nearest or linear, with the
// coordinate rules the layer has; another rule is refused unless it picks
// the same samples at every output position of this model's sizes.
void Resize(Converter& c, const onnx::NodeProto& n) {
  const std::string x = Source(c, n, 0);
  const Shape& xs = c.OnnxShapeOf(x);
  const Shape& out = c.OnnxShapeOf(Out(n));
  if (xs.size() != 4 || out[0] != xs[0] || out[1] != xs[1]) {
    c.Fail(n, "resizes other than the height and width of NCHW input");
  }
  const std::string mode = TextAttr(n, "mode", "nearest");
  std::string coords = TextAttr(n, "coordinate_transformation_mode",
                                c.opset() >= 11 ? "half_pixel" : "asymmetric");
  if (coords == "pytorch_half_pixel" && out[2] > 1 && out[3] > 1)
    coords = "half_pixel";
  const bool align = coords == "align_corners";
  bool half = coords == "half_pixel" || coords == "tf_half_pixel_for_nn";
  if (coords != "asymmetric" && !align && !half) {
    c.Fail(n, "has coordinate_transformation_mode '" + Printable(coords) + "'");
  }
  if (mode == "nearest") {
    const std::string rounding = TextAttr(
        n, "nearest_mode", c.opset() >= 11 ? "round_prefer_floor" : "floor");
    const auto r = RoundingOf(rounding);
    if (!r) c.Fail(n, "has nearest_mode '" + Printable(rounding) + "'");
    for (int d = 2; d < 4; ++d) {
      if (out[d] > kMaxCheckedPositions) {
        c.Fail(n, "resizes an axis to " + std::to_string(out[d]) +
                      " positions, more than the importer checks");
      }
      if (!SameNearest(xs[d], out[d], *r, coords == "half_pixel", align,
                       half)) {
        c.Fail(n, "rounds nearest neighbours by '" + Printable(rounding) +
                      "' with '" + Printable(coords) +
                      "' coordinates, which pick other samples than the "
                      "layer's at these sizes");
      }
    }
  } else if (mode != "linear" || coords == "tf_half_pixel_for_nn") {
    c.Fail(n, "has mode '" + Printable(mode) + "' with '" + Printable(coords) +
                  "' coordinates; nearest and linear are converted");
  }
  const std::string input = c.Nhwc(x);
  const std::string resized = NhwcOutput(c, n);
  c.Add(resized, "resize", ToNhwc(out),
        {{"input", Value(input)},
         {"mode", Value(int64_t{mode == "nearest" ? 0 : 1})},
         {"align_corners", Value(align)},
         {"half_pixel_centers", Value(half)}},
        {input});
}

template <bool kAverage>
void Pool(Converter& c, const onnx::NodeProto& n) {
  const std::string x = Source(c, n, 0);
  const Shape& xs = c.OnnxShapeOf(x);
  const auto k = IntsAttr(n, "kernel_shape");
  if (xs.size() != 4 || !k || k->size() != 2) {
    c.Fail(n, "is not a 2-D pooling of NCHW input");
  }
  const int64_t kernel[2] = {(*k)[0], (*k)[1]};
  Window w = WindowOf(c, n, xs, kernel);
  if (w.dilation[0] != 1 || w.dilation[1] != 1) {
    c.Fail(n, "has dilations; pooling layers have none");
  }
  // With ceil_mode the last window may run past the pads: the tail grows
  // until the layer's rounding down gives the inferred size.
  const Shape& out = c.OnnxShapeOf(Out(n));
  const bool padded = w.head[0] || w.head[1] || w.tail[0] || w.tail[1];
  for (int d = 0; d < 2; ++d) {
    const int64_t need =
        (out[2 + d] - 1) * w.stride[d] + w.kernel[d] - xs[2 + d] - w.head[d];
    w.tail[d] = std::max(w.tail[d], need);
  }
  std::string input = c.Nhwc(x);
  if (kAverage && IntAttr(n, "count_include_pad", 0) != 0 && padded) {
    // The pads counted in the averages are zeros padded in first, and so is
    // a last window's run past them (ONNX Runtime divides every window by
    // the kernel's size).
    Shape in = ToNhwc(xs);
    const std::string zeros = c.Fresh(Out(n) + "/padded");
    in = {in[0], in[1] + w.head[0] + w.tail[0], in[2] + w.head[1] + w.tail[1],
          in[3]};
    c.Add(zeros, "pad", in,
          {{"input", Value(input)},
           {"head", Pads(w.head)},
           {"tail", Pads(w.tail)},
           {"value", Value(0.0)}},
          {input});
    input = zeros;
    w.head[0] = w.head[1] = w.tail[0] = w.tail[1] = 0;
  }
  const std::string pool = NhwcOutput(c, n);
  c.Add(pool, kAverage ? "avg_pool" : "max_pool", ToNhwc(out),
        {{"input", Value(input)},
         {"size", Value::IntList({w.kernel[0], w.kernel[1]})},
         {"stride", Value::IntList({w.stride[0], w.stride[1]})},
         {"head", Pads(w.head)},
         {"tail", Pads(w.tail)}},
        {input});
}

// A reduction along `axes`, then the kept axes as 1s when asked.
// Reduces `x` (input 0 of `n` when empty; of `shape` when given, else its
// value's) by `op` over `axes` into the node's output, or into `into` when
// given (then without keeping the axes); returns the name written.
std::string Reduction(Converter& c, const onnx::NodeProto& n, const char* op,
                      std::vector<int64_t> axes, bool keep, std::string x = "",
                      const std::string& into = "",
                      const Shape* shape = nullptr) {
  if (x.empty()) x = In(c, n, 0);
  const Shape xs = shape != nullptr ? *shape : c.ShapeOf(x);
  for (int64_t& a : axes) {
    const std::optional<int64_t> normal = NormalAxis(a, xs.size());
    if (!normal) {
      c.Fail(n, "has axis " + std::to_string(a) + " outside its " +
                    std::to_string(xs.size()) + " dimensions");
    }
    a = *normal;
  }
  std::sort(axes.begin(), axes.end());
  axes.erase(std::unique(axes.begin(), axes.end()), axes.end());
  Shape dropped;
  for (std::size_t d = 0; d < xs.size(); ++d) {
    if (!std::binary_search(axes.begin(), axes.end(), int64_t(d))) {
      dropped.push_back(xs[d]);
    }
  }
  if (!into.empty()) keep = false;
  const std::string reduced = !into.empty() ? into
                              : keep        ? c.Fresh(Out(n) + "/reduced")
                                            : Out(c, n);
  c.Add(reduced, op, dropped,
        {{"input", Value(x)}, {"axes", Value::IntList(axes)}}, {x});
  if (keep) {
    c.Add(Out(c, n), "reshape", c.ShapeOf(Out(n)), {{"input", Value(reduced)}},
          {reduced});
    return Out(c, n);
  }
  return reduced;
}

// The axes a reduction node names (attribute, input, or all of them).
std::vector<int64_t> ReducedAxes(Converter& c, const onnx::NodeProto& n) {
  std::vector<int64_t> axes;
  if (const auto given = IntsAttr(n, "axes")) {
    axes = *given;
  } else if (n.input_size() > 1 && !n.input(1).empty()) {
    const NdArray* a = c.ConstantOf(n.input(1));
    if (a == nullptr) c.Fail(n, "has axes that are not a constant");
    for (int64_t i = 0; i < a->size(); ++i) axes.push_back(a->GetInt(i));
  } else {
    for (std::size_t d = 0; d < c.ShapeOf(In(c, n, 0)).size(); ++d) {
      axes.push_back(static_cast<int64_t>(d));
    }
  }
  return axes;
}

// The reduced value `r` (axes dropped) as the node's output, the axes kept
// as 1s when keepdims says so.
void Finish(Converter& c, const onnx::NodeProto& n, const std::string& r) {
  c.Add(Out(c, n), "reshape", c.ShapeOf(Out(n)), {{"input", Value(r)}}, {r});
}

// The shape of `xs` without `axes`.
Shape Dropped(const Shape& xs, const std::vector<int64_t>& axes) {
  Shape out;
  for (std::size_t d = 0; d < xs.size(); ++d) {
    bool on = false;
    for (const int64_t a : axes)
      on = on || NormalAxis(a, xs.size()) == int64_t(d);
    if (!on) out.push_back(xs[d]);
  }
  return out;
}

// Σ x² (ReduceSumSquare), √Σ x² (ReduceL2), Σ |x| (ReduceL1).
template <int kKind>
void ReduceNorm(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const Shape& xs = c.ShapeOf(x);
  const std::string t = c.Fresh(Out(n) + (kKind == 1 ? "/abs" : "/square"));
  if (kKind == 1) {
    c.Add(t, "abs", xs, {{"x", Value(x)}}, {x});
  } else {
    c.Add(t, "mul", xs, {{"x", Value(x)}, {"y", Value(x)}}, {x});
  }
  const std::vector<int64_t> axes = ReducedAxes(c, n);
  std::string sum = Reduction(c, n, "sum_reduce", axes, false, t,
                              c.Fresh(Out(n) + "/sum"), &xs);
  if (kKind == 2) {
    const std::string root = c.Fresh(Out(n) + "/sqrt");
    c.Add(root, "sqrt", Dropped(xs, axes), {{"x", Value(sum)}}, {sum});
    sum = root;
  }
  Finish(c, n, sum);
}

// log Σ exp(x): max + log Σ exp(x − max), so that exp never overflows.
void ReduceLogSumExp(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const Shape& xs = c.ShapeOf(x);
  const std::vector<int64_t> axes = ReducedAxes(c, n);
  const std::string m =
      Reduction(c, n, "max_reduce", axes, false, x, c.Fresh(Out(n) + "/max"));
  Shape kept = xs;
  for (const int64_t a : axes) {
    kept[*NormalAxis(a, xs.size())] = 1;
  }
  const std::string mk = c.Fresh(Out(n) + "/max_kept");
  c.Add(mk, "reshape", kept, {{"input", Value(m)}}, {m});
  const std::string d = c.Fresh(Out(n) + "/shifted");
  c.Add(d, "sub", xs, {{"x", Value(x)}, {"y", Value(mk)}}, {x, mk});
  const std::string e = c.Fresh(Out(n) + "/exp");
  c.Add(e, "exp", xs, {{"x", Value(d)}}, {d});
  const std::string s = Reduction(c, n, "sum_reduce", axes, false, e,
                                  c.Fresh(Out(n) + "/sum"), &xs);
  const Shape dropped = Dropped(xs, axes);
  const std::string l = c.Fresh(Out(n) + "/log");
  c.Add(l, "log", dropped, {{"x", Value(s)}}, {s});
  const std::string r = c.Fresh(Out(n) + "/log_sum_exp");
  c.Add(r, "add", dropped, {{"x", Value(l)}, {"y", Value(m)}}, {l, m});
  Finish(c, n, r);
}

template <const char* kOp>
void Reduce(Converter& c, const onnx::NodeProto& n) {
  Reduction(c, n, kOp, ReducedAxes(c, n), IntAttr(n, "keepdims", 1) != 0);
}

// Over H and W; an input held in NHWC is reduced there, its result
// [N, C] reshaped to [N, 1, 1, C] (the same order as NCHW's [N, C, 1, 1]).
template <const char* kOp>
void GlobalPool(Converter& c, const onnx::NodeProto& n) {
  const std::string v = Source(c, n, 0);
  const Shape& xs = c.OnnxShapeOf(v);
  if (xs.size() != 4) c.Fail(n, "is not of NCHW input");
  if (!c.HasNhwc(v)) {
    Reduction(c, n, kOp, {2, 3}, true);
    return;
  }
  const std::string x = c.Nhwc(v), reduced = c.Fresh(Out(n) + "/reduced");
  c.Add(reduced, kOp, {xs[0], xs[1]},
        {{"input", Value(x)}, {"axes", Value::IntList({1, 2})}}, {x});
  const std::string out = NhwcOutput(c, n);
  c.Add(out, "reshape", {xs[0], 1, 1, xs[1]}, {{"input", Value(reduced)}},
        {reduced});
}

constexpr char kMean[] = "mean_reduce", kSum[] = "sum_reduce",
               kMax[] = "max_reduce", kMin[] = "min_reduce",
               kProd[] = "prod_reduce";

// Inference batch normalization folded into x × k + b along axis 1, with
// k = scale / sqrt(var + epsilon) and b = bias − mean × k.
void BatchNormalization(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const Shape& source = c.OnnxShapeOf(n.input(0));
  const NdArray* p[4];
  for (int i = 0; i < 4; ++i) {
    p[i] = c.ConstantOf(n.input_size() > i + 1 ? n.input(i + 1) : "");
    if (p[i] == nullptr) c.Fail(n, "has statistics that are not constants");
  }
  if (source.size() < 2) c.Fail(n, "has an input of fewer than 2 dimensions");
  const int64_t channels = source[1];
  for (const NdArray* a : p) {
    if (a->size() != channels) {
      c.Fail(n, "has statistics of " + std::to_string(a->size()) +
                    " values for " + std::to_string(channels) + " channels");
    }
  }
  Shape shape = {channels};
  for (std::size_t d = 2; d < source.size(); ++d) shape.push_back(1);
  std::vector<float> k, b;
  NormalizationAffine(c, n, channels, k, b);
  // Shaped [C, 1, ...] for NCHW; in NHWC mode their NHWC forms.
  auto param = [&](const char* suffix, std::vector<float>& values) {
    const std::string name = c.AddConstant(
        Out(n) + suffix,
        NdArray::FromValues<float>(DType::kFloat32, shape, values));
    return c.nhwc_mode() ? c.Nhwc(name) : name;
  };
  const std::string kc = param("/scale", k), bc = param("/shift", b);
  const Shape xs = c.ShapeOf(Out(n));
  const std::string scaled = c.Fresh(Out(n) + "/scaled");
  c.Add(scaled, "mul", xs, {{"x", Value(x)}, {"y", Value(kc)}}, {x, kc});
  c.Add(Out(c, n), "add", xs, {{"x", Value(scaled)}, {"y", Value(bc)}},
        {scaled, bc});
}

}  // namespace

void AddPoolingRows(std::vector<OnnxOpRow>& rows) {
  rows.push_back({"AveragePool", Pool<true>,
                  "avg_pool in NHWC (pads, auto_pad, ceil_mode; with "
                  "count_include_pad the pads as zeros padded in first)"});
  rows.push_back({"BatchNormalization", BatchNormalization,
                  "x × k + b along the channel axis, k and b folded from the "
                  "statistics (mul, add)",
                  true});
  rows.push_back({"GlobalAveragePool", GlobalPool<kMean>,
                  "mean_reduce over H and W, kept as 1s (reshape)"});
  rows.push_back({"GlobalMaxPool", GlobalPool<kMax>,
                  "max_reduce over H and W, kept as 1s (reshape)"});
  rows.push_back({"MaxPool", Pool<false>,
                  "max_pool in NHWC (pads, auto_pad, "
                  "ceil_mode)"});
  rows.push_back({"Resize", Resize,
                  "resize of H and W in NHWC: nearest "
                  "(floor, or any rounding that picks the same samples) or "
                  "linear, with asymmetric, half_pixel or align_corners "
                  "coordinates"});
  rows.push_back(
      {"ReduceMax", Reduce<kMax>, "max_reduce; keepdims by reshape"});
  rows.push_back({"ReduceL1", ReduceNorm<1>, "sum_reduce of abs"});
  rows.push_back({"ReduceL2", ReduceNorm<2>, "sqrt of sum_reduce of x × x"});
  rows.push_back({"ReduceSumSquare", ReduceNorm<0>, "sum_reduce of x × x"});
  rows.push_back({"ReduceLogSumExp", ReduceLogSumExp,
                  "max + log(sum_reduce(exp(x − max))), max by max_reduce (exp "
                  "never overflows)"});
  rows.push_back(
      {"ReduceMean", Reduce<kMean>, "mean_reduce; keepdims by reshape"});
  rows.push_back(
      {"ReduceMin", Reduce<kMin>, "min_reduce; keepdims by reshape"});
  rows.push_back(
      {"ReduceProd", Reduce<kProd>, "prod_reduce; keepdims by reshape"});
  rows.push_back({"ReduceSum", Reduce<kSum>,
                  "sum_reduce (axes as attribute or input); keepdims by "
                  "reshape"});
}

}  // namespace sarnic::onnx_import
