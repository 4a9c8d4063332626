// The kernels' work on constant inputs, done once when a model is loaded.
#include "runtime/interpreter_model.h"

namespace sarnic {

using runtime::Storage;
using runtime::Tensor;

void Interpreter::Model::Prepare() {
  // What a run with the default options holds leaves the rest of the
  // limit to the preparations.
  uint64_t held = RunMemory({});
  for (runtime::LayerPlan& p : layers) {
    if (p.int8 || p.row->prepare == nullptr) continue;
    std::vector<Tensor> ins;
    for (std::size_t j = 0; j < p.inputs.size(); ++j) {
      const runtime::LayerPlan& in = layers[p.inputs[j]];
      Tensor& t = ins.emplace_back();
      t.shape = in.shape;
      t.dtype = DType::kFloat32;
      t.layer = in.layer;
      if (p.float_inputs[j]) {
        t.data = const_cast<std::byte*>(p.float_inputs[j]->data());
      } else if (in.row->storage == Storage::kParameterData &&
                 in.dtype == DType::kFloat32) {
        t.data = const_cast<std::byte*>(in.data.data());
      }
    }
    if (held >= limits.max_memory) return;
    runtime::Preparation made = p.row->prepare(
        {runtime::LayerView(*p.layer), ins, limits.max_memory - held});
    if (made.prepared == nullptr) continue;
    p.prepared = std::move(made.prepared);
    constant_copies += made.bytes;
    held += made.bytes;
  }
}

}  // namespace sarnic
