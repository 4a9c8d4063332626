// Fusions at import, each exact up to float rounding: batch
// normalizations and per-channel scales and shifts that only a convolution
// feeds are folded into the convolution's filter and bias, an activation that
// only a convolution feeds becomes the convolution's fused activation, and the
// four operations of a hard swish become one layer. The value the fused
// operation computed becomes another name for the convolution's.
#include "onnx/fuse.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "onnx/converter.h"

namespace sarnic::onnx_import {

bool NormalizationAffine(const Converter& c, const onnx::NodeProto& n,
                         int64_t channels, std::vector<float>& k,
                         std::vector<float>& b) {
  const NdArray* p[4];
  for (int i = 0; i < 4; ++i) {
    p[i] = n.input_size() > i + 1 ? c.ConstantOf(n.input(i + 1)) : nullptr;
    if (p[i] == nullptr || p[i]->size() != channels) return false;
  }
  const double eps = FloatAttr(n, "epsilon", 1e-5f);
  k.resize(channels);
  b.resize(channels);
  for (int64_t ch = 0; ch < channels; ++ch) {
    const double scale = p[0]->GetDouble(ch), bias = p[1]->GetDouble(ch);
    const double mean = p[2]->GetDouble(ch), var = p[3]->GetDouble(ch);
    const double kk = scale / std::sqrt(var + eps);
    k[ch] = DoubleToFloat(kk);
    b[ch] = DoubleToFloat(bias - mean * kk);
  }
  return true;
}

namespace {

// The values of a constant that is one per channel of an NCHW tensor (or
// one for all): its shape aligned to 4-D is [1, C or 1, 1, 1].
bool PerChannel(const NdArray* a, int64_t channels, std::vector<float>& v) {
  if (a == nullptr || a->ndim() > 4 || a->dtype() != DType::kFloat32) {
    return false;
  }
  Shape s(4, 1);
  std::copy(a->shape().begin(), a->shape().end(), s.end() - a->ndim());
  if (s[0] != 1 || s[2] != 1 || s[3] != 1 || (s[1] != 1 && s[1] != channels)) {
    return false;
  }
  v.resize(static_cast<std::size_t>(channels));
  for (int64_t ch = 0; ch < channels; ++ch) {
    v[ch] = DoubleToFloat(a->GetDouble(s[1] == 1 ? 0 : ch));
  }
  return true;
}

// The per-channel y = x × k + b that `n` computes from `x`, if it does.
bool AffineOf(const Converter& c, const onnx::NodeProto& n,
              const std::string& x, int64_t channels, std::vector<float>& k,
              std::vector<float>& b) {
  const std::string& op = n.op_type();
  if (op == "BatchNormalization") {
    return n.input(0) == x && NormalizationAffine(c, n, channels, k, b);
  }
  if (n.input_size() != 2 ||
      (op != "Mul" && op != "Add" && op != "Sub" && op != "Div")) {
    return false;
  }
  const int other = n.input(0) == x ? 1 : 0;
  if (n.input(1 - other) != x || n.input(other) == x) return false;
  if ((op == "Sub" || op == "Div") && other != 1) return false;
  std::vector<float> v;
  if (!PerChannel(c.ConstantOf(n.input(other)), channels, v)) return false;
  k.assign(v.size(), 1.0f);
  b.assign(v.size(), 0.0f);
  for (std::size_t ch = 0; ch < v.size(); ++ch) {
    if (op == "Mul") k[ch] = v[ch];
    if (op == "Div") k[ch] = 1.0f / v[ch];
    if (op == "Add") b[ch] = v[ch];
    if (op == "Sub") b[ch] = -v[ch];
  }
  return true;
}

}  // namespace

bool FoldAffine(Converter& c, const onnx::NodeProto& conv,
                std::vector<float>& scale, std::vector<float>& bias) {
  const auto channels = static_cast<int64_t>(bias.size());
  scale.assign(bias.size(), 1.0f);
  bool folded = false;
  std::string at = Out(conv);
  std::vector<float> k, b;
  for (const onnx::NodeProto* next = c.SoleConsumer(at);
       next != nullptr && next->output_size() == 1 &&
       !c.IsOutput(next->output(0)) && AffineOf(c, *next, at, channels, k, b);
       next = c.SoleConsumer(at)) {
    for (int64_t ch = 0; ch < channels; ++ch) {
      scale[ch] *= k[ch];
      bias[ch] = bias[ch] * k[ch] + b[ch];
    }
    c.Alias(next->output(0), Out(conv));
    at = next->output(0);
    folded = true;
  }
  return folded;
}

namespace {

// The fused activation an ONNX operation is, or null.
const char* ActivationOf(const Converter& c, const onnx::NodeProto& n) {
  const std::string& op = n.op_type();
  if (op == "Relu") return "relu";
  if (op == "Sigmoid") return "sigmoid";
  if (op == "Tanh") return "tanh";
  const auto bounds = op == "Clip" ? ClipBounds(c, n) : std::nullopt;
  if (!bounds || bounds->first != 0.0f) return nullptr;
  if (bounds->second == 6.0f) return "relu6";
  if (bounds->second == std::numeric_limits<float>::infinity() ||
      bounds->second == std::numeric_limits<float>::max()) {
    return "relu";  // an open bound: only +inf differs (it stays inf)
  }
  return nullptr;
}

}  // namespace

bool FuseActivation(Converter& c, const onnx::NodeProto& n) {
  const char* act = ActivationOf(c, n);
  if (act == nullptr || n.input_size() == 0 || n.output_size() != 1 ||
      c.IsOutput(n.output(0)) || c.SoleConsumer(n.input(0)) != &n) {
    return false;
  }
  const std::string* layer = c.Fusable(n.input(0));
  if (layer == nullptr) return false;
  AttrDict& node = c.graph().qm_nx_graph.node(*layer);
  const Value* had = node.find("activation");
  if (had != nullptr && had->as_text() != "linear") return false;
  node.set("activation", Value(act));
  c.Alias(n.output(0), n.input(0));
  return true;
}

namespace {

// The one scalar of constant input `i`, or NaN.
float ScalarInput(const Converter& c, const onnx::NodeProto& n, int i) {
  const NdArray* a = i < n.input_size() ? c.ConstantOf(n.input(i)) : nullptr;
  return a != nullptr && a->size() == 1
             ? DoubleToFloat(a->GetDouble(0))
             : std::numeric_limits<float>::quiet_NaN();
}

// The input of `n` that is not `other`, when `n` has two inputs and one is.
const std::string* OtherInput(const onnx::NodeProto& n,
                              const std::string& other) {
  if (n.input_size() != 2) return nullptr;
  if (n.input(0) == other) return &n.input(1);
  if (n.input(1) == other) return &n.input(0);
  return nullptr;
}

// The swish layer (beta 1, hard or not) that computes `result` from `x`,
// in the layout the converter is in.
void AddSwish(Converter& c, const std::string& x, const std::string& result,
              bool hard) {
  const std::string in = c.nhwc_mode() ? c.Nhwc(x) : c.Nchw(x);
  c.Add(c.nhwc_mode() ? c.NhwcName(result) : c.NchwName(result), "swish",
        c.ShapeOf(result),
        {{"x", Value(in)},
         {"hard", Value(int64_t{hard ? 1 : 0})},
         {"beta", Value(1.0)}},
        {in});
}

}  // namespace

bool FuseHardSwish(Converter& c, const onnx::NodeProto& add,
                   std::string& result) {
  // Add(x, 3) → Clip(0, 6) → Mul(x, ·) → Div(·, 6) or Mul(·, 1 / 6).
  if (add.op_type() != "Add" || add.input_size() != 2) return false;
  const int k = c.ConstantOf(add.input(0)) != nullptr ? 0 : 1;
  if (ScalarInput(c, add, k) != 3.0f) return false;
  const std::string& x = add.input(1 - k);
  const onnx::NodeProto* clip = c.SoleConsumer(add.output(0));
  const auto bounds = clip != nullptr && clip->op_type() == "Clip"
                          ? ClipBounds(c, *clip)
                          : std::nullopt;
  if (!bounds || *bounds != std::pair{0.0f, 6.0f}) return false;
  const onnx::NodeProto* mul = c.SoleConsumer(clip->output(0));
  if (mul == nullptr || mul->op_type() != "Mul" ||
      OtherInput(*mul, clip->output(0)) == nullptr ||
      *OtherInput(*mul, clip->output(0)) != x) {
    return false;
  }
  const onnx::NodeProto* last = c.SoleConsumer(mul->output(0));
  if (last == nullptr || last->input_size() != 2 ||
      last->input(0) != mul->output(0) ||
      !((last->op_type() == "Div" && ScalarInput(c, *last, 1) == 6.0f) ||
        (last->op_type() == "Mul" &&
         std::abs(ScalarInput(c, *last, 1) - 1.0f / 6.0f) < 1e-7f))) {
    return false;
  }
  result = last->output(0);
  AddSwish(c, x, result, true);
  for (const auto* n : {clip, mul, last}) c.MarkConverted(n->output(0));
  return true;
}

// Sigmoid(x) read by Mul(x, ·) alone: x × sigmoid(x), the swish layer
// with beta 1 (the same operations: sigmoid(1 × x) is sigmoid(x)).
bool FuseSwish(Converter& c, const onnx::NodeProto& sigmoid,
               std::string& result) {
  if (sigmoid.op_type() != "Sigmoid" || sigmoid.input_size() != 1) {
    return false;
  }
  const std::string& x = sigmoid.input(0);
  const onnx::NodeProto* mul = c.SoleConsumer(sigmoid.output(0));
  if (mul == nullptr || mul->op_type() != "Mul") return false;
  const std::string* other = OtherInput(*mul, sigmoid.output(0));
  if (other == nullptr || *other != x) return false;
  result = mul->output(0);
  AddSwish(c, x, result, false);
  c.MarkConverted(mul->output(0));
  return true;
}

namespace {

bool ActivationFusion(Converter& c, const onnx::NodeProto& n,
                      std::string& result) {
  if (!FuseActivation(c, n)) return false;
  result.clear();  // no layer of its own: an attribute of the one before
  return true;
}

bool StartsAt(const FusionRow& row, const std::string& op) {
  const std::string_view list = row.starts_at;
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t end = std::min(list.find(", ", at), list.size());
    if (list.substr(at, end - at) == op) return true;
    at = end + 2;
  }
  return false;
}

constexpr FusionRow kFusionRows[] = {
    {"fused activation", "Relu, Sigmoid, Tanh, Clip",
     "an activation that alone reads the output of a Conv or ConvTranspose "
     "(neither value a model output) becomes that layer's fused activation: "
     "Relu, Sigmoid and Tanh as themselves, Clip(0, 6) as relu6 and Clip(0) "
     "with an open upper bound as relu",
     ActivationFusion},
    {"hard swish", "Add",
     "Add(x, 3), Clip(0, 6), Mul by x and Div by 6 (or Mul by 1/6), each "
     "read by the next alone, become one hard swish layer",
     FuseHardSwish},
    {"swish", "Sigmoid",
     "a Sigmoid of x read by a Mul by x alone (SiLU as exporters write it) "
     "becomes one swish layer",
     FuseSwish},
    {"scales and shifts into a convolution", "Conv",
     "the inference BatchNormalizations with constant statistics and the "
     "Mul, Div, Add and Sub by per-channel constants that alone follow a "
     "Conv (none a model output) fold into its filter and bias; applied as "
     "the Conv is converted",
     nullptr},
};

}  // namespace

std::span<const FusionRow> FusionRows() { return kFusionRows; }

const FusionRow* FuseAt(Converter& c, const onnx::NodeProto& n,
                        std::string& result) {
  for (const FusionRow& row : kFusionRows) {
    if (row.fuse != nullptr && StartsAt(row, n.op_type()) &&
        row.fuse(c, n, result)) {
      return &row;
    }
  }
  return nullptr;
}

}  // namespace sarnic::onnx_import
