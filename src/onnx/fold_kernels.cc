// Folding's kernels: ONNX operations computed on constant values.
#include "onnx/fold_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>

#include "onnx/tensors.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import::folding {

int64_t Count(const Shape& s) {
  int64_t n = 1;
  for (int64_t d : s) {
    if (d < 0 || (d > 0 && n > kMaxFoldedElements / d)) {
      return kMaxFoldedElements + 1;
    }
    n *= d;
  }
  return n;
}

Arr FromTensor(const onnx::TensorProto& t, const std::string& what) {
  const NdArray a = TensorArray(t, what);
  Arr r{t.data_type(), a.shape(), {}};
  r.v.resize(static_cast<std::size_t>(a.size()));
  for (int64_t i = 0; i < a.size(); ++i) {
    r.v[i] = a.dtype() == DType::kFloat32 ? a.GetDouble(i)
                                          : static_cast<double>(a.GetInt(i));
  }
  return r;
}

std::optional<Arr> One(Arr a) {
  if (Count(a.shape) > kMaxFoldedElements) return std::nullopt;
  return a;
}

std::vector<int64_t> Ints(const Arr& a) {
  std::vector<int64_t> out;
  for (std::size_t i = 0; i < a.v.size(); ++i) out.push_back(a.at(i));
  return out;
}

// Axes from an attribute (older opsets) or the input `i` (newer ones).
std::optional<std::vector<int64_t>> AxesOf(const onnx::NodeProto& n,
                                           std::vector<const Arr*>& in,
                                           std::size_t i) {
  if (auto a = IntsAttr(n, "axes")) return a;
  if (in.size() > i && in[i] != nullptr) return Ints(*in[i]);
  return std::nullopt;
}

std::optional<Arr> FoldShape(const onnx::NodeProto& n,
                             std::vector<const Arr*>& /*in*/,
                             const Converter& c) {
  const Shape& s = c.ShapeOf(n.input(0));
  const auto rank = static_cast<int64_t>(s.size());
  auto clamp = [&](int64_t x) {
    return std::clamp<int64_t>(x < 0 ? x + rank : x, 0, rank);
  };
  const int64_t b = clamp(IntAttr(n, "start", 0));
  const int64_t e = clamp(IntAttr(n, "end", rank));
  Arr r{onnx::TensorProto::INT64, {std::max<int64_t>(e - b, 0)}, {}};
  for (int64_t d = b; d < e; ++d) r.v.push_back(static_cast<double>(s[d]));
  return One(std::move(r));
}

// Reshape, Flatten, Squeeze, Unsqueeze, Identity: the elements in order,
// under the shape the operation gives (`in[0]`'s shape holding `count`
// elements; its values are not read).
std::optional<Shape> NewShape(const onnx::NodeProto& n,
                              std::vector<const Arr*>& in, int64_t count) {
  const Shape& s = in[0]->shape;
  const std::string& op = n.op_type();
  if (op == "Identity") return s;
  if (op == "Flatten") {
    // Flatten's axis may also be the rank: all before, nothing after.
    const int64_t given = IntAttr(n, "axis", 1);
    const auto axis = given == static_cast<int64_t>(s.size())
                          ? std::optional<int64_t>(given)
                          : NormalAxis(given, s.size());
    if (!axis) return std::nullopt;
    const auto mid = s.begin() + *axis;
    return Shape{std::accumulate(s.begin(), mid, int64_t{1}, std::multiplies{}),
                 std::accumulate(mid, s.end(), int64_t{1}, std::multiplies{})};
  }
  if (op == "Reshape") {
    if (in.size() < 2 || in[1] == nullptr) return std::nullopt;
    Shape out = Ints(*in[1]);
    int64_t known = 1, open = -1;
    for (std::size_t d = 0; d < out.size(); ++d) {
      if (out[d] == 0 && IntAttr(n, "allowzero", 0) == 0 && d < s.size())
        out[d] = s[d];
      if (out[d] == -1) {
        if (open >= 0) return std::nullopt;
        open = static_cast<int64_t>(d);
      } else if (out[d] < 0 || out[d] > kMaxFoldedElements) {
        return std::nullopt;
      } else {
        known *= std::max<int64_t>(out[d], 1);
      }
    }
    if (open >= 0) out[open] = count / known;
    return out;
  }
  auto axes = AxesOf(n, in, 1);
  if (op == "Squeeze") {
    Shape out;
    for (std::size_t d = 0; d < s.size(); ++d) {
      const bool listed =
          axes ? std::any_of(axes->begin(), axes->end(),
                             [&](int64_t a) {
                               return NormalAxis(a, s.size()) == int64_t(d);
                             })
               : s[d] == 1;
      if (!listed) out.push_back(s[d]);
    }
    return out;
  }
  if (!axes) return std::nullopt;  // Unsqueeze
  const std::size_t rank = s.size() + axes->size();
  Shape out(rank, -1);
  for (int64_t a : *axes) {
    const auto d = NormalAxis(a, rank);
    if (!d) return std::nullopt;
    out[*d] = 1;
  }
  std::size_t k = 0;
  for (int64_t& d : out) {
    if (d == -1) d = k < s.size() ? s[k++] : 1;
  }
  return out;
}

std::optional<Arr> FoldReshape(const onnx::NodeProto& n,
                               std::vector<const Arr*>& in,
                               const Converter& /*c*/) {
  auto shape = NewShape(n, in, static_cast<int64_t>(in[0]->v.size()));
  if (!shape || Count(*shape) != static_cast<int64_t>(in[0]->v.size())) {
    return std::nullopt;
  }
  Arr r = *in[0];
  r.shape = *shape;
  return One(std::move(r));
}

std::optional<Arr> FoldCast(const onnx::NodeProto& n,
                            std::vector<const Arr*>& in,
                            const Converter& /*c*/) {
  Arr r = *in[0];
  r.type = static_cast<int>(IntAttr(n, "to", onnx::TensorProto::FLOAT));
  if (r.integer()) {
    for (double& x : r.v) x = std::trunc(x);
  }
  return One(std::move(r));
}

// The array of shape `out` whose element at index (i_0, i_1, ...) is
// x[base + i_0 × step[0] + i_1 × step[1] + ...]: a slice or a transpose.
std::optional<Arr> Pick(const Arr& x, const Shape& out, int64_t base,
                        const std::vector<int64_t>& step) {
  const int64_t count = Count(out);
  if (count > kMaxFoldedElements) return std::nullopt;
  const auto out_strides = RowMajorStrides(out);
  Arr r{x.type, out, {}};
  r.v.reserve(static_cast<std::size_t>(count));
  for (int64_t k = 0; k < count; ++k) {
    int64_t at = base;
    for (std::size_t d = 0; d < out.size(); ++d) {
      at += ((k / out_strides[d]) % out[d]) * step[d];
    }
    r.v.push_back(x.v[at]);
  }
  return r;
}

std::optional<Arr> FoldGather(const onnx::NodeProto& n,
                              std::vector<const Arr*>& in,
                              const Converter& /*c*/) {
  const Arr &data = *in[0], &idx = *in[1];
  if (data.shape.empty()) return std::nullopt;
  const auto normal = NormalAxis(IntAttr(n, "axis", 0), data.shape.size());
  if (!normal) return std::nullopt;
  const int64_t axis = *normal;
  const int64_t dim = data.shape[axis];
  Arr r{data.type, {}, {}};
  r.shape.assign(data.shape.begin(), data.shape.begin() + axis);
  r.shape.insert(r.shape.end(), idx.shape.begin(), idx.shape.end());
  r.shape.insert(r.shape.end(), data.shape.begin() + axis + 1,
                 data.shape.end());
  if (Count(r.shape) > kMaxFoldedElements) return std::nullopt;
  const int64_t outer =
      Count(Shape(data.shape.begin(), data.shape.begin() + axis));
  const int64_t inner =
      Count(Shape(data.shape.begin() + axis + 1, data.shape.end()));
  for (int64_t o = 0; o < outer; ++o) {
    for (std::size_t k = 0; k < idx.v.size(); ++k) {
      int64_t i = idx.at(k);
      if (i < 0) i += dim;
      if (i < 0 || i >= dim) return std::nullopt;
      const auto start = data.v.begin() + (o * dim + i) * inner;
      r.v.insert(r.v.end(), start, start + inner);
    }
  }
  return One(std::move(r));
}

std::optional<Arr> FoldConcat(const onnx::NodeProto& n,
                              std::vector<const Arr*>& in,
                              const Converter& /*c*/) {
  const Shape& first = in[0]->shape;
  const auto normal = NormalAxis(IntAttr(n, "axis", 0), first.size());
  if (!normal) return std::nullopt;
  const int64_t axis = *normal;
  Arr r{in[0]->type, first, {}};
  r.shape[axis] = 0;
  for (const Arr* a : in) {
    if (a->shape.size() != first.size()) return std::nullopt;
    r.shape[axis] += a->shape[axis];
  }
  const int64_t outer = Count(Shape(first.begin(), first.begin() + axis));
  for (int64_t o = 0; o < outer; ++o) {
    for (const Arr* a : in) {
      const int64_t part =
          Count(Shape(a->shape.begin() + axis, a->shape.end()));
      const auto start = a->v.begin() + o * part;
      r.v.insert(r.v.end(), start, start + part);
    }
  }
  if (Count(r.shape) != static_cast<int64_t>(r.v.size())) return std::nullopt;
  return One(std::move(r));
}

std::optional<Arr> FoldSlice(const onnx::NodeProto& n,
                             std::vector<const Arr*>& in,
                             const Converter& /*c*/) {
  const Arr& x = *in[0];
  const std::size_t rank = x.shape.size();
  auto list = [&](std::size_t i, const char* attr) {
    if (in.size() > i && in[i] != nullptr) return Ints(*in[i]);
    return IntsAttr(n, attr).value_or(std::vector<int64_t>{});
  };
  const auto starts = list(1, "starts"), ends = list(2, "ends");
  auto axes = list(3, "axes"), steps = list(4, "steps");
  if (axes.empty()) {
    for (std::size_t i = 0; i < starts.size(); ++i) axes.push_back(int64_t(i));
  }
  if (steps.empty()) steps.assign(starts.size(), 1);
  if (ends.size() != starts.size() || axes.size() != starts.size() ||
      steps.size() != starts.size()) {
    return std::nullopt;
  }
  std::vector<int64_t> begin(rank, 0), step(rank, 1);
  Shape out = x.shape;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const auto normal = NormalAxis(axes[i], rank);
    if (!normal || steps[i] == 0) return std::nullopt;
    const int64_t a = *normal;
    // A step longer than the axis takes one element, as the axis's length
    // plus one does.
    const int64_t dim = x.shape[a];
    const int64_t s = std::clamp<int64_t>(steps[i], -dim - 1, dim + 1);
    auto norm = [&](int64_t v) {
      if (v < 0) v += dim;
      return s > 0 ? std::clamp<int64_t>(v, 0, dim)
                   : std::clamp<int64_t>(v, -1, dim - 1);
    };
    const int64_t b = norm(starts[i]), e = norm(ends[i]);
    begin[a] = b;
    step[a] = s;
    out[a] = s > 0 ? std::max<int64_t>((e - b + s - 1) / s, 0)
                   : std::max<int64_t>((b - e - s - 1) / -s, 0);
  }
  const auto strides = RowMajorStrides(x.shape);
  int64_t base = 0;
  for (std::size_t d = 0; d < rank; ++d) {
    base += begin[d] * strides[d];
    step[d] *= strides[d];
  }
  return Pick(x, out, base, step);
}

std::optional<Arr> FoldTranspose(const onnx::NodeProto& n,
                                 std::vector<const Arr*>& in,
                                 const Converter& /*c*/) {
  const Arr& x = *in[0];
  const std::size_t rank = x.shape.size();
  std::vector<int64_t> perm(rank);
  for (std::size_t i = 0; i < rank; ++i) perm[i] = int64_t(rank - 1 - i);
  if (const auto p = IntsAttr(n, "perm")) perm = *p;
  if (perm.size() != rank) return std::nullopt;
  const auto strides = RowMajorStrides(x.shape);
  std::vector<bool> seen(rank, false);
  Shape out(rank);
  std::vector<int64_t> step(rank);
  for (std::size_t d = 0; d < rank; ++d) {
    if (perm[d] < 0 || perm[d] >= int64_t(rank) || seen[perm[d]]) {
      return std::nullopt;  // not a permutation
    }
    seen[perm[d]] = true;
    out[d] = x.shape[perm[d]];
    step[d] = strides[perm[d]];
  }
  return Pick(x, out, 0, step);
}

std::optional<Arr> FoldConstantOfShape(const onnx::NodeProto& n,
                                       std::vector<const Arr*>& in,
                                       const Converter& c) {
  Arr r{onnx::TensorProto::FLOAT, Ints(*in[0]), {}};
  const int64_t count = Count(r.shape);
  if (count > kMaxFoldedElements) return std::nullopt;
  double value = 0.0;
  for (const auto& a : n.attribute()) {
    if (a.name() == "value" && a.has_t()) {
      const Arr v = FromTensor(a.t(), c.what());
      if (v.v.size() != 1) return std::nullopt;
      r.type = v.type;
      value = v.v[0];
    }
  }
  r.v.assign(static_cast<std::size_t>(count), value);
  return One(std::move(r));
}

// Element-wise arithmetic with NumPy broadcasting; integer division
// truncates, as ONNX Runtime's does.
template <char kOp>
std::optional<Arr> FoldArithmetic(const onnx::NodeProto& /*n*/,
                                  std::vector<const Arr*>& in,
                                  const Converter& /*c*/) {
  const Arr &a = *in[0], &b = *in[1];
  const std::optional<Shape> broadcast = BroadcastShapes(a.shape, b.shape);
  if (!broadcast) return std::nullopt;
  const Shape& out = *broadcast;
  const std::size_t rank = out.size();
  // Each operand's shape aligned at the last dimension, padded with 1s.
  Shape sa(rank, 1), sb(rank, 1);
  std::copy(a.shape.begin(), a.shape.end(), sa.end() - a.shape.size());
  std::copy(b.shape.begin(), b.shape.end(), sb.end() - b.shape.size());
  const int64_t count = Count(out);
  if (count > kMaxFoldedElements) return std::nullopt;
  const auto st_a = RowMajorStrides(sa), st_b = RowMajorStrides(sb),
             st = RowMajorStrides(out);
  Arr r{a.type, out, {}};
  for (int64_t k = 0; k < count; ++k) {
    int64_t ia = 0, ib = 0;
    for (std::size_t d = 0; d < rank; ++d) {
      const int64_t i = (k / st[d]) % out[d];
      ia += (sa[d] == 1 ? 0 : i) * st_a[d];
      ib += (sb[d] == 1 ? 0 : i) * st_b[d];
    }
    const double x = a.v[ia], y = b.v[ib];
    double z = kOp == '+'   ? x + y
               : kOp == '-' ? x - y
               : kOp == '*' ? x * y
                            : x / y;
    if (a.integer()) {
      if (kOp == '/' && y == 0) return std::nullopt;
      z = std::trunc(z);
    }
    r.v.push_back(z);
  }
  return One(std::move(r));
}

template std::optional<Arr> FoldArithmetic<'+'>(const onnx::NodeProto&,
                                                std::vector<const Arr*>&,
                                                const Converter&);
template std::optional<Arr> FoldArithmetic<'-'>(const onnx::NodeProto&,
                                                std::vector<const Arr*>&,
                                                const Converter&);
template std::optional<Arr> FoldArithmetic<'*'>(const onnx::NodeProto&,
                                                std::vector<const Arr*>&,
                                                const Converter&);
template std::optional<Arr> FoldArithmetic<'/'>(const onnx::NodeProto&,
                                                std::vector<const Arr*>&,
                                                const Converter&);

}  // namespace sarnic::onnx_import::folding
