// Models of operator sets newer than the ONNX library's checker and shape
// inference know (18 to 21), read by rewriting them into operator set 17
// first: each node whose signature has changed since takes its set-17 form
// (axes given as an input become the attribute, attributes that keep the
// set-17 meaning at their defaults are dropped) or is refused naming it, and
// the operations new since then that the importer decomposes (Mish, Gelu,
// GroupNormalization) become set-17 nodes. The checker and shape inference
// then check the result as they check any set-17 model.
#ifndef SARNIC_ONNX_NEWER_OPSETS_H_
#define SARNIC_ONNX_NEWER_OPSETS_H_

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <string>

namespace sarnic::onnx_import {

// The newest operator set read, and the one the library knows.
constexpr int64_t kNewestOpset = 21;
constexpr int64_t kCheckedOpset = 17;

// Rewrites `m`, whose default operator set is `version` (kCheckedOpset <
// version <= kNewestOpset), as described above; a FormatError naming the
// node for what has no set-17 form. `what` names the model.
void LowerToCheckedOpset(onnx::ModelProto& m, int64_t version,
                         const std::string& what);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_NEWER_OPSETS_H_
