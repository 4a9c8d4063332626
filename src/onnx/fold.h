// Constant folding at import: the entry points of the pass (fold.cc).
#ifndef SARNIC_ONNX_FOLD_H_
#define SARNIC_ONNX_FOLD_H_

#include <cstdint>
#include <string>

#include "onnx/converter.h"

namespace sarnic::onnx_import {

// Constant folding (fold.cc): whether `op` is computed at import when its
// inputs are constants, and one round of it over the model's nodes, which
// become initializers (and the converter's constants); the number folded.
bool FoldsAtImport(const std::string& op);
// Folded values stay small: a shape computation, a weight's rearrangement.
constexpr int64_t kMaxFoldedElements = int64_t{1} << 24;
// The operations folded, as "Add, Cast, ...".
std::string FoldedOpsText();
int FoldConstants(onnx::ModelProto& m, Converter& c);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_FOLD_H_
