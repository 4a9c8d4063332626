// The integer kernels of int8 layers, each computed by the rules of
// sarnic/fixed_point.h from the scales and zero points of its tensors (the
// quantization fields of the layers that write them), the same on every
// machine.
#include "runtime/integer.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "runtime/broadcast.h"
#include "runtime/semantics.h"
#include "sarnic/fixed_point.h"

namespace sarnic::runtime {

using fixed_point::QuantParams;

// The one scale and zero point of an int8 tensor written by `of`.
QuantParams TensorParams(const LayerView& v, const snxf::Layer& of) {
  const auto* scale = of.scale();
  const auto* zero = of.zero();
  const std::string whose =
      &of == &v.layer() ? std::string("its output") : LayerPlace(of);
  if (scale == nullptr || scale->size() != 1) {
    v.Fail("is int8 but " + whose + " has " +
           std::to_string(scale ? scale->size() : 0) +
           " scales where its integer rule reads one");
  }
  if (zero != nullptr && zero->size() > 1) {
    v.Fail("is int8 but " + whose + " has " + std::to_string(zero->size()) +
           " zero points where its integer rule reads one");
  }
  const float s = scale->Get(0);
  const int32_t z = zero != nullptr && zero->size() == 1 ? zero->Get(0) : 0;
  if (!(s > 0.0f) || !std::isfinite(s) || z < -128 || z > 127) {
    v.Fail("is int8 but " + whose + " has scale " + std::to_string(s) +
           " and zero point " + std::to_string(z) +
           "; a scale is positive and finite, a zero point in [-128, 127]");
  }
  return {s, z};
}

void RequireType(const LayerView& v, std::span<const snxf::Layer* const> in,
                 std::span<const DType> dtypes, std::size_t i, DType want,
                 const char* what) {
  if (dtypes[i] != want) {
    v.Fail("is int8 but its " + std::string(what) + " " + LayerPlace(*in[i]) +
           " holds " + std::string(DTypeName(dtypes[i])) + " data, not " +
           std::string(DTypeName(want)));
  }
}

void PerTensor(const LayerView& v, std::span<const snxf::Layer* const> in,
               std::span<const DType> dtypes) {
  TensorParams(v, v.layer());
  for (std::size_t i = 0; i < in.size(); ++i) {
    RequireType(v, in, dtypes, i, DType::kInt8, "input");
    TensorParams(v, *in[i]);
  }
}

void SameParamsCheck(const LayerView& v, std::span<const snxf::Layer* const> in,
                     std::span<const DType> dtypes) {
  PerTensor(v, in, dtypes);
  const QuantParams out = TensorParams(v, v.layer());
  for (const snxf::Layer* l : in) {
    const QuantParams a = TensorParams(v, *l);
    if (a.scale != out.scale || a.zero_point != out.zero_point) {
      v.Fail("is int8 but its scale and zero point (" +
             std::to_string(out.scale) + ", " + std::to_string(out.zero_point) +
             ") differ from those of its input " + LayerPlace(*l) + " (" +
             std::to_string(a.scale) + ", " + std::to_string(a.zero_point) +
             "); its integer rule keeps its input's");
    }
  }
}

fixed_point::QuantizedMultiplier Multiplier(const LayerView& v, double real) {
  const auto m = fixed_point::QuantizeMultiplier(real);
  if (!m) {
    v.Fail("is int8 but its scales give a requantisation multiplier of " +
           std::to_string(real) + ", outside (0, 2^30)");
  }
  return *m;
}

namespace {

const int8_t* Q(const Tensor& t) {
  return reinterpret_cast<const int8_t*>(t.data);
}
int8_t* Q(const KernelContext& c) {
  return reinterpret_cast<int8_t*>(c.output.data);
}

// A function of one input as a table of 256 entries, made for each run:
// entry q is clamp(round(f(s_in × (q − zp_in)) / s_out) + zp_out), f in
// double.
template <typename Fn>
void TableOf(const KernelContext& c, Fn&& fn) {
  const QuantParams in = TensorParams(c.layer, *c.inputs[0].layer);
  const QuantParams out = TensorParams(c.layer, c.layer.layer());
  std::array<int8_t, 256> table;
  for (int q = -128; q <= 127; ++q) {
    const double x = static_cast<double>(in.scale) * (q - in.zero_point);
    table[q + 128] =
        static_cast<int8_t>(fixed_point::Quantize(fn(x), out, -128, 127));
  }
  const int8_t* x = Q(c.inputs[0]);
  int8_t* y = Q(c);
  for (int64_t i = 0, n = c.output.count(); i < n; ++i) {
    y[i] = table[x[i] + 128];
  }
}

template <double (*kFn)(double)>
void Table(const KernelContext& c) {
  TableOf(c, kFn);
}

double Relu(double x) { return x > 0 ? x : 0; }
double Relu6(double x) { return x > 6 ? 6 : Relu(x); }
double Sigmoid(double x) { return 1 / (1 + std::exp(-x)); }
double Tanh(double x) { return std::tanh(x); }
double Abs(double x) { return std::fabs(x); }
double Exp(double x) { return std::exp(x); }

// alpha × x below 0, with the layer's alpha.
void LeakyReluTable(const KernelContext& c) {
  const double alpha = c.layer.Number("alpha");
  TableOf(c, [alpha](double x) { return x < 0 ? alpha * x : x; });
}

// x × sigmoid(beta × x), or with `hard` x × relu6(x + 3) / 6.
void SwishTable(const KernelContext& c) {
  const bool hard = c.layer.NumberOr("hard", 0.0) != 0.0;
  const double beta = c.layer.NumberOr("beta", 1.0);
  TableOf(c, [hard, beta](double x) {
    return hard ? x * Relu6(x + 3) / 6 : x * Sigmoid(beta * x);
  });
}

// fn(out, a, b) over every element of the output, its operands broadcast.
template <typename Fn>
void Broadcast(const KernelContext& c, Fn&& fn) {
  ForEachBroadcast(c.output.shape, c.inputs[0].shape, c.inputs[1].shape,
                   std::forward<Fn>(fn));
}

int8_t Clamped(int64_t v) {
  return static_cast<int8_t>(std::clamp<int64_t>(v, -128, 127));
}

// x ± y: with s = 2 × max(s_x, s_y), each (q − zp) × 2^20 × s_x / s, the
// two added (or subtracted), the sum × s / (2^20 × s_out), each product by
// the requantisation rule; then + zp_out and the clamp.
template <int kSign>
void AddOrSubtract(const KernelContext& c) {
  const QuantParams a = TensorParams(c.layer, *c.inputs[0].layer);
  const QuantParams b = TensorParams(c.layer, *c.inputs[1].layer);
  const QuantParams out = TensorParams(c.layer, c.layer.layer());
  const double s = 2.0 * std::max<double>(a.scale, b.scale);
  const auto ma = Multiplier(c.layer, a.scale / s);
  const auto mb = Multiplier(c.layer, b.scale / s);
  const auto mo = Multiplier(c.layer, s / (1048576.0 * out.scale));
  const int8_t* x = Q(c.inputs[0]);
  const int8_t* y = Q(c.inputs[1]);
  int8_t* r = Q(c);
  Broadcast(c, [&](int64_t o, int64_t i, int64_t j) {
    const int32_t u = fixed_point::MultiplyByQuantizedMultiplier(
        (x[i] - a.zero_point) * (1 << 20), ma);
    const int32_t w = fixed_point::MultiplyByQuantizedMultiplier(
        (y[j] - b.zero_point) * (1 << 20), mb);
    r[o] = Clamped(
        int64_t{fixed_point::MultiplyByQuantizedMultiplier(u + kSign * w, mo)} +
        out.zero_point);
  });
}

// x × y: (q_x − zp_x) × (q_y − zp_y) requantised by s_x × s_y / s_out.
void Multiply(const KernelContext& c) {
  const QuantParams a = TensorParams(c.layer, *c.inputs[0].layer);
  const QuantParams b = TensorParams(c.layer, *c.inputs[1].layer);
  const QuantParams out = TensorParams(c.layer, c.layer.layer());
  const auto m =
      Multiplier(c.layer, static_cast<double>(a.scale) * b.scale / out.scale);
  const int8_t* x = Q(c.inputs[0]);
  const int8_t* y = Q(c.inputs[1]);
  int8_t* r = Q(c);
  Broadcast(c, [&](int64_t o, int64_t i, int64_t j) {
    r[o] = Clamped(int64_t{fixed_point::MultiplyByQuantizedMultiplier(
                       (x[i] - a.zero_point) * (y[j] - b.zero_point), m)} +
                   out.zero_point);
  });
}

// Per-tensor parameters whose multipliers the rule can represent, checked
// at load rather than found in a run.
void BinaryCheck(const LayerView& v, std::span<const snxf::Layer* const> in,
                 std::span<const DType> dtypes) {
  PerTensor(v, in, dtypes);
  const QuantParams a = TensorParams(v, *in[0]), b = TensorParams(v, *in[1]);
  const QuantParams out = TensorParams(v, v.layer());
  const double s = 2.0 * std::max<double>(a.scale, b.scale);
  if (v.layer().type() == snxf::Op::multiply) {
    Multiplier(v, static_cast<double>(a.scale) * b.scale / out.scale);
  } else {
    Multiplier(v, s / (1048576.0 * out.scale));
  }
}

struct IntegerRow {
  snxf::Op type;
  KernelFn kernel;
  const char* meaning;
  bool binary = false;
  bool weighted = false;
  bool same_params = false;
};

constexpr char kTable[] =
    "the output is entry q_x of a table of 256 entries: entry q is "
    "clamp(round(f(s_x × (q − zp_x)) / s_out) + zp_out), f the float "
    "function computed in double";

const IntegerRow kIntegerRows[] = {
    {snxf::Op::relu, Table<Relu>, kTable},
    {snxf::Op::relu6, Table<Relu6>, kTable},
    {snxf::Op::sigmoid, Table<Sigmoid>, kTable},
    {snxf::Op::tanh, Table<Tanh>, kTable},
    {snxf::Op::abs, Table<Abs>, kTable},
    {snxf::Op::exp, Table<Exp>, kTable},
    {snxf::Op::leaky_relu, LeakyReluTable, kTable},
    {snxf::Op::swish, SwishTable, kTable},
    {snxf::Op::pad, Int8Pad, kInt8PadMeaning, false, false, true},
    {snxf::Op::resize, Int8Resize, kInt8ResizeMeaning, false, false, true},
    {snxf::Op::reduce_mean, Int8ReduceMean, kInt8ReduceMeanMeaning, false,
     false, true},
    {snxf::Op::add, AddOrSubtract<1>,
     "with s = 2 × max(s_x, s_y): (q_x − zp_x) × 2^20 requantised by s_x / "
     "s and (q_y − zp_y) × 2^20 by s_y / s, the two added, the sum "
     "requantised by s / (2^20 × s_out), + zp_out, clamped; broadcast",
     true},
    {snxf::Op::subtract, AddOrSubtract<-1>,
     "as add, the second term subtracted", true},
    {snxf::Op::conv2d, Int8Conv, kInt8ConvMeaning, false, true},
    {snxf::Op::pool2d, Int8Pool, kInt8PoolMeaning, false, false, true},
    {snxf::Op::shuffle, Int8Shuffle(), kInt8MoveMeaning, false, false, true},
    {snxf::Op::slice, Int8Slice(), kInt8MoveMeaning, false, false, true},
    {snxf::Op::concat, Int8Concat(), kInt8MoveMeaning, false, false, true},
    {snxf::Op::dense, Int8Dense, kInt8DenseMeaning, false, true},
    {snxf::Op::multiply, Multiply,
     "(q_x − zp_x) × (q_y − zp_y) requantised by s_x × s_y / s_out, + zp_out, "
     "clamped; broadcast",
     true},
};

}  // namespace

void AddIntegerKernels(std::vector<LayerSemantics>& rows) {
  for (const IntegerRow& r : kIntegerRows) {
    for (LayerSemantics& row : rows) {
      if (row.type != r.type) continue;
      if (row.int8_kernel != nullptr) {
        throw InternalError(std::string("layer type given two integer "
                                        "kernels: ") +
                            snxf::EnumNameOp(r.type));
      }
      row.int8_kernel = r.kernel;
      row.int8_meaning = r.meaning;
      row.int8_check = r.weighted                   ? Int8WeightedCheck
                       : r.binary                   ? BinaryCheck
                       : r.type == snxf::Op::resize ? Int8ResizeCheck
                       : r.same_params              ? SameParamsCheck
                                                    : PerTensor;
    }
  }
}

}  // namespace sarnic::runtime
