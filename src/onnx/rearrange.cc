// Operations that rearrange run-time data by constant amounts: Split,
// Gather at constant indices, Expand, Tile, DepthToSpace and SpaceToDepth,
// each as the engine's slices, concats, products and shuffles.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "onnx/converter.h"
#include "onnx/decompose.h"
#include "onnx/rows.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import {

namespace {

// Split into slices along one axis: sizes from the "split" input (opset 13
// on) or attribute, else equal parts of ceil(dim / outputs), the last the
// rest (as opset 18's num_outputs has them; before it they must divide).
void Split(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const Shape& xs = c.ShapeOf(x);
  const int64_t axis = Axis(c, n, IntAttr(n, "axis", 0), xs.size());
  const int64_t dim = xs[static_cast<std::size_t>(axis)];
  const auto outputs = static_cast<int64_t>(n.output_size());
  std::vector<int64_t> sizes;
  if (n.input_size() > 1 && !n.input(1).empty()) {
    sizes = ConstantInts(c, n, 1, "split");
  } else if (const auto split = IntsAttr(n, "split")) {
    sizes = *split;
  } else {
    const int64_t part = (dim + outputs - 1) / std::max<int64_t>(outputs, 1);
    for (int64_t i = 0, left = dim; i < outputs; ++i, left -= part) {
      sizes.push_back(std::clamp<int64_t>(left, 0, part));
    }
  }
  int64_t total = 0;
  for (const int64_t s : sizes) {
    if (s < 0) c.Fail(n, "has a negative split size");
    total += s;
  }
  if (static_cast<int64_t>(sizes.size()) != outputs || total != dim) {
    c.Fail(n, "splits " + std::to_string(dim) + " elements into sizes " +
                  ShapeText(sizes) + " for " + std::to_string(outputs) +
                  " outputs");
  }
  int64_t begin = 0;
  for (int i = 0; i < n.output_size(); ++i) {
    const int64_t end = begin + sizes[static_cast<std::size_t>(i)];
    if (!n.output(i).empty()) {
      AxisSlice(c, c.NchwName(n.output(i)), x, axis, begin, end,
                c.ShapeOf(n.output(i)));
    }
    begin = end;
  }
}

// Gather of run-time data at constant indices: one slice per index along
// the axis (a run of consecutive indices one slice), joined by a concat,
// and reshaped to the output's shape (a scalar index drops the axis).
void Gather(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const Shape& xs = c.ShapeOf(x);
  const int64_t axis = Axis(c, n, IntAttr(n, "axis", 0), xs.size());
  const int64_t dim = xs[static_cast<std::size_t>(axis)];
  const NdArray* indices = c.ConstantOf(n.input(1));
  if (indices == nullptr) c.Fail(n, "has indices that are not constant");
  if (indices->size() == 0) c.Fail(n, "gathers nothing");
  std::vector<std::pair<int64_t, int64_t>> runs;  // [begin, end)
  for (int64_t i = 0; i < indices->size(); ++i) {
    int64_t k = indices->GetInt(i);
    if (k < -dim || k >= dim) {
      c.Fail(n, "has the index " + std::to_string(k) + " outside an axis of " +
                    std::to_string(dim));
    }
    if (k < 0) k += dim;
    if (!runs.empty() && runs.back().second == k) {
      ++runs.back().second;
    } else {
      runs.push_back({k, k + 1});
    }
  }
  std::vector<std::string> parts;
  int64_t gathered = 0;
  for (const auto& [begin, end] : runs) {
    Shape part = xs;
    part[static_cast<std::size_t>(axis)] = end - begin;
    gathered += end - begin;
    const std::string name = Part(c, n, "part");
    AxisSlice(c, name, x, axis, begin, end, part);
    parts.push_back(name);
  }
  std::string joined = parts.front();
  if (parts.size() > 1) {
    Shape all = xs;
    all[static_cast<std::size_t>(axis)] = gathered;
    joined = Part(c, n, "joined");
    c.Add(joined, "concat", all,
          {{"values", Value::TextList(parts)}, {"axis", Value(axis)}}, parts);
  }
  c.Add(Out(c, n), "reshape", c.ShapeOf(Out(n)), {{"input", Value(joined)}},
        {joined});
}

// x × ones: the ones shaped so that the product broadcasts to the output
// (1 where x already has the output's dimension), exact for every value.
void Expand(Converter& c, const onnx::NodeProto& n) {
  const std::string x = In(c, n, 0);
  const Shape& xs = c.ShapeOf(x);
  const Shape out = c.ShapeOf(Out(n));
  Shape ones = out;
  for (std::size_t i = 0; i < xs.size() && i < out.size(); ++i) {
    const std::size_t d = out.size() - 1 - i;
    if (xs[xs.size() - 1 - i] == out[d]) ones[d] = 1;
  }
  const std::string k = c.AddConstant(
      Part(c, n, "ones"),
      NdArray::FromValues<float>(
          DType::kFloat32, ones,
          std::vector<float>(static_cast<std::size_t>(ElementCount(ones)),
                             1.0f)));
  c.Add(Out(c, n), "mul", out, {{"x", Value(x)}, {"y", Value(k)}}, {x, k});
}

// Copies joined along each axis repeated more than once.
void Tile(Converter& c, const onnx::NodeProto& n) {
  std::string x = In(c, n, 0);
  Shape shape = c.ShapeOf(x);
  const std::vector<int64_t> repeats = ConstantInts(c, n, 1, "repeats");
  if (repeats.size() != shape.size()) {
    c.Fail(n, "has " + std::to_string(repeats.size()) + " repeats for " +
                  std::to_string(shape.size()) + " dimensions");
  }
  std::vector<std::size_t> tiled;
  for (std::size_t a = 0; a < repeats.size(); ++a) {
    if (repeats[a] < 0) c.Fail(n, "has a negative repeat");
    if (repeats[a] != 1) tiled.push_back(a);
  }
  if (tiled.empty()) {
    c.Add(Out(c, n), "reshape", shape, {{"input", Value(x)}}, {x});
    return;
  }
  for (std::size_t k = 0; k < tiled.size(); ++k) {
    const std::size_t a = tiled[k];
    shape[a] *= repeats[a];
    const std::string to =
        k + 1 == tiled.size() ? Out(c, n) : Part(c, n, "tiled");
    const std::vector<std::string> copies(static_cast<std::size_t>(repeats[a]),
                                          x);
    c.Add(to, "concat", shape,
          {{"values", Value::TextList(copies)},
           {"axis", Value(static_cast<int64_t>(a))}},
          {x});
    x = to;
  }
}

// A reshape to `first`, a transpose by `perm`, a reshape to the output.
void Rearranged(Converter& c, const onnx::NodeProto& n, const Shape& first,
                const std::vector<int64_t>& perm) {
  const std::string x = In(c, n, 0);
  const std::string r = Part(c, n, "split_blocks");
  c.Add(r, "reshape", first, {{"input", Value(x)}}, {x});
  Shape moved(perm.size());
  for (std::size_t i = 0; i < perm.size(); ++i) {
    moved[i] = first[static_cast<std::size_t>(perm[i])];
  }
  const std::string t = Part(c, n, "moved_blocks");
  c.Add(t, "transpose", moved,
        {{"input", Value(r)}, {"axes", Value::IntList(perm)}}, {r});
  c.Add(Out(c, n), "reshape", c.ShapeOf(Out(n)), {{"input", Value(t)}}, {t});
}

int64_t BlockSize(Converter& c, const onnx::NodeProto& n, const Shape& xs) {
  const int64_t b = IntAttr(n, "blocksize", 0);
  if (b <= 0) c.Fail(n, "has no positive blocksize");
  if (xs.size() != 4) c.Fail(n, "is not of NCHW input");
  return b;
}

// [N, C, H, W] → [N, C / b², H × b, W × b]; DCR: the blocks are the
// outer part of the channels, CRD the inner.
void DepthToSpace(Converter& c, const onnx::NodeProto& n) {
  const Shape xs = c.ShapeOf(In(c, n, 0));
  const int64_t b = BlockSize(c, n, xs);
  if (xs[1] % (b * b) != 0) c.Fail(n, "has channels not a multiple of b²");
  const int64_t C = xs[1] / (b * b), H = xs[2], W = xs[3];
  if (TextAttr(n, "mode", "DCR") == "CRD") {
    Rearranged(c, n, {xs[0], C, b, b, H, W}, {0, 1, 4, 2, 5, 3});
  } else {
    Rearranged(c, n, {xs[0], b, b, C, H, W}, {0, 3, 4, 1, 5, 2});
  }
}

// [N, C, H, W] → [N, C × b², H / b, W / b].
void SpaceToDepth(Converter& c, const onnx::NodeProto& n) {
  const Shape xs = c.ShapeOf(In(c, n, 0));
  const int64_t b = BlockSize(c, n, xs);
  if (xs[2] % b != 0 || xs[3] % b != 0) {
    c.Fail(n, "has a height or width not a multiple of the blocksize");
  }
  Rearranged(c, n, {xs[0], xs[1], xs[2] / b, b, xs[3] / b, b},
             {0, 3, 5, 1, 2, 4});
}

}  // namespace

void AddRearrangeRows(std::vector<OnnxOpRow>& rows) {
  const OnnxOpRow own[] = {
      {"Expand", Expand,
       "x × ones, the ones shaped to broadcast to the output (mul; exact)"},
      {"Tile", Tile, "a concat of copies along each repeated axis"},
      {"DepthToSpace", DepthToSpace,
       "reshape to 6-D, transpose, reshape (DCR and CRD)"},
      {"SpaceToDepth", SpaceToDepth, "reshape to 6-D, transpose, reshape"},
      {"Gather", Gather,
       "of run-time data at constant indices: a slice per run of consecutive "
       "indices along the axis, a concat of them, a reshape to the output"},
      {"Split", Split,
       "one slice per output along the axis (sizes from the split input or "
       "attribute, or equal parts, the last the rest)"},
  };
  rows.insert(rows.end(), std::begin(own), std::end(own));
}

}  // namespace sarnic::onnx_import
