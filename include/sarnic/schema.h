// The model schema's table operations, one per field, over the generated
// field slots of snx.fbs. Every table is opened with <Table>Start, filled
// with <Table>Add<Field> (each field at most once) and closed with
// <Table>End, which returns its offset; <Table>Start<Field>Vector opens the
// vector of a field for `count` elements, which the caller prepends last to
// first and closes with the builder's EndVector(count).
//
// The lists of snx_lists.h, generated from snx.fbs, are the one description
// of these operations: the C++ functions and the Python bindings are both
// made from them, so a new schema field is one edit, in snx.fbs.
#ifndef SARNIC_SCHEMA_H_
#define SARNIC_SCHEMA_H_

#include <cstddef>
#include <cstdint>

#include "sarnic/builder.h"
#include "snx_generated.h"

// The lists of the schema's tables and fields, X-macros generated from
// snx.fbs at build time (scripts/schema_gen.py): SNXF_TABLES(X(Table)),
// SNXF_OFFSET_FIELDS(X(Table, Field, SLOT)) for strings, tables and vectors,
// SNXF_VECTOR_FIELDS(X(Table, Field, ELEMENT_BYTES)),
// SNXF_SCALAR_FIELDS(X(Table, Field, SLOT, Type, Stored)) for scalars
// without a default, written whenever added, and SNXF_DEFAULTED_FIELDS(...)
// for scalars with the default 0, left out when they hold it.
#include "snx_lists.h"

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
