// Reading node attributes: integer lists and integers that convert exactly,
// checked against the range of the field they go to, with errors naming the
// node and the attribute. Every layer that reads attributes (the planner,
// the writers of layers) reads them here.
#ifndef SARNIC_CORE_ATTRIBUTES_H_
#define SARNIC_CORE_ATTRIBUTES_H_

#include <cstdint>
#include <string>

#include "sarnic/digraph.h"
#include "sarnic/ndarray.h"
#include "sarnic/value.h"

namespace sarnic {

// `what` names the place for error messages, e.g. "node 'conv1' attribute
// 'stride'".
std::string AttrPlace(const AttrDict& node, const std::string& attr);

// A sequence of integers (booleans count, reals with an integral value
// convert); anything else is a ValueError naming `what`.
Shape IntList(const Value& v, const std::string& what);
// The integer-list attribute `attr` of `node` (KeyError when missing).
Shape IntListAttr(const AttrDict& node, const std::string& attr);

// An integer value that converts exactly (3.0 gives 3, "3" gives 3); a
// value error naming `what` otherwise.
int64_t ToInteger(const Value& v, const std::string& what);

// `v` checked against the range of the target field.
int32_t CheckedInt32(int64_t v, const std::string& what);
uint32_t CheckedUint32(int64_t v, const std::string& what);
int16_t CheckedInt16(int64_t v);

}  // namespace sarnic

#endif  // SARNIC_CORE_ATTRIBUTES_H_
