#include "serialize/layer_parts.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "sarnic/errors.h"
#include "sarnic/schema.h"

namespace sarnic {

Offset WriteLayerName(BetterBuilder& b, const std::string& name,
                      const std::optional<std::string>& alt_name) {
  if (alt_name.has_value() && !alt_name->empty()) {
    return b.CreateString(*alt_name);
  }
  return b.CreateString(name);
}

Offset WriteLayerShape(BetterBuilder& b, const Shape& dims,
                       const std::string& what) {
  snxf::LayerStartShapeVector(b, dims.size());
  for (auto it = dims.rbegin(); it != dims.rend(); ++it) {
    b.PrependInt32(CheckedInt32(*it, what));
  }
  return b.EndVector(dims.size());
}

Offset WriteOutputShape(BetterBuilder& b, const AttrDict& node) {
  return WriteLayerShape(b, IntListAttr(node, "output_shape"),
                         AttrPlace(node, "output_shape"));
}

Offset WriteInputs(BetterBuilder& b, const std::vector<uint32_t>& positions) {
  snxf::LayerStartInputsVector(b, positions.size());
  for (auto it = positions.rbegin(); it != positions.rend(); ++it) {
    b.PrependUint32(*it);
  }
  return b.EndVector(positions.size());
}

Offset WriteParams(BetterBuilder& b, const std::vector<Offset>& tensors) {
  snxf::LayerStartParamsVector(b, tensors.size());
  for (auto it = tensors.rbegin(); it != tensors.rend(); ++it) {
    b.PrependUOffsetTRelative(*it);
  }
  return b.EndVector(tensors.size());
}

}  // namespace sarnic

namespace sarnic {

bool IsQuantized(const AttrDict& node) {
  return node.contains("quant_scale") && node.contains("zero_point");
}

std::vector<float> QuantScales(const AttrDict& node) {
  const Value& v = node.at("quant_scale");
  const std::string what = AttrPlace(node, "quant_scale");
  std::vector<float> out;
  if (v.is_array()) {
    const NdArray& a = v.as_array();
    if (a.dtype() == DType::kBool) {
      throw TypeError(what + " is a boolean array, not scales");
    }
    out.reserve(static_cast<std::size_t>(a.size()));
    for (int64_t i = 0; i < a.size(); ++i) {
      out.push_back(DoubleToFloat(a.GetDouble(i)));
    }
    return out;
  }
  if (!v.is_list()) {
    throw TypeError(what + " must be a sequence or an array of numbers, not " +
                    v.type_name());
  }
  for (const Value& item : v.as_list()) {
    if (!item.is_number()) {
      throw TypeError(what + " holds a non-number: " + item.repr());
    }
    out.push_back(DoubleToFloat(item.as_real()));
  }
  return out;
}

std::vector<int32_t> ZeroPoints(const AttrDict& node) {
  const Value& v = node.at("zero_point");
  const std::string what = AttrPlace(node, "zero_point");
  if (!v.is_array()) {
    throw TypeError(what + " must be an array, not " + v.type_name());
  }
  const NdArray& a = v.as_array();
  std::vector<int32_t> out;
  out.reserve(static_cast<std::size_t>(a.size()));
  for (int64_t i = 0; i < a.size(); ++i) {
    const double d = a.GetDouble(i);
    if (IsFloating(a.dtype())) {
      const double t = std::trunc(d);
      if (!std::isfinite(d) || t < -2147483648.0 || t > 2147483647.0) {
        throw ValueError("Zero point does not fit in int32:",
                         PythonRealRepr(d) + " (" + what + ")");
      }
      out.push_back(static_cast<int32_t>(t));
    } else {
      out.push_back(CheckedInt32(a.GetInt(i), what));
    }
  }
  return out;
}

QuantVectors WriteQuantVectors(BetterBuilder& b, const AttrDict& node) {
  QuantVectors q;
  const std::vector<float> scales = QuantScales(node);
  const std::vector<int32_t> zeros = ZeroPoints(node);
  snxf::LayerStartScaleVector(b, scales.size());
  for (auto it = scales.rbegin(); it != scales.rend(); ++it) {
    b.PrependFloat32(*it);
  }
  q.scale = b.EndVector(scales.size());
  snxf::LayerStartZeroVector(b, zeros.size());
  for (auto it = zeros.rbegin(); it != zeros.rend(); ++it) {
    b.PrependInt32(*it);
  }
  q.zero = b.EndVector(zeros.size());
  return q;
}

}  // namespace sarnic
