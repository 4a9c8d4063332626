// Layers that move elements (reshape, shuffle, slice, concat) and those
// that work along axes (softmax, the reductions).
#include <algorithm>
#include <cmath>
#include <limits>

#include "runtime/integer.h"
#include "runtime/semantics.h"

namespace sarnic::runtime {

namespace {

// Calls fn(i, j) for every element i of `shape` in row-major order, with j
// = the sum of its index times `strides`: the last two axes by two plain
// loops, the others by counting.
template <typename Fn>
void Walk(const Shape& shape, const std::vector<int64_t>& strides, Fn&& fn) {
  const int64_t n = Count(shape);
  const std::size_t rank = shape.size();
  const std::size_t outer = rank >= 2 ? rank - 2 : 0;
  const int64_t rows = rank >= 2 ? shape[outer] : 1;
  const int64_t row_step = rank >= 2 ? strides[outer] : 0;
  const int64_t cols = rank >= 1 ? shape[rank - 1] : 1;
  const int64_t col_step = rank >= 1 ? strides[rank - 1] : 0;
  std::vector<int64_t> index(outer, 0);
  int64_t j = 0;
  for (int64_t i = 0; i < n; i += rows * cols) {
    for (int64_t r = 0, o = i, from = j; r < rows; ++r, o += cols) {
      for (int64_t k = 0; k < cols; ++k) fn(o + k, from + k * col_step);
      from += row_step;
    }
    for (std::size_t d = outer; d-- > 0;) {
      j += strides[d];
      if (++index[d] < shape[d]) break;
      j -= strides[d] * shape[d];
      index[d] = 0;
    }
  }
}

Shape ReshapeShape(const ShapeContext& c) {
  const Shape stored = c.layer.StoredShape();
  if (Count(stored) != Count(c.inputs[0])) {
    c.layer.Fail("its shape " + ShapeText(stored) + " holds " +
                 std::to_string(Count(stored)) + " elements but its input " +
                 ShapeText(c.inputs[0]) + " holds " +
                 std::to_string(Count(c.inputs[0])));
  }
  return stored;
}

Shape Permutation(const LayerView& v, std::size_t rank) {
  const Shape axes = v.List("axes");
  std::vector<bool> seen(rank, false);
  if (axes.size() != rank) {
    v.Fail("its axes " + ShapeText(axes) + " are no permutation of " +
           std::to_string(rank) + " axes");
  }
  for (int64_t a : axes) {
    if (a < 0 || a >= int64_t(rank) || seen[a]) {
      v.Fail("its axes " + ShapeText(axes) + " are no permutation of " +
             std::to_string(rank) + " axes");
    }
    seen[a] = true;
  }
  return axes;
}

Shape ShuffleShape(const ShapeContext& c) {
  const Shape axes = Permutation(c.layer, c.inputs[0].size());
  Shape out;
  for (int64_t a : axes) out.push_back(c.inputs[0][a]);
  return out;
}

// The layout layers move elements of any one type: float32, or int8 with
// the parameters of their input.
template <typename T>
const T* In(const KernelContext& c, std::size_t i) {
  return reinterpret_cast<const T*>(c.inputs[i].data);
}
template <typename T>
T* Out(const KernelContext& c) {
  return reinterpret_cast<T*>(c.output.data);
}

template <typename T>
void Shuffle(const KernelContext& c) {
  const Shape axes = Permutation(c.layer, c.inputs[0].shape.size());
  const auto in_strides = RowMajorStrides(c.inputs[0].shape);
  std::vector<int64_t> strides;
  for (int64_t a : axes) strides.push_back(in_strides[a]);
  const T* x = In<T>(c, 0);
  T* y = Out<T>(c);
  Walk(c.output.shape, strides, [&](int64_t i, int64_t j) { y[i] = x[j]; });
}

struct SliceAxis {
  int64_t begin, step, length;
};

// Python's slice rules: negative indices count from the end, and the
// bounds are clamped to the axis.
SliceAxis SliceOf(const LayerView& v, int64_t n, int64_t b, int64_t e,
                  int64_t s) {
  if (s == 0) v.Fail("slices with a step of 0");
  auto clamp = [&](int64_t i, int64_t lo, int64_t hi) {
    if (i < 0) i += n;
    return std::clamp(i, lo, hi);
  };
  if (s > 0) {
    b = clamp(b, 0, n);
    e = clamp(e, 0, n);
    return {b, s, e > b ? (e - b + s - 1) / s : 0};
  }
  b = clamp(b, -1, n - 1);
  e = clamp(e, -1, n - 1);
  return {b, s, b > e ? (b - e - s - 1) / -s : 0};
}

std::vector<SliceAxis> Slices(const LayerView& v, const Shape& in) {
  const Shape axes = v.List("axes"), head = v.List("head"),
              tail = v.List("tail");
  Shape steps = v.OptionalList("strides").value_or(Shape(axes.size(), 1));
  if (head.size() != axes.size() || tail.size() != axes.size() ||
      steps.size() != axes.size()) {
    v.Fail("its axes, head, tail and strides differ in length");
  }
  std::vector<SliceAxis> out;
  for (int64_t d : in) out.push_back({0, 1, d});
  for (std::size_t i = 0; i < axes.size(); ++i) {
    const int64_t a = NormalAxis(v, axes[i], in.size());
    out[a] = SliceOf(v, in[a], head[i], tail[i], steps[i]);
  }
  return out;
}

Shape SliceShape(const ShapeContext& c) {
  Shape out;
  for (const SliceAxis& s : Slices(c.layer, c.inputs[0])) {
    out.push_back(s.length);
  }
  return out;
}

template <typename T>
void Slice(const KernelContext& c) {
  const auto slices = Slices(c.layer, c.inputs[0].shape);
  const auto in_strides = RowMajorStrides(c.inputs[0].shape);
  std::vector<int64_t> strides;
  int64_t start = 0;
  for (std::size_t d = 0; d < slices.size(); ++d) {
    start += slices[d].begin * in_strides[d];
    strides.push_back(slices[d].step * in_strides[d]);
  }
  const T* x = In<T>(c, 0) + start;
  T* y = Out<T>(c);
  Walk(c.output.shape, strides, [&](int64_t i, int64_t j) { y[i] = x[j]; });
}

Shape ConcatShape(const ShapeContext& c) {
  const Shape& first = c.inputs[0];
  const int64_t axis =
      NormalAxis(c.layer, c.layer.Integer("axis"), first.size());
  Shape out = first;
  out[axis] = 0;
  for (const Shape& s : c.inputs) {
    bool fits = s.size() == first.size();
    for (std::size_t d = 0; fits && d < s.size(); ++d) {
      fits = int64_t(d) == axis || s[d] == first[d];
    }
    if (!fits) {
      c.layer.Fail("joins " + ShapeText(first) + " and " + ShapeText(s) +
                   " along axis " + std::to_string(axis));
    }
    out[axis] += s[axis];
  }
  return out;
}

template <typename T>
void Concat(const KernelContext& c) {
  const Shape& out = c.output.shape;
  const auto axis = static_cast<std::size_t>(
      NormalAxis(c.layer, c.layer.Integer("axis"), out.size()));
  int64_t outer = 1, inner = 1;
  for (std::size_t d = 0; d < axis; ++d) outer *= out[d];
  for (std::size_t d = axis + 1; d < out.size(); ++d) inner *= out[d];
  const int64_t row = out[axis] * inner;
  int64_t at = 0;
  for (std::size_t i = 0; i < c.inputs.size(); ++i) {
    const int64_t part = c.inputs[i].shape[axis] * inner;
    for (int64_t o = 0; o < outer; ++o) {
      std::copy(In<T>(c, i) + o * part, In<T>(c, i) + (o + 1) * part,
                Out<T>(c) + o * row + at);
    }
    at += part;
  }
}

// The axes a layer works along, sorted, without repeats.
std::vector<bool> AxesOf(const LayerView& v, std::size_t rank,
                         bool last_when_none) {
  Shape axes = v.OptionalList("axes").value_or(Shape{});
  if (axes.empty() && last_when_none && rank > 0) axes = {int64_t(rank) - 1};
  std::vector<bool> on(rank, false);
  for (int64_t a : axes) on[NormalAxis(v, a, rank)] = true;
  return on;
}

// Strides that map an element of `shape` to its group: the axes in `on`
// count 0.
std::vector<int64_t> GroupStrides(const Shape& shape,
                                  const std::vector<bool>& on) {
  std::vector<int64_t> strides(shape.size(), 0);
  int64_t stride = 1;
  for (std::size_t d = shape.size(); d-- > 0;) {
    if (on[d]) continue;
    strides[d] = stride;
    stride *= shape[d];
  }
  return strides;
}

void Softmax(const KernelContext& c) {
  const Shape& s = c.inputs[0].shape;
  const auto on = AxesOf(c.layer, s.size(), true);
  const auto strides = GroupStrides(s, on);
  int64_t groups = 1;
  for (std::size_t d = 0; d < s.size(); ++d) groups *= on[d] ? 1 : s[d];
  std::vector<float> max(groups, -std::numeric_limits<float>::infinity());
  std::vector<float> sum(groups, 0.0f);
  const float* x = c.in(0);
  float* y = c.out();
  Walk(s, strides,
       [&](int64_t i, int64_t g) { max[g] = std::max(max[g], x[i]); });
  Walk(s, strides, [&](int64_t i, int64_t g) {
    y[i] = std::exp(x[i] - max[g]);
    sum[g] += y[i];
  });
  Walk(s, strides, [&](int64_t i, int64_t g) { y[i] /= sum[g]; });
}

Shape ReduceShape(const ShapeContext& c) {
  const Shape& s = c.inputs[0];
  const auto on = AxesOf(c.layer, s.size(), false);
  const bool keep = c.layer.NumberOr("keep_dims", 0) != 0;
  Shape out;
  for (std::size_t d = 0; d < s.size(); ++d) {
    if (!on[d]) {
      out.push_back(s[d]);
    } else if (keep) {
      out.push_back(1);
    }
  }
  return out;
}

enum class Reduction { kSum, kMean, kMax, kMin, kProduct };

template <Reduction kKind>
void Reduce(const KernelContext& c) {
  const Shape& s = c.inputs[0].shape;
  const auto on = AxesOf(c.layer, s.size(), false);
  const int64_t n = c.output.count();
  float init = 0.0f;
  if (kKind == Reduction::kMax) init = -std::numeric_limits<float>::infinity();
  if (kKind == Reduction::kMin) init = std::numeric_limits<float>::infinity();
  if (kKind == Reduction::kProduct) init = 1.0f;
  float* y = c.out();
  std::fill(y, y + n, init);
  const float* x = c.in(0);
  const auto apply = [](float& to, float v) {
    switch (kKind) {
      case Reduction::kSum:
      case Reduction::kMean:
        to += v;
        break;
      case Reduction::kMax:
        to = std::max(to, v);
        break;
      case Reduction::kMin:
        to = std::min(to, v);
        break;
      case Reduction::kProduct:
        to *= v;
        break;
    }
  };
  // The reduced axes one block [first, last) between kept ones (a global
  // pool of NHWC data): for each outer index, the reduced rows added to the
  // output row in order, a loop over contiguous elements that vectorises.
  // Each element takes its inputs in the order the walk below does.
  std::size_t first = 0, last = s.size();
  while (first < s.size() && !on[first]) ++first;
  while (last > first && !on[last - 1]) --last;
  bool block = first < last;
  int64_t outer = 1, reduced = 1, inner = 1;
  for (std::size_t d = 0; d < s.size(); ++d) {
    if (d >= first && d < last) {
      block = block && on[d];
      reduced *= s[d];
    } else {
      (d < first ? outer : inner) *= s[d];
    }
  }
  if (block) {
    for (int64_t o = 0; o < outer; ++o) {
      float* row = y + o * inner;
      for (int64_t r = 0; r < reduced; ++r) {
        const float* from = x + (o * reduced + r) * inner;
        for (int64_t i = 0; i < inner; ++i) apply(row[i], from[i]);
      }
    }
  }
  if (!block) {
    Walk(s, GroupStrides(s, on),
         [&](int64_t i, int64_t g) { apply(y[g], x[i]); });
  }
  if (kKind == Reduction::kMean && n > 0) {
    const float cells = float(c.inputs[0].count() / n);
    for (int64_t i = 0; i < n; ++i) y[i] /= cells;
  }
}

}  // namespace

const char kInt8MoveMeaning[] =
    "the int8 elements moved as the float layer moves them; every input "
    "and the output share one scale and zero point";
// The int32 sum of the q reduced into each output element divided by their
// count, halves away from zero: the mean keeps its input's parameters.
void Int8ReduceMean(const KernelContext& c) {
  const Shape& s = c.inputs[0].shape;
  const auto on = AxesOf(c.layer, s.size(), false);
  const int64_t n = c.output.count();
  std::vector<int64_t> sums(static_cast<std::size_t>(n), 0);
  const auto* x = reinterpret_cast<const int8_t*>(c.inputs[0].data);
  Walk(s, GroupStrides(s, on), [&](int64_t i, int64_t g) { sums[g] += x[i]; });
  auto* y = reinterpret_cast<int8_t*>(c.output.data);
  const int64_t cells = n > 0 ? c.inputs[0].count() / n : 1;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t a = sums[i];
    const int64_t q = a >= 0 ? (2 * a + cells) / (2 * cells)
                             : -((-2 * a + cells) / (2 * cells));
    y[i] = static_cast<int8_t>(std::clamp<int64_t>(q, -128, 127));
  }
}
const char kInt8ReduceMeanMeaning[] =
    "the int32 sum of the q reduced into each output element divided by "
    "their count, halves away from zero; the output keeps its input's "
    "scale and zero point";

KernelFn Int8Shuffle() { return Shuffle<int8_t>; }
KernelFn Int8Slice() { return Slice<int8_t>; }
KernelFn Int8Concat() { return Concat<int8_t>; }

void AddLayoutRows(std::vector<LayerSemantics>& rows) {
  using enum snxf::Op;
  rows.push_back(
      {reshape, 1, 1, true, OutputType::kFirstInput, Storage::kAliasInput,
       ReshapeShape, nullptr, "[input]",
       "the input's elements in the same order with the stored shape; the "
       "output is the input's memory (a reshape has no blocks of its own)"});
  rows.push_back({shuffle, 1, 1, false, OutputType::kFloat32, Storage::kOwn,
                  ShuffleShape, Shuffle<float>, "[input]",
                  "the input with its axes permuted: output axis d is input "
                  "axis axes[d] (NumPy's transpose)"});
  rows.push_back(
      {slice, 1, 1, false, OutputType::kFloat32, Storage::kOwn, SliceShape,
       Slice<float>, "[input]",
       "along each of \"axes\": elements head, head + step, ... before tail "
       "(\"strides\" give the steps, 1 when absent), with Python's rules for "
       "negative and out-of-range indices"});
  rows.push_back(
      {concat, 1, SIZE_MAX, false, OutputType::kFloat32, Storage::kOwn,
       ConcatShape, Concat<float>, "[values...]",
       "the inputs joined along \"axis\" (negative counts from the end)"});
  rows.push_back(
      {softmax, 1, 1, false, OutputType::kFloat32, Storage::kOwn, SameAsFirst,
       Softmax, "[x]",
       "e^(x − max) / sum(e^(x − max)) over \"axes\" (the last axis when "
       "none are given)"});
  const char* reduce_inputs = "[input]";
  auto reduction = [&](snxf::Op op, KernelFn fn, const char* meaning) {
    rows.push_back({op, 1, 1, false, OutputType::kFloat32, Storage::kOwn,
                    ReduceShape, fn, reduce_inputs, meaning});
  };
  reduction(reduce_sum, Reduce<Reduction::kSum>,
            "the sum over \"axes\"; they stay as 1s only with keep_dims");
  reduction(reduce_mean, Reduce<Reduction::kMean>, "the mean over \"axes\"");
  reduction(reduce_max, Reduce<Reduction::kMax>, "the maximum over \"axes\"");
  reduction(reduce_min, Reduce<Reduction::kMin>, "the minimum over \"axes\"");
  reduction(reduce_product, Reduce<Reduction::kProduct>,
            "the product over \"axes\"");
}

}  // namespace sarnic::runtime
