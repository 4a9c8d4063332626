// The quantisation report: the int8 model against the float model on a set
// of samples, per model output and per int8 layer.
#ifndef SARNIC_QUANT_REPORT_H_
#define SARNIC_QUANT_REPORT_H_

#include <string>

#include "quant/calibrate.h"
#include "quant/rewrite.h"
#include "sarnic/interpreter.h"
#include "sarnic/quantize.h"

namespace sarnic::quant {

// Runs both models over `samples` and adds each output's error to
// `report.outputs` (as set `set`); on the calibration set also each int8
// layer's error and clipped share to `report.layers`.
void Compare(const Interpreter& float_model, const Interpreter& int8_model,
             const Rewritten& rewritten, const Samples& samples,
             const std::string& set, const QuantizeOptions& options,
             QuantReport& report);

}  // namespace sarnic::quant

#endif  // SARNIC_QUANT_REPORT_H_
