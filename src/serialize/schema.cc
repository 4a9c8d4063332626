#include "sarnic/schema.h"

namespace snxf {

#define SNXF_DEFINE_TABLE(T)                           \
  void T##Start(BetterBuilder& b) { b.StartObject(); } \
  Offset T##End(BetterBuilder& b) { return EndTable<T>(b); }
#define SNXF_DEFINE_OFFSET(T, F, SLOT)             \
  void T##Add##F(BetterBuilder& b, Offset value) { \
    b.AddOffsetField(T::VT_##SLOT, value);         \
  }
#define SNXF_DEFINE_VECTOR(T, F, BYTES)                           \
  void T##Start##F##Vector(BetterBuilder& b, std::size_t count) { \
    b.StartVector(BYTES, count, BYTES);                           \
  }
#define SNXF_DEFINE_SCALAR(T, F, SLOT, Type, Stored)                    \
  void T##Add##F(BetterBuilder& b, Type value) {                        \
    b.AddScalarField<Stored>(T::VT_##SLOT, static_cast<Stored>(value)); \
  }
#define SNXF_DEFINE_DEFAULTED(T, F, SLOT, Type, Stored)                    \
  void T##Add##F(BetterBuilder& b, Type value) {                           \
    b.AddScalarField<Stored>(T::VT_##SLOT, static_cast<Stored>(value), 0); \
  }

namespace {

template <typename Table>
Offset EndTable(BetterBuilder& b) {
  return b.EndObject();
}

// Finished layers are recorded, so that what a plug-in returns can be
// checked against them.
template <>
Offset EndTable<Layer>(BetterBuilder& b) {
  const Offset layer = b.EndObject();
  b.RecordLayer(layer);
  return layer;
}

}  // namespace

SNXF_TABLES(SNXF_DEFINE_TABLE)
SNXF_OFFSET_FIELDS(SNXF_DEFINE_OFFSET)
SNXF_VECTOR_FIELDS(SNXF_DEFINE_VECTOR)
SNXF_SCALAR_FIELDS(SNXF_DEFINE_SCALAR)
SNXF_DEFAULTED_FIELDS(SNXF_DEFINE_DEFAULTED)

}  // namespace snxf
