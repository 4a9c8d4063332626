// Constant folding before conversion: shape subgraphs (Shape, Gather,
// Slice, Concat, Cast, Unsqueeze, ...) and any other operation of the
// table below whose inputs are all constants are computed at import. Each
// round folds what the shapes known so far allow, then ONNX's shape
// inference runs again over the smaller graph, until nothing folds.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <optional>

#include "onnx/converter.h"
#include "sarnic/shapes.h"

namespace sarnic::onnx_import {

namespace {

// A folded value: integer elements exactly, real ones as doubles.
struct Arr {
  int type = onnx::TensorProto::FLOAT;
  Shape shape;
  std::vector<double> v;
  bool integer() const {
    return type != onnx::TensorProto::FLOAT &&
           type != onnx::TensorProto::DOUBLE &&
           type != onnx::TensorProto::FLOAT16;
  }
  int64_t at(std::size_t i) const { return Whole(v[i]); }
  // A value as a whole number, saturated (NaN as 0).
  static int64_t Whole(double x) {
    if (!(x == x)) return 0;
    if (x >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (x <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);
  }
};

using FoldFn = std::optional<Arr> (*)(const onnx::NodeProto&,
                                      std::vector<const Arr*>&,
                                      const Converter&);

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

// The values of `a` as raw little-endian bytes of type T.
template <typename T, typename Convert>
std::string RawBytes(const Arr& a, Convert convert) {
  std::string raw(a.v.size() * sizeof(T), '\0');
  for (std::size_t i = 0; i < a.v.size(); ++i) {
    const T x = convert(a.v[i]);
    std::memcpy(raw.data() + i * sizeof(T), &x, sizeof(T));
  }
  return raw;
}

void ToTensor(const Arr& a, const std::string& name, onnx::TensorProto* t) {
  t->set_name(name);
  t->set_data_type(a.type);
  for (int64_t d : a.shape) t->add_dims(d);
  auto int32 = [](double x) {
    return static_cast<int32_t>(
        std::clamp<int64_t>(Arr::Whole(x), std::numeric_limits<int32_t>::min(),
                            std::numeric_limits<int32_t>::max()));
  };
  switch (a.type) {
    case onnx::TensorProto::FLOAT:
      return t->set_raw_data(RawBytes<float>(a, DoubleToFloat));
    case onnx::TensorProto::DOUBLE:
      return t->set_raw_data(RawBytes<double>(a, [](double x) { return x; }));
    case onnx::TensorProto::INT64:
      return t->set_raw_data(RawBytes<int64_t>(a, Arr::Whole));
    case onnx::TensorProto::INT32:
      return t->set_raw_data(RawBytes<int32_t>(a, int32));
    default:  // the narrower types, as ONNX stores them: one int32 each
      for (double x : a.v) t->add_int32_data(int32(x));
  }
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
  const std::size_t rank = std::max(a.shape.size(), b.shape.size());
  Shape out(rank), sa(rank, 1), sb(rank, 1);
  std::copy(a.shape.begin(), a.shape.end(), sa.end() - a.shape.size());
  std::copy(b.shape.begin(), b.shape.end(), sb.end() - b.shape.size());
  for (std::size_t d = 0; d < rank; ++d) {
    if (sa[d] != sb[d] && sa[d] != 1 && sb[d] != 1) return std::nullopt;
    out[d] = sa[d] == 1 ? sb[d] : sa[d];
  }
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

struct FoldRow {
  const char* op;
  FoldFn fold;
};

constexpr FoldRow kFoldRows[] = {
    {"Add", FoldArithmetic<'+'>}, {"Cast", FoldCast},
    {"Concat", FoldConcat},       {"ConstantOfShape", FoldConstantOfShape},
    {"Div", FoldArithmetic<'/'>}, {"Flatten", FoldReshape},
    {"Gather", FoldGather},       {"Identity", FoldReshape},
    {"Mul", FoldArithmetic<'*'>}, {"Reshape", FoldReshape},
    {"Shape", FoldShape},         {"Slice", FoldSlice},
    {"Squeeze", FoldReshape},     {"Sub", FoldArithmetic<'-'>},
    {"Transpose", FoldTranspose}, {"Unsqueeze", FoldReshape},
};

FoldFn FoldOf(const std::string& op) {
  for (const FoldRow& row : kFoldRows) {
    if (op == row.op) return row.fold;
  }
  return nullptr;
}

// The constant values the folding may read: initializers and Constant
// nodes, converted when a foldable node first reads them (the weights are
// never converted unless one is).
class ConstantSource {
 public:
  ConstantSource(const onnx::GraphProto& g, const Converter& c) : c_(c) {
    for (const auto& t : g.initializer()) {
      if (t.data_location() != onnx::TensorProto::EXTERNAL)
        tensors_[t.name()] = &t;
    }
    for (const auto& n : g.node()) {
      if (n.op_type() != "Constant" || n.output_size() != 1) continue;
      for (const auto& a : n.attribute()) {
        if (a.name() == "value" && a.has_t()) tensors_[n.output(0)] = &a.t();
      }
    }
  }
  const Arr* Find(const std::string& name) {
    if (const auto it = folded_.find(name); it != folded_.end())
      return &it->second;
    const auto t = tensors_.find(name);
    if (t == tensors_.end() || TooLarge(*t->second)) return nullptr;
    try {
      return &(folded_[name] =
                   FromTensor(*t->second, c_.what() + ": tensor '" +
                                              Printable(name) + "'"));
    } catch (const FormatError&) {
      return nullptr;  // of a type the importer does not read
    }
  }
  void Add(const std::string& name, Arr a) { folded_[name] = std::move(a); }

 private:
  static bool TooLarge(const onnx::TensorProto& t) {
    int64_t count = 1;
    for (int64_t d : t.dims()) {
      count = d > kMaxFoldedElements ? d : count * std::max<int64_t>(d, 0);
      if (count > kMaxFoldedElements) return true;
    }
    return false;
  }
  const Converter& c_;
  std::map<std::string, const onnx::TensorProto*> tensors_;
  std::map<std::string, Arr> folded_;
};

// The node's outputs when every input it reads is a constant (Shape reads
// only its input's static shape).
std::optional<Arr> TryFold(const onnx::NodeProto& n, ConstantSource& consts,
                           const Converter& c) {
  const FoldFn fold = FoldOf(n.op_type());
  if (fold == nullptr || n.input_size() == 0 || n.output_size() != 1) {
    return std::nullopt;
  }
  const bool shape = n.op_type() == "Shape";
  if (shape && !c.HasShape(n.input(0))) return std::nullopt;
  std::vector<const Arr*> in;
  for (int i = 0; i < n.input_size(); ++i) {
    if (n.input(i).empty() || shape) {
      in.push_back(nullptr);
      continue;
    }
    in.push_back(consts.Find(n.input(i)));
    if (in.back() == nullptr) return std::nullopt;
  }
  try {
    return fold(n, in, c);
  } catch (const FormatError&) {
    return std::nullopt;  // the conversion names the node and what it holds
  }
}

// A folded value as an initializer of the model and a constant of the
// converter.
void AddInitializer(onnx::ModelProto& m, const std::string& name, const Arr& a,
                    Converter& c) {
  onnx::GraphProto* g = m.mutable_graph();
  onnx::TensorProto* t = g->add_initializer();
  ToTensor(a, name, t);
  if (m.ir_version() < 4) {  // initializers were graph inputs then
    onnx::ValueInfoProto* input = g->add_input();
    input->set_name(name);
    auto* type = input->mutable_type()->mutable_tensor_type();
    type->set_elem_type(t->data_type());
    for (int64_t d : t->dims())
      type->mutable_shape()->add_dim()->set_dim_value(d);
  }
  try {
    c.SetConstant(name, TensorArray(*t, c.what()));
    c.SetShape(name, a.shape);
  } catch (const FormatError&) {
    // A type the conversions do not read (a cast to bool): the operation
    // that reads it says so.
  }
}

}  // namespace

bool FoldsAtImport(const std::string& op) { return FoldOf(op) != nullptr; }

std::string FoldedOpsText() {
  std::string out;
  for (const FoldRow& row : kFoldRows) {
    out += std::string(out.empty() ? "" : ", ") + row.op;
  }
  return out;
}

// A Reshape's output shape from its input's known shape and its constant
// target, as ONNX's inference would give it, so that a Shape reading it
// folds in the same pass: a chain of Shape and Reshape pairs then folds in
// one pass instead of a round of inference per pair.
void InferReshape(const onnx::NodeProto& n, ConstantSource& consts,
                  Converter& c) {
  if (n.op_type() != "Reshape" || n.input_size() < 2 || n.output_size() != 1 ||
      c.HasShape(n.output(0)) || !c.HasShape(n.input(0))) {
    return;
  }
  const Arr* target = consts.Find(n.input(1));
  if (target == nullptr) return;
  const Arr x{onnx::TensorProto::FLOAT, c.OnnxShapeOf(n.input(0)), {}};
  std::vector<const Arr*> in = {&x, target};
  const int64_t count = Count(x.shape);
  const auto out = NewShape(n, in, count);
  if (out && Count(*out) == count) c.SetShape(n.output(0), *out);
}

int FoldConstants(onnx::ModelProto& m, Converter& c) {
  ConstantSource consts(m.graph(), c);
  int folded = 0;
  auto* nodes = m.mutable_graph()->mutable_node();
  // The nodes kept move up over the folded ones, in one pass.
  int kept = 0;
  for (int i = 0; i < nodes->size(); ++i) {
    const onnx::NodeProto& n = nodes->Get(i);
    auto out = n.op_type() == "Constant" ? std::nullopt : TryFold(n, consts, c);
    if (!out) {
      InferReshape(n, consts, c);
      if (kept != i) nodes->SwapElements(kept, i);
      ++kept;
      continue;
    }
    AddInitializer(m, n.output(0), *out, c);
    const NdArray* value = c.ConstantOf(n.output(0));
    c.AddFoldedBytes(n, value != nullptr ? value->nbytes() : 0);
    consts.Add(n.output(0), std::move(*out));
    ++folded;
  }
  nodes->DeleteSubrange(kept, nodes->size() - kept);
  return folded;
}

}  // namespace sarnic::onnx_import
