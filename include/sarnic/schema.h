// The model schema's table operations, one per field, over the generated
// field slots of snx.fbs. Every table is opened with <Table>Start, filled
// with <Table>Add<Field> (each field at most once) and closed with
// <Table>End, which returns its offset; <Table>Start<Field>Vector opens the
// vector of a field for `count` elements, which the caller prepends last to
// first and closes with the builder's EndVector(count).
//
// The lists below are the one description of these operations: the C++
// functions and the Python bindings are both generated from them, so a new
// schema field is one line here.
#ifndef SARNIC_SCHEMA_H_
#define SARNIC_SCHEMA_H_

#include <cstddef>
#include <cstdint>

#include "sarnic/builder.h"
#include "snx_generated.h"

// X(Table): the tables.
#define SNXF_TABLES(X) X(Model) X(Resource) X(Layer) X(Tensor)

// X(Table, Field, SLOT): fields holding the offset of a string, a table or
// a vector.
#define SNXF_OFFSET_FIELDS(X)  \
  X(Model, Layers, LAYERS)     \
  X(Model, Name, NAME)         \
  X(Model, Creator, CREATOR)   \
  X(Model, Labels, LABELS)     \
  X(Model, Meta, META)         \
  X(Model, Inputs, INPUTS)     \
  X(Model, Outputs, OUTPUTS)   \
  X(Resource, Name, NAME)      \
  X(Resource, Meta, META)      \
  X(Resource, Data, DATA)      \
  X(Layer, Name, NAME)         \
  X(Layer, Shape, SHAPE)       \
  X(Layer, Inputs, INPUTS)     \
  X(Layer, Params, PARAMS)     \
  X(Layer, Scale, SCALE)       \
  X(Layer, Zero, ZERO)         \
  X(Tensor, Name, NAME)        \
  X(Tensor, Shape, SHAPE)      \
  X(Tensor, DataStr, DATA_STR) \
  X(Tensor, DataRaw, DATA_RAW) \
  X(Tensor, DataI8, DATA_I8)   \
  X(Tensor, DataI16, DATA_I16) \
  X(Tensor, DataI32, DATA_I32) \
  X(Tensor, DataF32, DATA_F32)

// X(Table, Field, ELEMENT_BYTES): vector fields and the size (and alignment)
// of their elements.
#define SNXF_VECTOR_FIELDS(X) \
  X(Model, Layers, 4)         \
  X(Model, Labels, 4)         \
  X(Model, Meta, 4)           \
  X(Model, Inputs, 4)         \
  X(Model, Outputs, 4)        \
  X(Resource, Data, 1)        \
  X(Layer, Shape, 4)          \
  X(Layer, Inputs, 4)         \
  X(Layer, Params, 4)         \
  X(Layer, Scale, 4)          \
  X(Layer, Zero, 4)           \
  X(Tensor, Shape, 4)         \
  X(Tensor, DataStr, 4)       \
  X(Tensor, DataRaw, 1)       \
  X(Tensor, DataI8, 1)        \
  X(Tensor, DataI16, 2)       \
  X(Tensor, DataI32, 4)       \
  X(Tensor, DataF32, 4)

// X(Table, Field, SLOT, Type, Stored): scalar fields without a default,
// written whenever added; `Stored` is their type in the buffer.
#define SNXF_SCALAR_FIELDS(X)                           \
  X(Model, BlockCount, BLOCK_COUNT, uint32_t, uint32_t) \
  X(Model, BlockSize, BLOCK_SIZE, uint32_t, uint32_t)   \
  X(Layer, Block, BLOCK, uint32_t, uint32_t)            \
  X(Layer, Datatype, DATATYPE, Datatype, int8_t)        \
  X(Layer, Axis, AXIS, int32_t, int32_t)                \
  X(Layer, PanelSize, PANEL_SIZE, int32_t, int32_t)

// X(Table, Field, SLOT, Type, Stored): scalar fields with the default 0,
// left out of the buffer when they hold it.
#define SNXF_DEFAULTED_FIELDS(X) X(Layer, Type, TYPE, Op, uint8_t)

namespace snxf {

using sarnic::BetterBuilder;
using sarnic::Offset;

#define SNXF_DECLARE_TABLE(T)      \
  void T##Start(BetterBuilder& b); \
  Offset T##End(BetterBuilder& b);
#define SNXF_DECLARE_OFFSET(T, F, SLOT) \
  void T##Add##F(BetterBuilder& b, Offset value);
#define SNXF_DECLARE_VECTOR(T, F, BYTES) \
  void T##Start##F##Vector(BetterBuilder& b, std::size_t count);
#define SNXF_DECLARE_SCALAR(T, F, SLOT, Type, Stored) \
  void T##Add##F(BetterBuilder& b, Type value);

SNXF_TABLES(SNXF_DECLARE_TABLE)
SNXF_OFFSET_FIELDS(SNXF_DECLARE_OFFSET)
SNXF_VECTOR_FIELDS(SNXF_DECLARE_VECTOR)
SNXF_SCALAR_FIELDS(SNXF_DECLARE_SCALAR)
SNXF_DEFAULTED_FIELDS(SNXF_DECLARE_SCALAR)

#undef SNXF_DECLARE_TABLE
#undef SNXF_DECLARE_OFFSET
#undef SNXF_DECLARE_VECTOR
#undef SNXF_DECLARE_SCALAR

}  // namespace snxf

#endif  // SARNIC_SCHEMA_H_
