// The table of the ONNX operations the importer converts: one row per
// operation, with its converter and what it becomes; a second row for an
// operation is refused when the table is first built.
#ifndef SARNIC_ONNX_ROWS_H_
#define SARNIC_ONNX_ROWS_H_

#include <span>
#include <string>
#include <vector>

#include "onnx/converter.h"

namespace sarnic::onnx_import {

using ConvertFn = void (*)(Converter&, const onnx::NodeProto&);

struct OnnxOpRow {
  const char* op;
  ConvertFn convert;
  const char* becomes;  // what the operation becomes, for docs/onnx.md
  // Converted in NHWC when its 4-D inputs are already held so: an
  // element-wise operation, or one whose axis is remapped by ModeAxis.
  bool any_layout = false;
};

// Each family of operations adds its rows (elementwise.cc, spatial.cc,
// pooling.cc; the products and shape operations are ops.cc's own).
void AddElementwiseRows(std::vector<OnnxOpRow>& rows);
void AddSpatialRows(std::vector<OnnxOpRow>& rows);
void AddPoolingRows(std::vector<OnnxOpRow>& rows);
void AddNormalizationRows(std::vector<OnnxOpRow>& rows);
void AddRearrangeRows(std::vector<OnnxOpRow>& rows);
void AddActivationRows(std::vector<OnnxOpRow>& rows);
void AddRecurrentRows(std::vector<OnnxOpRow>& rows);

// Every ONNX operation the importer converts, in alphabetical order.
std::span<const OnnxOpRow> OnnxOps();
const OnnxOpRow* OnnxOp(const std::string& op);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_ROWS_H_
