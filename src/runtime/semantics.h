// The meaning of each layer type, declared once: what it reads, the shape
// of its output (from its inputs' shapes and its parameters), the kernel
// that computes it and the text of its entry in docs/semantics.md. A layer
// type without a row is refused by name.
#ifndef SARNIC_RUNTIME_SEMANTICS_H_
#define SARNIC_RUNTIME_SEMANTICS_H_

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "runtime/kernels.h"
#include "runtime/layer_view.h"

namespace sarnic::runtime {

// What a kernel prepares once at load from its layer's constant inputs
// (a convolution's packed filters), kept with the layer and handed to each
// run's kernel.
struct Prepared {
  virtual ~Prepared() = default;
};

// What a kernel computes on. The inputs are float32 unless the row takes
// any element type; the output has the element type the row gives it.
struct KernelContext {
  const LayerView& layer;
  std::span<const Tensor> inputs;
  const Tensor& output;
  // Threads the kernel may split its work over (ParallelFor, kernels.h).
  int threads;
  // What the row's `prepare` made at load, or null (none was made: the
  // kernel computes without it).
  const Prepared* prepared = nullptr;
  const float* in(std::size_t i) const { return inputs[i].f(); }
  float* out() const { return output.f(); }
};

struct ShapeContext {
  const LayerView& layer;
  std::span<const Shape> inputs;
  // The element types of the inputs, for the layers that pass them on.
  std::span<const DType> dtypes;
};

// The inputs at load: a constant's data, null for a computed input. A
// preparation that would take more than `budget` bytes makes nothing.
struct PrepareContext {
  const LayerView& layer;
  std::span<const Tensor> inputs;
  uint64_t budget;
};
struct Preparation {
  std::unique_ptr<Prepared> prepared;
  uint64_t bytes = 0;
};

using ShapeFn = Shape (*)(const ShapeContext&);
using KernelFn = void (*)(const KernelContext&);

// What a layer costs to compute, counted at load from the shapes alone.
struct CostContext {
  const LayerView& layer;
  std::span<const Shape> inputs;
  const Shape& output;
};
// The operations a layer takes (multiply-adds, window elements, elements
// read and written), as a double: a hostile model's count may pass 2^64.
using CostFn = double (*)(const CostContext&);
// The number of elements of `shape`, as a double (no overflow).
inline double CountOf(const Shape& shape) {
  double n = 1;
  for (const int64_t d : shape) n *= static_cast<double>(d);
  return n;
}
// Every input element read once and every output element written once:
// the cost of the element-wise and layout layers.
double ElementsCost(const CostContext& c);

// Where a layer's output lives.
enum class Storage {
  kOwn,           // its planned blocks (or a buffer of its own)
  kAliasInput,    // its first input's memory, viewed with its own shape
  kParameterData  // its "data" parameter (constants)
};

enum class OutputType {
  kFloat32,        // computed in float32
  kLayerDatatype,  // the layer's datatype field (quant)
  kFirstInput,     // the element type of its first input
  kData,           // the element type of its "data" parameter
  kInput           // the layer's datatype, float32 when it has none
};

struct LayerSemantics {
  snxf::Op type;
  std::size_t min_inputs, max_inputs;
  // Inputs of any element type reach the kernel as they are; otherwise a
  // constant input of another type is read as float32 and any other input
  // must be float32.
  bool any_input_type;
  OutputType output_type;
  Storage storage;
  ShapeFn shape;
  KernelFn kernel;  // null for layers without a computation
  const char* inputs_text;
  const char* meaning;
  CostFn cost = nullptr;  // null: ElementsCost
  // The integer kernel, for a layer of this type whose datatype is int8:
  // it reads and writes int8 with each tensor's scale and zero point (its
  // layer's quantization fields) and computes with the integer rules
  // declared for the type, bit for bit whatever the machine. Null where the
  // type has none; such a layer is refused for its datatype. `kernel`
  // stays the float one. `int8_check` refuses at load what the kernel
  // cannot compute (a missing scale, per-channel parameters where one is
  // needed).
  KernelFn int8_kernel = nullptr;
  const char* int8_meaning = nullptr;  // the integer rule, for the page
  void (*int8_check)(const LayerView& layer,
                     std::span<const snxf::Layer* const> inputs,
                     std::span<const DType> dtypes) = nullptr;
  // Work on constant inputs done once at load for the float kernel; null
  // where the type has none.
  Preparation (*prepare)(const PrepareContext&) = nullptr;
};

// The row of `type`, or null when the interpreter does not run it.
const LayerSemantics* SemanticsOf(snxf::Op type);
// Every row, in the order of the schema's layer types.
std::span<const LayerSemantics> AllSemantics();
// The layer types that have no row, with the reason.
struct Refusal {
  snxf::Op type;
  const char* reason;
};
std::span<const Refusal> RefusedTypes();

// The families that register their rows.
void AddElementwiseRows(std::vector<LayerSemantics>& rows);
void AddSpatialRows(std::vector<LayerSemantics>& rows);
void AddPoolingRows(std::vector<LayerSemantics>& rows);
void AddResamplingRows(std::vector<LayerSemantics>& rows);
void AddLinearRows(std::vector<LayerSemantics>& rows);
void AddLayoutRows(std::vector<LayerSemantics>& rows);
void AddDataRows(std::vector<LayerSemantics>& rows);
// The integer kernels, each set on its type's row (integer.cc).
void AddIntegerKernels(std::vector<LayerSemantics>& rows);

// Shape helpers shared by the families.
// Elements of a shape, refusing negative entries and products beyond 64
// bits (a shape from a model or a graph may hold anything).
inline int64_t Count(const Shape& s) { return ElementCount(s, "a shape"); }
Shape SameAsFirst(const ShapeContext& c);
Shape StoredShape(const ShapeContext& c);
// NumPy broadcasting of `a` and `b`; fails on `layer` when they do not.
Shape BroadcastShapes(const LayerView& layer, const Shape& a, const Shape& b);
// An axis that may count from the end, checked against `rank`.
int64_t NormalAxis(const LayerView& layer, int64_t axis, std::size_t rank);
// Applies the fused "activation" parameter in place.
void ApplyActivation(const LayerView& layer, float* data, int64_t count);
// The layer's fused activation as the clamp a matrix product applies as it
// writes (none for linear), or nothing when it is another (sigmoid, tanh:
// ApplyActivation applies those afterwards).
std::optional<Clamp> WrittenClamp(const LayerView& layer);
// Fails unless the "activation" parameter is one the interpreter knows.
void CheckActivation(const LayerView& layer);

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_SEMANTICS_H_
