// The model schema's table operations, one per field, over the generated
// field slots of snx.fbs. Every table is opened with <Table>Start, filled
// with <Table>Add<Field> (each field at most once) and closed with
// <Table>End, which returns its offset; <Table>Start<Field>Vector opens the
// vector of a field for `count` elements, which the caller prepends last to
// first and closes with the builder's EndVector(count).
#ifndef SARNIC_SCHEMA_H_
#define SARNIC_SCHEMA_H_

#include <cstddef>
#include <cstdint>

#include "sarnic/builder.h"
#include "snx_generated.h"

namespace snxf {

using sarnic::BetterBuilder;
using sarnic::Offset;

// Model
void ModelStart(BetterBuilder& b);
void ModelAddLayers(BetterBuilder& b, Offset layers);
void ModelStartLayersVector(BetterBuilder& b, std::size_t count);
void ModelAddName(BetterBuilder& b, Offset name);
void ModelAddCreator(BetterBuilder& b, Offset creator);
void ModelAddBlockCount(BetterBuilder& b, uint32_t block_count);
void ModelAddBlockSize(BetterBuilder& b, uint32_t block_size);
void ModelAddLabels(BetterBuilder& b, Offset labels);
void ModelStartLabelsVector(BetterBuilder& b, std::size_t count);
void ModelAddMeta(BetterBuilder& b, Offset meta);
void ModelStartMetaVector(BetterBuilder& b, std::size_t count);
void ModelAddInputs(BetterBuilder& b, Offset inputs);
void ModelStartInputsVector(BetterBuilder& b, std::size_t count);
void ModelAddOutputs(BetterBuilder& b, Offset outputs);
void ModelStartOutputsVector(BetterBuilder& b, std::size_t count);
Offset ModelEnd(BetterBuilder& b);

// Resource
void ResourceStart(BetterBuilder& b);
void ResourceAddName(BetterBuilder& b, Offset name);
void ResourceAddMeta(BetterBuilder& b, Offset meta);
void ResourceAddData(BetterBuilder& b, Offset data);
void ResourceStartDataVector(BetterBuilder& b, std::size_t count);
Offset ResourceEnd(BetterBuilder& b);

// Layer
void LayerStart(BetterBuilder& b);
void LayerAddType(BetterBuilder& b, Op type);
void LayerAddName(BetterBuilder& b, Offset name);
void LayerAddShape(BetterBuilder& b, Offset shape);
void LayerStartShapeVector(BetterBuilder& b, std::size_t count);
void LayerAddInputs(BetterBuilder& b, Offset inputs);
void LayerStartInputsVector(BetterBuilder& b, std::size_t count);
void LayerAddParams(BetterBuilder& b, Offset params);
void LayerStartParamsVector(BetterBuilder& b, std::size_t count);
void LayerAddBlock(BetterBuilder& b, uint32_t block);
void LayerAddDatatype(BetterBuilder& b, Datatype datatype);
void LayerAddScale(BetterBuilder& b, Offset scale);
void LayerStartScaleVector(BetterBuilder& b, std::size_t count);
void LayerAddZero(BetterBuilder& b, Offset zero);
void LayerStartZeroVector(BetterBuilder& b, std::size_t count);
void LayerAddAxis(BetterBuilder& b, int32_t axis);
void LayerAddPanelSize(BetterBuilder& b, int32_t panel_size);
Offset LayerEnd(BetterBuilder& b);

// Tensor
void TensorStart(BetterBuilder& b);
void TensorAddName(BetterBuilder& b, Offset name);
void TensorAddShape(BetterBuilder& b, Offset shape);
void TensorStartShapeVector(BetterBuilder& b, std::size_t count);
void TensorAddDataStr(BetterBuilder& b, Offset data);
void TensorAddDataRaw(BetterBuilder& b, Offset data);
void TensorAddDataI8(BetterBuilder& b, Offset data);
void TensorAddDataI16(BetterBuilder& b, Offset data);
void TensorAddDataI32(BetterBuilder& b, Offset data);
void TensorAddDataF32(BetterBuilder& b, Offset data);
Offset TensorEnd(BetterBuilder& b);

}  // namespace snxf

#endif  // SARNIC_SCHEMA_H_
