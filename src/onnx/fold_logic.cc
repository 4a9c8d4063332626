// Folding's kernels of comparisons, logic and index arithmetic: what real
// models compute from constants only (attention masks, position tables,
// initial states), each with NumPy broadcasting where it takes several
// operands.
#include <algorithm>
#include <cmath>

#include "onnx/fold_kernels.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import::folding {

namespace {

// fn(values at one output position) over the broadcast of `ins`, into an
// Arr of `type`; nothing when they do not broadcast or are too many.
template <typename Fn>
std::optional<Arr> Broadcast(const std::vector<const Arr*>& ins, int type,
                             Fn&& fn) {
  Shape out;
  for (const Arr* a : ins) {
    const auto b = BroadcastShapes(out, a->shape);
    if (!b) return std::nullopt;
    out = *b;
  }
  const int64_t count = Count(out);
  if (count > kMaxFoldedElements) return std::nullopt;
  const std::size_t rank = out.size();
  std::vector<Shape> aligned;
  std::vector<std::vector<int64_t>> strides;
  for (const Arr* a : ins) {
    Shape s(rank, 1);
    std::copy(a->shape.begin(), a->shape.end(), s.end() - a->shape.size());
    strides.push_back(RowMajorStrides(s));
    aligned.push_back(std::move(s));
  }
  const auto st = RowMajorStrides(out);
  Arr r{type, out, {}};
  r.v.reserve(static_cast<std::size_t>(count));
  std::vector<double> at(ins.size());
  for (int64_t k = 0; k < count; ++k) {
    for (std::size_t j = 0; j < ins.size(); ++j) {
      int64_t i = 0;
      for (std::size_t d = 0; d < rank; ++d) {
        const int64_t pos = (k / st[d]) % out[d];
        i += (aligned[j][d] == 1 ? 0 : pos) * strides[j][d];
      }
      at[j] = ins[j]->v[static_cast<std::size_t>(i)];
    }
    r.v.push_back(fn(at));
  }
  return r;
}

}  // namespace

template <char kOp>
std::optional<Arr> FoldCompare(const onnx::NodeProto& /*n*/,
                               std::vector<const Arr*>& in,
                               const Converter& /*c*/) {
  return Broadcast(in, onnx::TensorProto::BOOL, [](const auto& v) {
    const double x = v[0], y = v[1];
    const bool r = kOp == '='   ? x == y
                   : kOp == '>' ? x > y
                   : kOp == '<' ? x < y
                   : kOp == 'g' ? x >= y
                                : x <= y;
    return r ? 1.0 : 0.0;
  });
}

template <char kOp>
std::optional<Arr> FoldLogic(const onnx::NodeProto& /*n*/,
                             std::vector<const Arr*>& in,
                             const Converter& /*c*/) {
  return Broadcast(in, onnx::TensorProto::BOOL, [](const auto& v) {
    const bool x = v[0] != 0;
    if (kOp == '!') return x ? 0.0 : 1.0;
    const bool y = v[1] != 0;
    const bool r = kOp == '&' ? (x && y) : kOp == '|' ? (x || y) : (x != y);
    return r ? 1.0 : 0.0;
  });
}

std::optional<Arr> FoldWhere(const onnx::NodeProto& /*n*/,
                             std::vector<const Arr*>& in,
                             const Converter& /*c*/) {
  return Broadcast(in, in[1]->type,
                   [](const auto& v) { return v[0] != 0 ? v[1] : v[2]; });
}

// The data broadcast to a shape, as NumPy broadcasts (the output may keep
// a dimension of the data where the shape gives 1).
std::optional<Arr> FoldExpand(const onnx::NodeProto& /*n*/,
                              std::vector<const Arr*>& in,
                              const Converter& /*c*/) {
  if (in[1]->shape.size() != 1) return std::nullopt;
  Shape target;
  for (const double d : in[1]->v) {
    if (d < 0 || d > static_cast<double>(kMaxFoldedElements)) {
      return std::nullopt;
    }
    target.push_back(static_cast<int64_t>(d));
  }
  const auto out = BroadcastShapes(in[0]->shape, target);
  if (!out || Count(*out) > kMaxFoldedElements) return std::nullopt;
  const Arr shape{in[0]->type, target,
                  std::vector<double>(static_cast<std::size_t>(Count(target)))};
  std::vector<const Arr*> both{in[0], &shape};
  return Broadcast(both, in[0]->type, [](const auto& v) { return v[0]; });
}

// a mod b: with fmod 0 (integers) the sign of the divisor, as Python's %;
// with fmod 1 the sign of the dividend, as C's fmod.
std::optional<Arr> FoldMod(const onnx::NodeProto& n,
                           std::vector<const Arr*>& in,
                           const Converter& /*c*/) {
  const bool c_mod = IntAttr(n, "fmod", 0) != 0;
  bool zero = false;
  auto r = Broadcast(in, in[0]->type, [&](const auto& v) {
    if (v[1] == 0) {
      zero = true;
      return std::nan("");  // a real's remainder by 0; an integer's refused
    }
    const double m = std::fmod(v[0], v[1]);
    return !c_mod && m != 0 && ((m < 0) != (v[1] < 0)) ? m + v[1] : m;
  });
  if (zero && in[0]->integer()) return std::nullopt;
  return r;
}

// start, start + delta, ... below limit (above it for a negative delta).
std::optional<Arr> FoldRange(const onnx::NodeProto& /*n*/,
                             std::vector<const Arr*>& in,
                             const Converter& /*c*/) {
  if (in[0]->v.size() != 1 || in[1]->v.size() != 1 || in[2]->v.size() != 1) {
    return std::nullopt;
  }
  const double start = in[0]->v[0], limit = in[1]->v[0], delta = in[2]->v[0];
  if (delta == 0 || !std::isfinite(start) || !std::isfinite(limit) ||
      !std::isfinite(delta)) {
    return std::nullopt;
  }
  const double n = std::max(std::ceil((limit - start) / delta), 0.0);
  if (n > static_cast<double>(kMaxFoldedElements)) return std::nullopt;
  Arr r{in[0]->type, {static_cast<int64_t>(n)}, {}};
  for (int64_t i = 0; i < static_cast<int64_t>(n); ++i) {
    r.v.push_back(start + static_cast<double>(i) * delta);
  }
  return r;
}

// data with the slices that `indices` (its last axis the index tuple) name
// replaced by `updates`.
std::optional<Arr> FoldScatterND(const onnx::NodeProto& /*n*/,
                                 std::vector<const Arr*>& in,
                                 const Converter& /*c*/) {
  const Arr &data = *in[0], &indices = *in[1], &updates = *in[2];
  if (indices.shape.empty()) return std::nullopt;
  const auto k = static_cast<std::size_t>(indices.shape.back());
  if (k == 0 || k > data.shape.size()) return std::nullopt;
  const auto strides = RowMajorStrides(data.shape);
  const int64_t slice = k < data.shape.size() ? strides[k - 1] : 1;
  const std::size_t tuples = indices.v.size() / k;
  if (updates.v.size() != tuples * static_cast<std::size_t>(slice)) {
    return std::nullopt;
  }
  Arr r = data;
  for (std::size_t t = 0; t < tuples; ++t) {
    int64_t offset = 0;
    for (std::size_t d = 0; d < k; ++d) {
      int64_t i = indices.at(t * k + d);
      const int64_t dim = data.shape[d];
      if (i < -dim || i >= dim) return std::nullopt;
      if (i < 0) i += dim;
      offset += i * strides[d];
    }
    std::copy_n(updates.v.begin() + static_cast<std::ptrdiff_t>(t * slice),
                slice, r.v.begin() + offset);
  }
  return r;
}

template std::optional<Arr> FoldCompare<'='>(const onnx::NodeProto&,
                                             std::vector<const Arr*>&,
                                             const Converter&);
template std::optional<Arr> FoldCompare<'>'>(const onnx::NodeProto&,
                                             std::vector<const Arr*>&,
                                             const Converter&);
template std::optional<Arr> FoldCompare<'<'>(const onnx::NodeProto&,
                                             std::vector<const Arr*>&,
                                             const Converter&);
template std::optional<Arr> FoldCompare<'g'>(const onnx::NodeProto&,
                                             std::vector<const Arr*>&,
                                             const Converter&);
template std::optional<Arr> FoldCompare<'l'>(const onnx::NodeProto&,
                                             std::vector<const Arr*>&,
                                             const Converter&);
template std::optional<Arr> FoldLogic<'!'>(const onnx::NodeProto&,
                                           std::vector<const Arr*>&,
                                           const Converter&);
template std::optional<Arr> FoldLogic<'&'>(const onnx::NodeProto&,
                                           std::vector<const Arr*>&,
                                           const Converter&);
template std::optional<Arr> FoldLogic<'|'>(const onnx::NodeProto&,
                                           std::vector<const Arr*>&,
                                           const Converter&);
template std::optional<Arr> FoldLogic<'^'>(const onnx::NodeProto&,
                                           std::vector<const Arr*>&,
                                           const Converter&);

}  // namespace sarnic::onnx_import::folding
