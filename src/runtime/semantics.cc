#include "runtime/semantics.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "sarnic/value.h"

namespace sarnic::runtime {

namespace {

Shape DataShape(const ShapeContext& c) {
  const snxf::Tensor* data = c.layer.Find("data");
  if (data == nullptr) c.layer.Fail("has no parameter \"data\"");
  return TensorData(c.layer, *data).shape();
}

Shape InputShape(const ShapeContext& c) {
  return c.layer.OptionalList("shape").value_or(c.layer.StoredShape());
}

Shape CopyShape(const ShapeContext& c) {
  const int64_t target = Count(c.inputs[0]);
  const int64_t source = Count(c.inputs[1]);
  if (target != source || c.dtypes[0] != c.dtypes[1]) {
    c.layer.Fail("copies " + ShapeText(c.inputs[1]) + " " +
                 std::string(DTypeName(c.dtypes[1])) + " into " +
                 ShapeText(c.inputs[0]) + " " +
                 std::string(DTypeName(c.dtypes[0])));
  }
  return c.inputs[0];
}

void Copy(const KernelContext& c) {
  std::memmove(c.output.data, c.inputs[1].data, c.output.bytes());
}

constexpr std::array<Refusal, 4> kRefused = {{
    {snxf::Op::none,
     "the layer type of operations the exporter writes without a layer type "
     "of their own (add_n, cos, sin, elu, neg): the file does not say what "
     "they compute"},
    {snxf::Op::svm_update_kernel,
     "the SVM head's kernel: its parameters do not fix the kernel function"},
    {snxf::Op::svm_decision_stats,
     "reads the SVM head's kernel values, whose function the file does not "
     "fix"},
    {snxf::Op::svm_soft_probability,
     "reads the SVM head's decision values, whose kernel the file does not "
     "fix"},
}};

std::vector<LayerSemantics> BuildRows() {
  std::vector<LayerSemantics> rows;
  AddElementwiseRows(rows);
  AddSpatialRows(rows);
  AddPoolingRows(rows);
  AddResamplingRows(rows);
  AddLinearRows(rows);
  AddLayoutRows(rows);
  AddDataRows(rows);
  AddIntegerKernels(rows);
  std::sort(rows.begin(), rows.end(),
            [](const LayerSemantics& a, const LayerSemantics& b) {
              return a.type < b.type;
            });
  // One row per layer type, and none for a refused type.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const char* name = snxf::EnumNameOp(rows[i].type);
    if (i > 0 && rows[i].type == rows[i - 1].type) {
      throw InternalError(std::string("layer type given two rows: ") + name);
    }
    for (const Refusal& r : kRefused) {
      if (r.type == rows[i].type) {
        throw InternalError(std::string("layer type both run and refused: ") +
                            name);
      }
    }
  }
  return rows;
}

const std::vector<LayerSemantics>& Rows() {
  static const std::vector<LayerSemantics> rows = BuildRows();
  return rows;
}

}  // namespace

void AddDataRows(std::vector<LayerSemantics>& rows) {
  using enum snxf::Op;
  rows.push_back({constant, 0, 0, true, OutputType::kData,
                  Storage::kParameterData, DataShape, nullptr, "none",
                  "its \"data\" parameter, with that tensor's shape and "
                  "element type; it takes no arena memory"});
  rows.push_back({variable, 0, 0, true, OutputType::kData, Storage::kOwn,
                  DataShape, nullptr, "none",
                  "its \"data\" parameter, copied into its blocks when the "
                  "run reaches it; a copy layer may overwrite it later"});
  rows.push_back({input, 0, 0, true, OutputType::kInput, Storage::kOwn,
                  InputShape, nullptr, "none",
                  "a model input: the caller's array, of the \"shape\" "
                  "parameter and the layer's datatype (float32 when it has "
                  "none), placed in its blocks"});
  rows.push_back({copy, 2, 2, true, OutputType::kFirstInput,
                  Storage::kAliasInput, CopyShape, Copy, "[target, input]",
                  "writes its input into the memory of its target (a "
                  "variable) and reads as the target; both hold the same "
                  "number of elements of one type"});
}

const LayerSemantics* SemanticsOf(snxf::Op type) {
  for (const LayerSemantics& row : Rows()) {
    if (row.type == type) return &row;
  }
  return nullptr;
}

std::span<const LayerSemantics> AllSemantics() { return Rows(); }

std::span<const Refusal> RefusedTypes() { return kRefused; }

Shape SameAsFirst(const ShapeContext& c) { return c.inputs[0]; }

double ElementsCost(const CostContext& c) {
  double n = 0;
  for (const Shape& s : c.inputs) n += CountOf(s);
  return n + CountOf(c.output);
}

Shape StoredShape(const ShapeContext& c) { return c.layer.StoredShape(); }

Shape BroadcastShapes(const LayerView& layer, const Shape& a, const Shape& b) {
  std::optional<Shape> out = sarnic::BroadcastShapes(a, b);
  if (!out) {
    layer.Fail("cannot broadcast " + ShapeText(a) + " with " + ShapeText(b));
  }
  return std::move(*out);
}

int64_t NormalAxis(const LayerView& layer, int64_t axis, std::size_t rank) {
  const std::optional<int64_t> normal = sarnic::NormalAxis(axis, rank);
  if (!normal) {
    layer.Fail("axis " + std::to_string(axis) + " is outside its " +
               std::to_string(rank) + " dimensions");
  }
  return *normal;
}

namespace {

enum class Activation { kLinear, kRelu, kRelu6, kSigmoid, kTanh };

Activation ActivationOf(const LayerView& layer) {
  const std::string a = layer.TextOr("activation", "linear");
  if (a == "linear" || a.empty()) return Activation::kLinear;
  if (a == "relu") return Activation::kRelu;
  if (a == "relu6") return Activation::kRelu6;
  if (a == "sigmoid") return Activation::kSigmoid;
  if (a == "tanh") return Activation::kTanh;
  layer.Fail("has the fused activation \"" + Printable(a) +
             "\"; linear, relu, relu6, sigmoid and tanh are declared");
}

}  // namespace

void CheckActivation(const LayerView& layer) { ActivationOf(layer); }

std::optional<Clamp> WrittenClamp(const LayerView& layer) {
  switch (ActivationOf(layer)) {
    case Activation::kLinear:
      return Clamp::kNone;
    case Activation::kRelu:
      return Clamp::kRelu;
    case Activation::kRelu6:
      return Clamp::kRelu6;
    default:
      return std::nullopt;
  }
}

void ApplyActivation(const LayerView& layer, float* data, int64_t count) {
  switch (ActivationOf(layer)) {
    case Activation::kLinear:
      return;
    case Activation::kRelu:
      for (int64_t i = 0; i < count; ++i) data[i] = std::max(data[i], 0.0f);
      return;
    case Activation::kRelu6:
      for (int64_t i = 0; i < count; ++i) {
        data[i] = std::min(std::max(data[i], 0.0f), 6.0f);
      }
      return;
    case Activation::kSigmoid:
      for (int64_t i = 0; i < count; ++i) {
        data[i] = 1.0f / (1.0f + std::exp(-data[i]));
      }
      return;
    case Activation::kTanh:
      for (int64_t i = 0; i < count; ++i) data[i] = std::tanh(data[i]);
      return;
  }
}

}  // namespace sarnic::runtime
