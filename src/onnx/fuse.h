// Fusions at import: nodes merged into one engine layer (fuse.cc).
#ifndef SARNIC_ONNX_FUSE_H_
#define SARNIC_ONNX_FUSE_H_

#include <span>
#include <string>
#include <vector>

#include "onnx/converter.h"

namespace sarnic::onnx_import {

// Fusions (fuse.cc). The scale k and shift b of an inference batch
// normalization with constant statistics (false when they are not);
// folding the chain of batch normalizations and per-channel scales and
// shifts that only `conv` feeds into a scale of its output channels (for
// its filter) and its bias (one value per output channel); making an
// activation that only a fusable layer feeds that layer's activation.
bool NormalizationAffine(const Converter& c, const onnx::NodeProto& n,
                         int64_t channels, std::vector<float>& k,
                         std::vector<float>& b);
bool FoldAffine(Converter& c, const onnx::NodeProto& conv,
                std::vector<float>& scale, std::vector<float>& bias);
bool FuseActivation(Converter& c, const onnx::NodeProto& n);
// Fusions as rows: each names the operations it starts from and says what
// it does (for docs/onnx.md). Those with a function run from one place,
// the importer's conversion loop, through FuseAt, before the node's own
// row and in the layout the row would convert in; the fold of scales and
// shifts into a convolution is applied by the convolution's converter,
// which owns the filter it rescales (FoldAffine).
using FuseFn = bool (*)(Converter&, const onnx::NodeProto&,
                        std::string& result);
struct FusionRow {
  const char* name;
  const char* starts_at;  // the ONNX operations it is tried at
  const char* does;
  // True when the fusion applied at the node; `result` is then the value
  // of the layer it wrote, or empty when it wrote none (the node became an
  // attribute of an existing layer).
  FuseFn fuse;
};
std::span<const FusionRow> FusionRows();
// The fusion that applies at `n`, or null (then nothing was changed).
const FusionRow* FuseAt(Converter& c, const onnx::NodeProto& n,
                        std::string& result);

// Add(x, 3), Clip(0, 6), Mul by x, Div by 6 (each read by the next alone)
// as one hard swish layer, written when the Add is converted; `result`
// gets the value it computes.
bool FuseHardSwish(Converter& c, const onnx::NodeProto& add,
                   std::string& result);
// Sigmoid(x) and a Mul by x that alone reads it as one swish layer.
bool FuseSwish(Converter& c, const onnx::NodeProto& sigmoid,
               std::string& result);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_FUSE_H_
