// The steps every layer writer shares: the layer name, the int32 shape
// vector, the uint32 input vector and the parameter vector, and the checked
// reading of integer attributes. Vectors are given in read order and
// prepended last to first, so they read first to last in the buffer.
#ifndef SARNIC_SERIALIZE_LAYER_PARTS_H_
#define SARNIC_SERIALIZE_LAYER_PARTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/attributes.h"
#include "sarnic/builder.h"
#include "sarnic/digraph.h"
#include "sarnic/ndarray.h"
#include "sarnic/value.h"

namespace sarnic {

// The layer name: `alt_name` when given and not empty, else `name`.
Offset WriteLayerName(BetterBuilder& b, const std::string& name,
                      const std::optional<std::string>& alt_name);
// The layer's shape vector from `dims`.
Offset WriteLayerShape(BetterBuilder& b, const Shape& dims,
                       const std::string& what);
// The layer's shape vector from the node's `output_shape`.
Offset WriteOutputShape(BetterBuilder& b, const AttrDict& node);
Offset WriteInputs(BetterBuilder& b, const std::vector<uint32_t>& positions);
Offset WriteParams(BetterBuilder& b, const std::vector<Offset>& tensors);

// Quantization attributes: `quant_scale` as float32 values (a sequence or an
// array of numbers) and `zero_point` as int32 values (an array; reals are
// truncated toward zero). Values that do not convert, are not finite or do
// not fit int32 are refused with errors naming the node.
std::vector<float> QuantScales(const AttrDict& node);
std::vector<int32_t> ZeroPoints(const AttrDict& node);

// The node has both quant_scale and zero_point: the layer is quantized.
bool IsQuantized(const AttrDict& node);

// The node's `block` as the layer's block field, and an integer attribute
// as an int32 field; out-of-range values are refused naming the node.
uint32_t BlockOf(const AttrDict& node);
int32_t Int32Attr(const AttrDict& node, const std::string& attr);

// Writes the scale and zero vectors of a quantized node (scale first).
struct QuantVectors {
  Offset scale = 0;
  Offset zero = 0;
};
QuantVectors WriteQuantVectors(BetterBuilder& b, const AttrDict& node);

}  // namespace sarnic

#endif  // SARNIC_SERIALIZE_LAYER_PARTS_H_
