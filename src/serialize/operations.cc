#include "sarnic/operations.h"

namespace sarnic {

const char* AttrKindName(AttrKind kind) {
  switch (kind) {
    case AttrKind::kNode:
      return "node";
    case AttrKind::kNodeList:
      return "list of nodes";
    case AttrKind::kIntList:
      return "list of integers";
    case AttrKind::kInt:
      return "integer";
    case AttrKind::kReal:
      return "real";
    case AttrKind::kText:
      return "text";
    case AttrKind::kFlag:
      return "flag";
    case AttrKind::kActivation:
      return "activation";
    case AttrKind::kValue:
      return "value";
  }
  return "value";
}

const AttrSpec* OpSpec::attr(const std::string& name) const {
  for (const AttrSpec& a : attrs) {
    if (a.name == name) return &a;
  }
  return nullptr;
}

const std::vector<AttrSpec>& CommonAttrs() {
  static const std::vector<AttrSpec> attrs = {
      Required("output_shape", AttrKind::kIntList,
               "the layer's output shape, first dimension first"),
      Optional("block", AttrKind::kInt,
               "the start block of the output in the arena (set by the "
               "memory plan)"),
      Optional("datatype", AttrKind::kText,
               "the element type of the output (\"int8\", \"float32\" ...)"),
      Optional("quant_scale", AttrKind::kValue,
               "quantization scales (with zero_point)"),
      Optional("zero_point", AttrKind::kValue,
               "quantization zero points (with quant_scale)"),
      Optional("quant_axis", AttrKind::kInt, "the quantization axis"),
  };
  return attrs;
}

}  // namespace sarnic
