// 1-D convolutions and pooling (on [N, C, L] values, as audio front ends
// have them) as the 2-D operations with a height of 1: each such node of
// the ONNX graph becomes a reshape of its input to [N, C, 1, L], the 2-D
// node with its windows given a height of 1, and a reshape back, before the
// conversion, so that the 2-D conversions and their layout rules serve it.
#ifndef SARNIC_ONNX_ONE_DIMENSIONAL_H_
#define SARNIC_ONNX_ONE_DIMENSIONAL_H_

#include <onnx/onnx_pb.h>

namespace sarnic::onnx_import {

// Rewrites every 1-D Conv, ConvTranspose, MaxPool, AveragePool,
// GlobalAveragePool and GlobalMaxPool of `m` (whose shapes inference has
// given); true when any was, and shape inference must run again.
bool LiftOneDimensional(onnx::ModelProto& m);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_ONE_DIMENSIONAL_H_
