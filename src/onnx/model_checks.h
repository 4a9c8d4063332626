// The importer's checks of a model as it comes in, before ONNX's own
// checker and shape inference read it: what those would take wrongly, or
// stop the process on, is refused here naming the node. Its external data
// is read here too, from inside the model's folder only.
#ifndef SARNIC_ONNX_MODEL_CHECKS_H_
#define SARNIC_ONNX_MODEL_CHECKS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "onnx/converter.h"

namespace sarnic::onnx_import {

// The largest model file read (protobuf reads no more).
constexpr std::size_t kMaxModelBytes = std::size_t{2} << 30;

// The operator sets: a node of the default domain only, of a set no newer
// than kNewestOpset (a newer one than ONNX's checker knows rewritten into
// the one it does, newer_opsets.h); the set's version is noted in `c`.
void CheckOpsets(onnx::ModelProto& m, const std::string& what, Converter& c);
// Every operation without a row, with its count and first node, in one
// error.
void RefuseUnsupported(const onnx::GraphProto& g, const std::string& what);
// Convolutions and pooling against their input's and filter's stated
// ranks and their attributes' values.
void CheckWindows(const onnx::GraphProto& g, const std::string& what);

// Initializers stored outside the model, read from files inside `folder`
// (each file's path added to `files_read`), become the converter's
// constants; then they become graph inputs of their type and shape, so that
// ONNX's checker and shape inference see them without their files.
void ReadExternalData(const onnx::ModelProto& m, const std::string& folder,
                      const std::string& what, Converter& c,
                      std::vector<std::string>* files_read);
void StripExternalData(onnx::ModelProto& m);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_MODEL_CHECKS_H_
