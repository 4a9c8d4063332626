// Constant folding before conversion: shape subgraphs (Shape, Gather,
// Slice, Concat, Cast, Unsqueeze, ...) and any other operation of the
// table below whose inputs are all constants are computed at import. Each
// round folds what the shapes known so far allow, then ONNX's shape
// inference runs again over the smaller graph, until nothing folds.
#include "onnx/fold.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "onnx/converter.h"
#include "onnx/fold_kernels.h"
#include "onnx/tensors.h"

namespace sarnic::onnx_import {

namespace {

using folding::Arr;
using folding::Count;
using folding::FoldArithmetic;
using folding::FoldCast;
using folding::FoldCompare;
using folding::FoldConcat;
using folding::FoldConstantOfShape;
using folding::FoldExpand;
using folding::FoldFn;
using folding::FoldGather;
using folding::FoldLogic;
using folding::FoldMod;
using folding::FoldRange;
using folding::FoldReshape;
using folding::FoldScatterND;
using folding::FoldShape;
using folding::FoldSlice;
using folding::FoldTranspose;
using folding::FoldWhere;
using folding::FromTensor;
using folding::NewShape;

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

struct FoldRow {
  const char* op;
  FoldFn fold;
};

constexpr FoldRow kFoldRows[] = {
    {"Add", FoldArithmetic<'+'>},
    {"Cast", FoldCast},
    {"Concat", FoldConcat},
    {"ConstantOfShape", FoldConstantOfShape},
    {"Div", FoldArithmetic<'/'>},
    {"Flatten", FoldReshape},
    {"Gather", FoldGather},
    {"Identity", FoldReshape},
    {"Mul", FoldArithmetic<'*'>},
    {"Reshape", FoldReshape},
    {"Shape", FoldShape},
    {"Slice", FoldSlice},
    {"Squeeze", FoldReshape},
    {"Sub", FoldArithmetic<'-'>},
    {"Transpose", FoldTranspose},
    {"Unsqueeze", FoldReshape},
    {"Equal", FoldCompare<'='>},
    {"Greater", FoldCompare<'>'>},
    {"Less", FoldCompare<'<'>},
    {"GreaterOrEqual", FoldCompare<'g'>},
    {"LessOrEqual", FoldCompare<'l'>},
    {"Not", FoldLogic<'!'>},
    {"And", FoldLogic<'&'>},
    {"Or", FoldLogic<'|'>},
    {"Xor", FoldLogic<'^'>},
    {"Where", FoldWhere},
    {"Expand", FoldExpand},
    {"Mod", FoldMod},
    {"Range", FoldRange},
    {"ScatterND", FoldScatterND},
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
  // Only these operations have optional inputs (after the first); an
  // empty name in another's place leaves the node to the conversion, which
  // names it.
  const bool optional = n.op_type() == "Slice" || n.op_type() == "Squeeze" ||
                        n.op_type() == "Unsqueeze" ||
                        n.op_type() == "Reshape" ||
                        n.op_type() == "ConstantOfShape";
  for (int i = 0; i < n.input_size(); ++i) {
    if (n.input(i).empty() && !shape && (i == 0 || !optional)) {
      return std::nullopt;
    }
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
