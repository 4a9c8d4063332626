#include "sarnic/schema.h"

namespace snxf {

void ModelStart(BetterBuilder& b) { b.StartObject(); }
void ModelAddLayers(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Model::VT_LAYERS, v);
}
void ModelStartLayersVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void ModelAddName(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Model::VT_NAME, v);
}
void ModelAddCreator(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Model::VT_CREATOR, v);
}
void ModelAddBlockCount(BetterBuilder& b, uint32_t v) {
  b.AddScalarField<uint32_t>(Model::VT_BLOCK_COUNT, v);
}
void ModelAddBlockSize(BetterBuilder& b, uint32_t v) {
  b.AddScalarField<uint32_t>(Model::VT_BLOCK_SIZE, v);
}
void ModelAddLabels(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Model::VT_LABELS, v);
}
void ModelStartLabelsVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void ModelAddMeta(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Model::VT_META, v);
}
void ModelStartMetaVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void ModelAddInputs(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Model::VT_INPUTS, v);
}
void ModelStartInputsVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void ModelAddOutputs(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Model::VT_OUTPUTS, v);
}
void ModelStartOutputsVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
Offset ModelEnd(BetterBuilder& b) { return b.EndObject(); }

void ResourceStart(BetterBuilder& b) { b.StartObject(); }
void ResourceAddName(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Resource::VT_NAME, v);
}
void ResourceAddMeta(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Resource::VT_META, v);
}
void ResourceAddData(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Resource::VT_DATA, v);
}
void ResourceStartDataVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(1, count, 1);
}
Offset ResourceEnd(BetterBuilder& b) { return b.EndObject(); }

void LayerStart(BetterBuilder& b) { b.StartObject(); }
void LayerAddName(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Layer::VT_NAME, v);
}
void LayerAddShape(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Layer::VT_SHAPE, v);
}
void LayerStartShapeVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void LayerAddInputs(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Layer::VT_INPUTS, v);
}
void LayerStartInputsVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void LayerAddParams(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Layer::VT_PARAMS, v);
}
void LayerStartParamsVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void LayerAddBlock(BetterBuilder& b, uint32_t v) {
  b.AddScalarField<uint32_t>(Layer::VT_BLOCK, v);
}
void LayerAddScale(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Layer::VT_SCALE, v);
}
void LayerStartScaleVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void LayerAddZero(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Layer::VT_ZERO, v);
}
void LayerStartZeroVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void LayerAddAxis(BetterBuilder& b, int32_t v) {
  b.AddScalarField<int32_t>(Layer::VT_AXIS, v);
}
void LayerAddPanelSize(BetterBuilder& b, int32_t v) {
  b.AddScalarField<int32_t>(Layer::VT_PANEL_SIZE, v);
}
void LayerAddType(BetterBuilder& b, Op v) {
  b.AddScalarField<uint8_t>(Layer::VT_TYPE, static_cast<uint8_t>(v), 0);
}
void LayerAddDatatype(BetterBuilder& b, Datatype v) {
  b.AddScalarField<int8_t>(Layer::VT_DATATYPE, static_cast<int8_t>(v));
}
Offset LayerEnd(BetterBuilder& b) {
  const Offset layer = b.EndObject();
  b.RecordLayer(layer);
  return layer;
}

void TensorStart(BetterBuilder& b) { b.StartObject(); }
void TensorAddName(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Tensor::VT_NAME, v);
}
void TensorAddShape(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Tensor::VT_SHAPE, v);
}
void TensorStartShapeVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void TensorAddDataStr(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Tensor::VT_DATA_STR, v);
}
void TensorStartDataStrVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void TensorAddDataRaw(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Tensor::VT_DATA_RAW, v);
}
void TensorStartDataRawVector(BetterBuilder& b, std::size_t count) {
  b.StartVector(1, count, 1);
}
void TensorAddDataI8(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Tensor::VT_DATA_I8, v);
}
void TensorStartDataI8Vector(BetterBuilder& b, std::size_t count) {
  b.StartVector(1, count, 1);
}
void TensorAddDataI16(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Tensor::VT_DATA_I16, v);
}
void TensorStartDataI16Vector(BetterBuilder& b, std::size_t count) {
  b.StartVector(2, count, 2);
}
void TensorAddDataI32(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Tensor::VT_DATA_I32, v);
}
void TensorStartDataI32Vector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
void TensorAddDataF32(BetterBuilder& b, Offset v) {
  b.AddOffsetField(Tensor::VT_DATA_F32, v);
}
void TensorStartDataF32Vector(BetterBuilder& b, std::size_t count) {
  b.StartVector(4, count, 4);
}
Offset TensorEnd(BetterBuilder& b) { return b.EndObject(); }

}  // namespace snxf
