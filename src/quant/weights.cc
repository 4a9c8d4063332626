#include "quant/weights.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "sarnic/errors.h"

namespace sarnic::quant {

using fixed_point::QuantParams;

QuantizedWeights QuantizeWeights(const NdArray& weights, const NdArray* bias,
                                 float input_scale) {
  if (weights.ndim() == 0) throw ValueError("weights with no axes");
  const int64_t channels = weights.shape().back();
  if (bias != nullptr && bias->size() != channels) {
    throw ValueError("a bias of " + std::to_string(bias->size()) +
                     " values for " + std::to_string(channels) +
                     " output channels");
  }
  QuantizedWeights q;
  std::vector<float> max_abs(static_cast<std::size_t>(channels), 0.0f);
  for (int64_t i = 0; i < weights.size(); ++i) {
    float& m = max_abs[static_cast<std::size_t>(i % channels)];
    m = std::max(m, static_cast<float>(std::fabs(weights.GetDouble(i))));
  }
  q.weight_scales.resize(max_abs.size());
  for (std::size_t c = 0; c < max_abs.size(); ++c) {
    q.weight_scales[c] = fixed_point::WeightScale(max_abs[c]);
  }
  constexpr double kInt32Max = std::numeric_limits<int32_t>::max();
  if (bias != nullptr) {
    q.bias = NdArray::Zeros(DType::kInt32, {channels});
    auto* b = reinterpret_cast<int32_t*>(q.bias.mutable_data());
    q.bias_scales.resize(max_abs.size());
    for (std::size_t c = 0; c < max_abs.size(); ++c) {
      const double real = bias->GetDouble(static_cast<int64_t>(c));
      double scale = static_cast<double>(input_scale) * q.weight_scales[c];
      if (std::fabs(real) / scale > kInt32Max) {
        // The weight scale grows until the bias fits; the weights lose
        // resolution in this channel, which the report says.
        const float grown = static_cast<float>(
            std::fabs(real) / (static_cast<double>(input_scale) * kInt32Max) *
            (1 + 1e-6));
        q.notes.push_back("the bias of channel " + std::to_string(c) +
                          " does not fit int32 at weight scale " +
                          std::to_string(q.weight_scales[c]) +
                          "; the scale grew to " + std::to_string(grown));
        q.weight_scales[c] = grown;
        scale = static_cast<double>(input_scale) * grown;
      }
      q.bias_scales[c] = static_cast<float>(scale);
      b[c] = static_cast<int32_t>(
          std::clamp<int64_t>(fixed_point::RoundHalfAwayFromZero(real / scale),
                              -static_cast<int64_t>(kInt32Max) - 1,
                              static_cast<int64_t>(kInt32Max)));
    }
  }
  q.weights = NdArray::Zeros(DType::kInt8, weights.shape());
  auto* w = reinterpret_cast<int8_t*>(q.weights.mutable_data());
  for (int64_t i = 0; i < weights.size(); ++i) {
    const float s = q.weight_scales[static_cast<std::size_t>(i % channels)];
    w[i] = static_cast<int8_t>(fixed_point::Quantize(
        weights.GetDouble(i), QuantParams{s, 0}, -127, 127));
  }
  return q;
}

NdArray QuantizeActivation(const NdArray& values, QuantParams p) {
  NdArray q = NdArray::Zeros(DType::kInt8, values.shape());
  auto* out = reinterpret_cast<int8_t*>(q.mutable_data());
  for (int64_t i = 0; i < values.size(); ++i) {
    out[i] = static_cast<int8_t>(
        fixed_point::Quantize(values.GetDouble(i), p, -128, 127));
  }
  return q;
}

}  // namespace sarnic::quant
