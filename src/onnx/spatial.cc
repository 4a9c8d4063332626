// ONNX convolutions over the height and width of NCHW tensors, and the
// window settings every spatial conversion shares (pooling, resizing,
// reductions and batch normalization are in pooling.cc). Convolutions work
// on NHWC: they read their input's NHWC form (made by a transpose once,
// when the value is not held so already) and leave their output in NHWC
// alone, so that a chain of them and the element-wise operations between
// them needs no transpose; a filter is permuted from OIHW to [KH, KW,
// C_in / groups, C_out] once, at import.
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

#include "onnx/converter.h"
#include "onnx/fuse.h"
#include "onnx/rows.h"
#include "onnx/windows.h"

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

}  // namespace

std::string NhwcOutput(Converter& c, const onnx::NodeProto& n) {
  c.MarkNhwc(Out(n));
  return c.NhwcName(Out(n));
}

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

namespace {

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

}  // namespace

void AddSpatialRows(std::vector<OnnxOpRow>& rows) {
  rows.push_back({"Conv", Conv,
                  "conv in NHWC, filter OIHW → [KH, KW, "
                  "C_in / group, C_out] (strides, dilations, group, pads, "
                  "auto_pad, bias)"});
  rows.push_back({"ConvTranspose", ConvTranspose,
                  "transpose_conv in NHWC, filter [C_in, "
                  "C_out, KH, KW] → [KH, KW, C_out, C_in] (strides, pads, "
                  "output_padding, output_shape, auto_pad, bias; no groups "
                  "or dilations)"});
}

}  // namespace sarnic::onnx_import
