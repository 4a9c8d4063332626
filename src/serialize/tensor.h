// Writing parameter tensors and the common layer record: the two writers
// every operation exporter, data layer and the SVM head are built from.
// Both depend on nothing but their arguments and the builder.
#ifndef SARNIC_SERIALIZE_TENSOR_H_
#define SARNIC_SERIALIZE_TENSOR_H_

#include <map>
#include <optional>
#include <string_view>

#include "sarnic/builder.h"
#include "sarnic/digraph.h"
#include "sarnic/dtype.h"
#include "sarnic/ndarray.h"
#include "sarnic/schema.h"
#include "sarnic/value.h"

namespace sarnic {

// FlatBuffers scalar kinds of array element types.
struct NumberType {
  std::string_view name;  // "Int8Flags", ...
  std::size_t bytewidth;
};

// Element type to FlatBuffers scalar kind: the ten types the model can hold.
extern const std::map<DType, NumberType> type_flags;
// Element type to the schema's Datatype.
extern const std::map<DType, snxf::Datatype> dtype_flags;

// Writes one Tensor table named `name`, with the shape vector `shape` when
// given and the data encoded by its kind (absent, text, integer, real,
// array, or a sequence of texts, integers or reals).
Offset export_tensor(BetterBuilder& builder, std::string_view name,
                     const std::optional<Shape>& shape = std::nullopt,
                     const Value& data = Value());

// Writes the common Layer record of `node`: type, name, shape, `inputs`
// and `params` when non-zero, and the node's block, datatype and
// quantization.
Offset generate_layer(BetterBuilder& builder, const AttrDict& node, snxf::Op op,
                      Offset name, Offset shape, Offset inputs = 0,
                      Offset params = 0);

}  // namespace sarnic

#endif  // SARNIC_SERIALIZE_TENSOR_H_
