// Quantised constants: weights with one scale per output channel (the last
// axis), their int32 bias, and constants read as activations.
#ifndef SARNIC_QUANT_WEIGHTS_H_
#define SARNIC_QUANT_WEIGHTS_H_

#include <string>
#include <vector>

#include "sarnic/fixed_point.h"
#include "sarnic/ndarray.h"

namespace sarnic::quant {

struct QuantizedWeights {
  NdArray weights;  // int8, symmetric, in [−127, 127]
  NdArray bias;     // int32, scale input × weight scale of its channel
  std::vector<float> weight_scales, bias_scales;
  // A channel whose weight scale grew so that its bias fits int32.
  std::vector<std::string> notes;
};

// `weights` (float, output channels on the last axis) and `bias` (one value
// per channel, or null) for an input of scale `input_scale`.
QuantizedWeights QuantizeWeights(const NdArray& weights, const NdArray* bias,
                                 float input_scale);

// An int8 array of `values` under `p`.
NdArray QuantizeActivation(const NdArray& values, fixed_point::QuantParams p);

}  // namespace sarnic::quant

#endif  // SARNIC_QUANT_WEIGHTS_H_
