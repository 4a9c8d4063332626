// ONNX operations over the height and width of NCHW tensors. Convolution,
// pooling and resizing layers work on NHWC: they read their input's NHWC
// form (made by a transpose once, when the value is not held so already)
// and leave their output in NHWC alone, so that a chain of them and the
// element-wise operations between them needs no transpose; a filter is
// permuted from OIHW to [KH, KW, C_in / groups, C_out] once, at import.
// Global pooling and batch normalization follow their input's layout.
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

#include "onnx/converter.h"

namespace sarnic::onnx_import {

namespace {

// A float32 filter [A, B, KH, KW] (OIHW, or a transposed convolution's
// [C_in, C_out, KH, KW]) as [KH, KW, B, A], each element times `scale` at
// its index along A when given: the filter as one matrix [A, B × KH × KW]
// transposed (a blocked copy), then its rows put in (KH, KW, B) order.
NdArray ToHwio(Converter& c, const onnx::NodeProto& n, const NdArray& a,
               const std::vector<float>* scale = nullptr) {
  using RowMatrix =
      Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  if (a.dtype() != DType::kFloat32 || a.ndim() != 4) {
    c.Fail(n, "has a filter that is not a 4-D float32 constant");
  }
  const Shape& s = a.shape();
  const int64_t A = s[0], B = s[1], K = s[2] * s[3];
  Eigen::Map<const RowMatrix> in(reinterpret_cast<const float*>(a.data()), A,
                                 B * K);
  // Every element is written below: the buffer is not cleared first.
  const auto count = static_cast<std::size_t>(a.size());
  std::shared_ptr<float[]> buffer(new float[count]);
  Eigen::Map<RowMatrix> out(buffer.get(), B * K, A);
  if (K == 1) {
    out = in.transpose();
  } else {
    const RowMatrix t = in.transpose();  // rows in (B, KH, KW) order
    for (int64_t b = 0; b < B; ++b) {
      for (int64_t k = 0; k < K; ++k) out.row(k * B + b) = t.row(b * K + k);
    }
  }
  if (scale != nullptr) {
    out.array().rowwise() *=
        Eigen::Map<const Eigen::RowVectorXf>(scale->data(), A).array();
  }
  return NdArray::View(DType::kFloat32, {s[2], s[3], B, A}, buffer,
                       {reinterpret_cast<const std::byte*>(buffer.get()),
                        count * sizeof(float)});
}

// The node for a layer's NHWC output, recorded as the value's NHWC form.
std::string NhwcOutput(Converter& c, const onnx::NodeProto& n) {
  c.MarkNhwc(Out(n));
  return c.NhwcName(Out(n));
}

struct Window {
  int64_t kernel[2], stride[2], dilation[2];
  int64_t head[2], tail[2];
};

// The pads of a 2-D window: explicit, or worked out as auto_pad says.
Window WindowOf(Converter& c, const onnx::NodeProto& n, const Shape& x,
                const int64_t (&kernel)[2]) {
  Window w{{kernel[0], kernel[1]}, {1, 1}, {1, 1}, {0, 0}, {0, 0}};
  if (const auto s = IntsAttr(n, "strides")) {
    if (s->size() != 2) c.Fail(n, "has strides of other than 2 entries");
    w.stride[0] = (*s)[0];
    w.stride[1] = (*s)[1];
  }
  if (const auto d = IntsAttr(n, "dilations")) {
    if (d->size() != 2) c.Fail(n, "has dilations of other than 2 entries");
    w.dilation[0] = (*d)[0];
    w.dilation[1] = (*d)[1];
  }
  const std::string pad = TextAttr(n, "auto_pad", "NOTSET");
  if (pad == "NOTSET") {
    if (const auto p = IntsAttr(n, "pads")) {
      if (p->size() != 4) c.Fail(n, "has pads of other than 4 entries");
      w.head[0] = (*p)[0];
      w.head[1] = (*p)[1];
      w.tail[0] = (*p)[2];
      w.tail[1] = (*p)[3];
    }
  } else if (pad == "SAME_UPPER" || pad == "SAME_LOWER") {
    for (int d = 0; d < 2; ++d) {
      const int64_t in = x[2 + d];
      const int64_t out = (in + w.stride[d] - 1) / w.stride[d];
      const int64_t span = (w.kernel[d] - 1) * w.dilation[d] + 1;
      const int64_t total =
          std::max<int64_t>((out - 1) * w.stride[d] + span - in, 0);
      w.head[d] = pad == "SAME_UPPER" ? total / 2 : total - total / 2;
      w.tail[d] = total - w.head[d];
    }
  } else if (pad != "VALID") {
    c.Fail(n, "has auto_pad '" + Printable(pad) + "'");
  }
  return w;
}

Value Pads(const int64_t (&p)[2]) { return Value::IntList({0, p[0], p[1], 0}); }

// The bias of a convolution: its constant values (zeros when it has none),
// or null when the model computes it.
std::optional<std::vector<float>> ConstantBias(Converter& c,
                                               const onnx::NodeProto& n,
                                               int64_t channels) {
  std::vector<float> bias(static_cast<std::size_t>(channels), 0.0f);
  if (n.input_size() <= 2 || n.input(2).empty()) return bias;
  const NdArray* b = c.ConstantOf(n.input(2));
  if (b == nullptr || b->size() != channels) return std::nullopt;
  for (int64_t i = 0; i < channels; ++i) {
    bias[i] = DoubleToFloat(b->GetDouble(i));
  }
  return bias;
}

// A bias is one value per output channel, as ONNX requires (its checker
// does not look).
void CheckBias(const Converter& c, const onnx::NodeProto& n, int64_t channels) {
  if (n.input_size() <= 2 || n.input(2).empty()) return;
  const Shape& b = c.OnnxShapeOf(n.input(2));
  if (b.size() != 1 || b[0] != channels) {
    std::string shape;
    for (const int64_t d : b) {
      shape += (shape.empty() ? "" : ", ") + std::to_string(d);
    }
    c.Fail(n, "has a bias of shape [" + shape + "]; it takes [" +
                  std::to_string(channels) + "], one value per output channel");
  }
}

void Conv(Converter& c, const onnx::NodeProto& n) {
  const std::string x = Source(c, n, 0);
  const Shape& xs = c.OnnxShapeOf(x);
  const NdArray* weights = c.ConstantOf(In(c, n, 1));
  if (xs.size() != 4) c.Fail(n, "is not a 2-D convolution of NCHW input");
  if (weights == nullptr) c.Fail(n, "has a filter that is not a constant");
  const Shape& ws = weights->shape();
  const int64_t kernel[2] = {ws.size() == 4 ? ws[2] : 0,
                             ws.size() == 4 ? ws[3] : 0};
  const Window w = WindowOf(c, n, xs, kernel);
  CheckBias(c, n, ws.empty() ? 0 : ws[0]);
  // Normalizations, scales and shifts that only this convolution feeds are
  // folded into its filter and bias.
  auto bias = ConstantBias(c, n, ws[0]);
  std::vector<float> k;
  const bool folded = bias && FoldAffine(c, n, k, *bias);
  const std::string filter = c.AddConstant(
      Out(n) + "/filter", ToHwio(c, n, *weights, folded ? &k : nullptr));
  const std::string input = c.Nhwc(x);
  const std::string conv = NhwcOutput(c, n);
  AttrDict& node =
      c.Add(conv, "conv", ToNhwc(c.OnnxShapeOf(Out(n))),
            {{"input", Value(input)},
             {"filter", Value(filter)},
             {"stride", Value::IntList({w.stride[0], w.stride[1]})},
             {"dilation", Value::IntList({w.dilation[0], w.dilation[1]})},
             {"groups", Value(IntAttr(n, "group", 1))},
             {"head", Pads(w.head)},
             {"tail", Pads(w.tail)}},
            {input, filter});
  std::string b;
  if (folded) {
    b = c.AddConstant(Out(n) + "/bias", NdArray::FromValues<float>(
                                            DType::kFloat32, {ws[0]}, *bias));
  } else if (n.input_size() > 2 && !n.input(2).empty()) {
    b = In(c, n, 2);
  }
  if (!b.empty()) {
    node.set("bias", Value(b));
    c.graph().qm_nx_graph.add_edge(c.Use(b), conv);
  }
  c.SetFusable(Out(n), conv);
}

// The transpose of a convolution: weights [C_in, C_out, KH, KW] become
// [KH, KW, C_out, C_in]; output row y = i × stride + k − pad_begin, the
// output size (with output_padding or output_shape) the inferred one.
void ConvTranspose(Converter& c, const onnx::NodeProto& n) {
  const std::string x = Source(c, n, 0);
  const Shape& xs = c.OnnxShapeOf(x);
  const NdArray* weights = c.ConstantOf(In(c, n, 1));
  if (xs.size() != 4)
    c.Fail(n, "is not a 2-D transposed convolution of NCHW input");
  if (weights == nullptr) c.Fail(n, "has a filter that is not a constant");
  if (IntAttr(n, "group", 1) != 1) c.Fail(n, "has groups; the layer has none");
  const Shape& ws = weights->shape();
  const int64_t kernel[2] = {ws.size() == 4 ? ws[2] : 0,
                             ws.size() == 4 ? ws[3] : 0};
  CheckBias(c, n, ws.size() == 4 ? ws[1] : 0);
  const Window w = WindowOf(c, n, xs, kernel);
  if (w.dilation[0] != 1 || w.dilation[1] != 1) {
    c.Fail(n, "has dilations; the layer has none");
  }
  const Shape& out = c.OnnxShapeOf(Out(n));
  int64_t head[2] = {w.head[0], w.head[1]}, tail[2] = {w.tail[0], w.tail[1]};
  const std::string pad = TextAttr(n, "auto_pad", "NOTSET");
  if (pad != "NOTSET" || IntsAttr(n, "output_shape")) {
    // The pads that give the inferred size, split as ONNX splits them.
    const auto extra = IntsAttr(n, "output_padding");
    for (int d = 0; d < 2; ++d) {
      const int64_t total = w.stride[d] * (xs[2 + d] - 1) + kernel[d] +
                            (extra && extra->size() == 2 ? (*extra)[d] : 0) -
                            out[2 + d];
      head[d] = pad == "SAME_UPPER" ? total / 2 : total - total / 2;
      tail[d] = total - head[d];
      if (head[d] < 0 || tail[d] < 0) {
        c.Fail(n, "asks for an output larger than its windows reach");
      }
    }
  }
  const std::string filter =
      c.AddConstant(Out(n) + "/filter", ToHwio(c, n, *weights));
  const std::string input = c.Nhwc(x);
  const std::string conv = NhwcOutput(c, n);
  AttrDict& node =
      c.Add(conv, "transpose_conv", ToNhwc(out),
            {{"input", Value(input)},
             {"filter", Value(filter)},
             {"stride", Value::IntList({w.stride[0], w.stride[1]})},
             {"head", Pads(head)},
             {"tail", Pads(tail)}},
            {input, filter});
  if (n.input_size() > 2 && !n.input(2).empty()) {
    const std::string bias = In(c, n, 2);
    node.set("bias", Value(bias));
    c.graph().qm_nx_graph.add_edge(c.Use(bias), conv);
  }
  c.SetFusable(Out(n), conv);
}

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
void Reduction(Converter& c, const onnx::NodeProto& n, const char* op,
               std::vector<int64_t> axes, bool keep) {
  const std::string x = In(c, n, 0);
  const Shape& xs = c.ShapeOf(x);
  for (int64_t& a : axes) {
    if (a < -static_cast<int64_t>(xs.size()) ||
        a >= static_cast<int64_t>(xs.size())) {
      c.Fail(n, "has axis " + std::to_string(a) + " outside its " +
                    std::to_string(xs.size()) + " dimensions");
    }
    if (a < 0) a += static_cast<int64_t>(xs.size());
  }
  std::sort(axes.begin(), axes.end());
  axes.erase(std::unique(axes.begin(), axes.end()), axes.end());
  Shape dropped;
  for (std::size_t d = 0; d < xs.size(); ++d) {
    if (!std::binary_search(axes.begin(), axes.end(), int64_t(d))) {
      dropped.push_back(xs[d]);
    }
  }
  const std::string reduced = keep ? c.Fresh(Out(n) + "/reduced") : Out(c, n);
  c.Add(reduced, op, dropped,
        {{"input", Value(x)}, {"axes", Value::IntList(axes)}}, {x});
  if (keep) {
    c.Add(Out(c, n), "reshape", c.ShapeOf(Out(n)), {{"input", Value(reduced)}},
          {reduced});
  }
}

template <const char* kOp>
void Reduce(Converter& c, const onnx::NodeProto& n) {
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
  Reduction(c, n, kOp, axes, IntAttr(n, "keepdims", 1) != 0);
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

void AddSpatialRows(std::vector<OnnxOpRow>& rows) {
  rows.push_back({"AveragePool", Pool<true>,
                  "avg_pool in NHWC (pads, auto_pad, ceil_mode; with "
                  "count_include_pad the pads as zeros padded in first)"});
  rows.push_back({"BatchNormalization", BatchNormalization,
                  "x × k + b along the channel axis, k and b folded from the "
                  "statistics (mul, add)",
                  true});
  rows.push_back({"Conv", Conv,
                  "conv in NHWC, filter OIHW → [KH, KW, "
                  "C_in / group, C_out] (strides, dilations, group, pads, "
                  "auto_pad, bias)"});
  rows.push_back({"ConvTranspose", ConvTranspose,
                  "transpose_conv in NHWC, filter [C_in, "
                  "C_out, KH, KW] → [KH, KW, C_out, C_in] (strides, pads, "
                  "output_padding, output_shape, auto_pad, bias; no groups "
                  "or dilations)"});
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
