// Loading a model for the interpreter (every layer's row, inputs, shape,
// element type and place in the arena, checked once) and running it.
#include "sarnic/interpreter.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <new>
#include <optional>
#include <sstream>

#include "runtime/interpreter_model.h"
#include "sarnic/files.h"
#include "sarnic/model_reader.h"
#include "sarnic/shapes.h"
#include "sarnic/value.h"

namespace sarnic {

using runtime::LayerPlan;
using runtime::LayerSemantics;
using runtime::LayerView;
using runtime::OutputType;

using runtime::Storage;
using runtime::Tensor;

namespace {

// No buffer of a run may exceed this: a model from anywhere cannot make the
// interpreter ask for unbounded memory.
constexpr uint64_t kMaxBufferBytes = uint64_t{4} << 30;

DType FromDatatype(snxf::Datatype d) {
  switch (d) {
    case snxf::Datatype::I8:
      return DType::kInt8;
    case snxf::Datatype::U8:
      return DType::kUint8;
    case snxf::Datatype::I16:
      return DType::kInt16;
    case snxf::Datatype::U16:
      return DType::kUint16;
    case snxf::Datatype::I32:
      return DType::kInt32;
    case snxf::Datatype::U32:
      return DType::kUint32;
    case snxf::Datatype::I64:
      return DType::kInt64;
    case snxf::Datatype::U64:
      return DType::kUint64;
    case snxf::Datatype::F64:
      return DType::kFloat64;
    default:
      return DType::kFloat32;
  }
}

}  // namespace

namespace {

[[noreturn]] void Refuse(const snxf::Layer& layer) {
  for (const runtime::Refusal& r : runtime::RefusedTypes()) {
    if (r.type == layer.type()) {
      runtime::Fail(layer, std::string("cannot be run: ") + r.reason);
    }
  }
  runtime::Fail(layer,
                "cannot be run: the interpreter has no meaning for "
                "this layer type");
}

DType OutputDType(const LayerPlan& p, const LayerView& view,
                  const std::vector<DType>& in) {
  const auto stored = p.layer->datatype();
  switch (p.row->output_type) {
    case OutputType::kLayerDatatype:
      if (!stored.has_value()) view.Fail("has no datatype to produce");
      return FromDatatype(*stored);
    case OutputType::kInput:
      return stored.has_value() ? FromDatatype(*stored) : DType::kFloat32;
    case OutputType::kFirstInput:
      return in[0];
    case OutputType::kData:
      return p.data.dtype();
    case OutputType::kFloat32:
      break;
  }
  return DType::kFloat32;  // another datatype is refused first (PlanLayer)
}

}  // namespace

void Interpreter::Model::CheckInputs(LayerPlan& p, const LayerView& view) {
  const uint32_t self = static_cast<uint32_t>(&p - layers.data());
  if (p.layer->inputs() != nullptr) {
    p.inputs.assign(p.layer->inputs()->begin(), p.layer->inputs()->end());
  }
  const std::size_t n = p.inputs.size();
  if (n < p.row->min_inputs || n > p.row->max_inputs) {
    view.Fail("has " + std::to_string(n) + " inputs; it reads " +
              p.row->inputs_text);
  }
  p.float_inputs.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (p.inputs[i] >= self) {
      view.Fail("reads layer " + std::to_string(p.inputs[i]) +
                ", which does not come before it");
    }
    const LayerPlan& in = layers[p.inputs[i]];
    if (p.int8) {
      // Activations in int8; constants (filters, biases) in int8 or int32.
      const bool constant = in.row->storage == Storage::kParameterData;
      if (in.dtype != DType::kInt8 &&
          !(constant && in.dtype == DType::kInt32)) {
        view.Fail("is int8 but reads " + std::string(DTypeName(in.dtype)) +
                  " data from " + runtime::LayerPlace(*in.layer));
      }
      continue;
    }
    if (p.row->any_input_type || in.dtype == DType::kFloat32) continue;
    if (in.row->storage != Storage::kParameterData) {
      view.Fail("reads " + std::string(DTypeName(in.dtype)) + " data from " +
                runtime::LayerPlace(*in.layer) +
                "; only dequant, reshape and copy layers read data other "
                "than float32");
    }
    p.float_inputs[i] = in.data.AsType(DType::kFloat32);
    constant_copies += p.float_inputs[i]->nbytes();
  }
}

void Interpreter::Model::PlaceInArena(LayerPlan& p, const LayerView& view) {
  p.bytes =
      ByteSize(p.dtype, ElementCount(p.shape, view.place()), view.place());
  if (p.bytes > kMaxBufferBytes) {
    view.Fail("needs " + std::to_string(p.bytes) +
              " bytes, more than the interpreter's 4 GiB for one output");
  }
  const uint32_t block_size = model->block_size().value_or(0);
  if (p.row->storage != Storage::kOwn || !p.layer->block().has_value() ||
      block_size == 0) {
    return;
  }
  // Bytes are below 4 GiB here: the planned size cannot overflow.
  const uint64_t planned = PlannedSize(p.bytes / ItemSize(p.dtype),
                                       ItemSize(p.dtype) == 1, block_size)
                               ->blocks *
                           block_size;
  if (p.bytes > planned) {
    view.Fail("holds " + std::to_string(p.bytes) + " bytes but its " +
              "planned blocks hold " + std::to_string(planned));
  }
  p.offset = uint64_t{*p.layer->block()} * block_size;
  if (*p.offset % ItemSize(p.dtype) != 0) {
    view.Fail("starts at byte " + std::to_string(*p.offset) +
              " of the arena, where " + std::string(DTypeName(p.dtype)) +
              " elements cannot start (blocks of " +
              std::to_string(block_size) + " bytes)");
  }
  arena_bytes = std::max(arena_bytes, *p.offset + planned);
  if (arena_bytes > kMaxBufferBytes) {
    view.Fail("lies beyond the interpreter's 4 GiB arena");
  }
}

void Interpreter::Model::PlanLayer(uint32_t index) {
  LayerPlan& p = layers[index];
  p.layer = model->layers()->Get(index);
  const LayerView view(*p.layer);
  p.row = runtime::SemanticsOf(p.layer->type());
  if (p.row == nullptr) Refuse(*p.layer);
  p.int8 = p.row->int8_kernel != nullptr &&
           p.layer->datatype() == snxf::Datatype::I8;
  const auto datatype = p.layer->datatype();
  if (!p.int8 && p.row->output_type == OutputType::kFloat32 &&
      datatype.has_value() && *datatype != snxf::Datatype::F32) {
    view.Fail("has datatype " +
              std::string(DTypeName(FromDatatype(*datatype))) +
              ": the interpreter computes this layer type in float32 only" +
              (*datatype == snxf::Datatype::I8
                   ? " (docs/semantics.md lists the types with an integer "
                     "rule)"
                   : ""));
  }
  CheckInputs(p, view);
  if (p.row->output_type == OutputType::kData) {
    const snxf::Tensor* data = view.Find("data");
    if (data == nullptr) view.Fail("has no parameter \"data\"");
    p.data = runtime::TensorData(view, *data);
  }
  std::vector<Shape> shapes;
  std::vector<DType> dtypes;
  for (uint32_t i : p.inputs) {
    shapes.push_back(layers[i].shape);
    dtypes.push_back(layers[i].dtype);
  }
  if (p.layer->type() == snxf::Op::copy &&
      layers[p.inputs[0]].row->type != snxf::Op::variable) {
    view.Fail("copies into " + runtime::LayerPlace(*layers[p.inputs[0]].layer) +
              ", which is not a variable");
  }
  p.shape = p.row->shape({view, shapes, dtypes});
  const Shape stored = view.StoredShape();
  const bool data = p.row->output_type == OutputType::kData;
  if (data && ElementCount(stored) == p.data.size()) p.shape = stored;
  if (stored != p.shape) {
    view.Fail("computes " + ShapeText(p.shape) + " but its stored shape is " +
              ShapeText(stored));
  }
  p.dtype = p.int8 ? DType::kInt8 : OutputDType(p, view, dtypes);
  if (p.int8 && p.row->int8_check != nullptr) {
    std::vector<const snxf::Layer*> in_layers;
    for (uint32_t i : p.inputs) in_layers.push_back(layers[i].layer);
    p.row->int8_check(view, in_layers, dtypes);
  }
  PlaceInArena(p, view);
  if (p.row->kernel != nullptr && p.row->storage == Storage::kOwn) {
    const runtime::CostContext cost{view, shapes, p.shape};
    p.operations = p.row->cost != nullptr ? p.row->cost(cost)
                                          : runtime::ElementsCost(cost);
  } else if (p.row->type == snxf::Op::input ||
             p.row->type == snxf::Op::variable) {
    p.operations = runtime::CountOf(p.shape);
  }
  operations += p.operations;
}

namespace {

std::string Figure(double v) {
  std::ostringstream out;
  out << std::setprecision(3) << v;
  return out.str();
}

}  // namespace

std::vector<TensorSpec> Interpreter::Model::Specs(
    const flatbuffers::Vector<uint32_t>* indices,
    std::vector<uint32_t>& layers_out, const char* what) const {
  std::vector<TensorSpec> specs;
  if (indices == nullptr) return specs;
  for (uint32_t i : *indices) {
    if (i >= layers.size()) {
      throw ValueError(std::string("model ") + what + " " + std::to_string(i) +
                       " is not a layer of the model's " +
                       std::to_string(layers.size()));
    }
    const snxf::Layer& l = *layers[i].layer;
    specs.push_back(
        {l.name() ? l.name()->str() : "", layers[i].shape, layers[i].dtype});
    layers_out.push_back(i);
  }
  return specs;
}

void Interpreter::Model::Load() {
  model = &ReadModel(bytes, "model");
  const uint32_t n = model->layers() ? model->layers()->size() : 0;
  layers.resize(n);
  for (uint32_t i = 0; i < n; ++i) {
    if (model->layers()->Get(i) == nullptr) {
      throw ValueError("model layer " + std::to_string(i) + " is empty");
    }
    PlanLayer(i);
  }
  inputs = Specs(model->inputs(), input_layers, "input");
  outputs = Specs(model->outputs(), output_layers, "output");
  for (uint32_t i : input_layers) {
    if (layers[i].row->type != snxf::Op::input) {
      throw ValueError("model input " + runtime::LayerPlace(*layers[i].layer) +
                       " is not an input layer");
    }
  }
  for (uint32_t i = 0; i < n; ++i) {
    const bool listed = std::find(input_layers.begin(), input_layers.end(),
                                  i) != input_layers.end();
    if (layers[i].row->type == snxf::Op::input && !listed) {
      runtime::Fail(*layers[i].layer,
                    "is not one of the model's inputs, so no run can feed it");
    }
  }
  if (!(operations <= limits.max_operations)) {
    const LayerPlan* costliest = nullptr;
    for (const LayerPlan& p : layers) {
      if (costliest == nullptr || p.operations > costliest->operations) {
        costliest = &p;
      }
    }
    throw ValueError("A run of this model takes " + Figure(operations) +
                         " operations (multiply-adds, window elements, "
                         "elements read and written; " +
                         runtime::LayerPlace(*costliest->layer) + " takes " +
                         Figure(costliest->operations) +
                         "), more than the limit of " +
                         Figure(limits.max_operations) + ";",
                     "raise it to run it (snx-run --max-operations, Python "
                     "max_operations=)");
  }
  CheckMemory(RunMemory({}), {});
  Prepare();
}

std::optional<Shape> InferLayerShape(const snxf::Layer& layer,
                                     std::span<const Shape> inputs) {
  const LayerSemantics* row = runtime::SemanticsOf(layer.type());
  if (row == nullptr || row->kernel == nullptr ||
      row->storage == Storage::kAliasInput || inputs.size() < row->min_inputs ||
      inputs.size() > row->max_inputs) {
    return std::nullopt;
  }
  const std::vector<DType> dtypes(inputs.size(), DType::kFloat32);
  return row->shape({LayerView(layer), inputs, dtypes});
}

bool LayerKeepsInputShape(snxf::Op type) {
  const LayerSemantics* row = runtime::SemanticsOf(type);
  return row != nullptr && row->shape == runtime::SameAsFirst &&
         row->kernel != nullptr;
}

Interpreter::Interpreter(std::unique_ptr<Model> model)
    : model_(std::move(model)) {}
Interpreter::~Interpreter() = default;
Interpreter::Interpreter(Interpreter&&) noexcept = default;
Interpreter& Interpreter::operator=(Interpreter&&) noexcept = default;

Interpreter Interpreter::FromBytes(std::vector<uint8_t> bytes,
                                   const Limits& limits) {
  auto model = std::make_unique<Model>();
  model->bytes = std::move(bytes);
  model->limits = limits;
  model->Load();
  return Interpreter(std::move(model));
}

Interpreter Interpreter::FromFile(const std::string& path,
                                  const Limits& limits) {
  std::vector<uint8_t> storage;
  ReadModelFile(path, storage);
  try {
    return FromBytes(std::move(storage), limits);
  } catch (const FormatError& e) {
    throw FormatError(path, e.place(), e.problem());
  } catch (const ValueError& e) {
    throw ValueError(path + ":", e.what());
  }
}

const std::vector<TensorSpec>& Interpreter::inputs() const {
  return model_->inputs;
}
const std::vector<TensorSpec>& Interpreter::outputs() const {
  return model_->outputs;
}
uint64_t Interpreter::arena_bytes() const { return model_->arena_bytes; }
uint64_t Interpreter::RunMemory(const RunOptions& options) const {
  return model_->RunMemory(options);
}
double Interpreter::operations() const { return model_->operations; }

}  // namespace sarnic
