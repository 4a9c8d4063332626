// One run of a loaded model: the layers in model order, each output at its
// planned place in the arena (or in a buffer of its own), each kernel on
// its inputs' memory.
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/interpreter_model.h"
#include "sarnic/npy.h"
#include "sarnic/value.h"

namespace sarnic {

using runtime::LayerView;
using runtime::Storage;
using runtime::Tensor;

namespace {

// Zeroed bytes aligned for any element type.
class Buffer {
 public:
  explicit Buffer(uint64_t bytes)
      : data_(static_cast<std::byte*>(
            ::operator new (bytes == 0 ? 1 : bytes, std::align_val_t{64}))) {
    std::memset(data_.get(), 0, bytes);
  }
  std::byte* data() const { return data_.get(); }

 private:
  struct Free {
    void operator()(std::byte* p) const {
      ::operator delete (p, std::align_val_t{64});
    }
  };
  std::unique_ptr<std::byte, Free> data_;
};

NdArray Snapshot(const Tensor& t) {
  NdArray a = NdArray::Zeros(t.dtype, t.shape);
  if (t.bytes() > 0) std::memcpy(a.mutable_data(), t.data, t.bytes());
  return a;
}

// A layer's inputs as its kernel reads them: constants of another type as
// their float32 copies.
std::vector<Tensor> KernelInputs(const runtime::LayerPlan& p,
                                 const std::vector<Tensor>& t) {
  std::vector<Tensor> ins;
  for (std::size_t j = 0; j < p.inputs.size(); ++j) {
    ins.push_back(t[p.inputs[j]]);
    if (p.float_inputs[j]) {
      ins.back().data = const_cast<std::byte*>(p.float_inputs[j]->data());
      ins.back().dtype = DType::kFloat32;
    }
  }
  return ins;
}

std::string SpecText(const Shape& shape, DType dtype) {
  return std::string(DTypeName(dtype)) + " " + ShapeText(shape);
}

}  // namespace

std::vector<std::string> Interpreter::InputProblems(
    const std::map<std::string, NdArray>& given) const {
  std::vector<std::string> problems;
  for (const TensorSpec& spec : model_->inputs) {
    const auto it = given.find(spec.name);
    if (it == given.end()) {
      problems.push_back("input '" + Printable(spec.name) + "' (" +
                         SpecText(spec.shape, spec.dtype) + ") is not given");
    } else if (it->second.shape() != spec.shape ||
               it->second.dtype() != spec.dtype) {
      problems.push_back("input '" + Printable(spec.name) + "' is " +
                         SpecText(it->second.shape(), it->second.dtype()) +
                         " but the model takes " +
                         SpecText(spec.shape, spec.dtype));
    }
  }
  // Arrays the model takes no input for, however many, are one problem.
  std::vector<std::string> unknown;
  for (const auto& entry : given) {
    const std::string& name = entry.first;
    const bool known =
        std::any_of(model_->inputs.begin(), model_->inputs.end(),
                    [&name](const TensorSpec& s) { return s.name == name; });
    if (!known) unknown.push_back(name);
  }
  if (unknown.size() == 1) {
    problems.push_back("the model has no input '" + Printable(unknown[0]) +
                       "'");
  } else if (!unknown.empty()) {
    problems.push_back("the model has no input for " +
                       std::to_string(unknown.size()) +
                       " of the arrays given: " + SomeNames(unknown));
  }
  return problems;
}

std::vector<NamedArray> Interpreter::Run(
    const std::map<std::string, NdArray>& given,
    const RunOptions& options) const {
  return TimedRun(given, options, nullptr);
}

std::vector<NamedArray> Interpreter::TimedRun(
    const std::map<std::string, NdArray>& given, const RunOptions& options,
    std::vector<double>* seconds) const {
  const auto problems = InputProblems(given);
  if (!problems.empty()) throw ValueError(problems.front());
  if (options.threads < 1 || options.threads > 256) {
    throw ValueError("a run takes 1 to 256 threads, not " +
                     std::to_string(options.threads));
  }
  const Model& m = *model_;
  m.CheckMemory(m.RunMemory(options), options);
  const bool in_arena = !options.separate_buffers && m.arena_bytes > 0;
  const Buffer arena(in_arena ? m.arena_bytes : 0);
  std::vector<Buffer> own;
  own.reserve(m.layers.size());
  std::vector<Tensor> t(m.layers.size());
  std::vector<NamedArray> result;
  for (std::size_t i = 0; i < m.layers.size(); ++i) {
    const runtime::LayerPlan& p = m.layers[i];
    Tensor& out = t[i];
    out.shape = p.shape;
    out.dtype = p.dtype;
    out.layer = p.layer;
    switch (p.row->storage) {
      case Storage::kParameterData:
        out.data = const_cast<std::byte*>(p.data.data());
        break;
      case Storage::kAliasInput:
        out.data = t[p.inputs[0]].data;
        break;
      case Storage::kOwn:
        out.data = in_arena && p.offset ? arena.data() + *p.offset
                                        : own.emplace_back(p.bytes).data();
        break;
    }
    const LayerView view(*p.layer);
    const std::string name =
        view.layer().name() ? view.layer().name()->str() : std::string();
    const auto start = seconds != nullptr
                           ? std::chrono::steady_clock::now()
                           : std::chrono::steady_clock::time_point();
    if (p.row->type == snxf::Op::input) {
      // Every input layer is a model input (checked at load), so its name
      // is among those InputProblems found given.
      const NdArray& a = given.at(name);
      std::memcpy(out.data, a.data(), out.bytes());
    } else if (p.row->type == snxf::Op::variable) {
      std::memcpy(out.data, p.data.data(), out.bytes());
    } else if (p.int8) {
      const std::vector<Tensor> ins = KernelInputs(p, t);
      p.row->int8_kernel({view, ins, out, 1});
    } else if (p.row->kernel != nullptr) {
      const std::vector<Tensor> ins = KernelInputs(p, t);
      p.row->kernel({view, ins, out, options.threads, p.prepared.get()});
    }
    if (seconds != nullptr) {
      (*seconds)[i] += std::chrono::duration<double>(
                           std::chrono::steady_clock::now() - start)
                           .count();
    }
    if (options.observe && p.row->storage != Storage::kParameterData) {
      options.observe(name, NdArray::View(out.dtype, out.shape, nullptr,
                                          {out.data, out.bytes()}));
    }
    if (options.all_layers) {
      result.push_back({name, Snapshot(out)});
    }
  }
  if (!options.all_layers) {
    for (std::size_t k = 0; k < m.output_layers.size(); ++k) {
      result.push_back({m.outputs[k].name, Snapshot(t[m.output_layers[k]])});
    }
  }
  return result;
}

}  // namespace sarnic
