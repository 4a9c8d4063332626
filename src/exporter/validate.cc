// Refusal of unusable quantization scales before anything is written.
#include <cmath>

#include "sarnic/errors.h"
#include "sarnic/exporter.h"

namespace sarnic {

namespace {

std::vector<double> ScaleValues(const Value& v, const std::string& node) {
  std::vector<double> out;
  if (v.is_array()) {
    const NdArray& a = v.as_array();
    for (int64_t i = 0; i < a.size(); ++i) out.push_back(a.GetDouble(i));
  } else if (v.is_list()) {
    for (const Value& item : v.as_list()) {
      if (!item.is_number()) {
        throw TypeError("node '" + node + "' attribute 'quant_scale' holds " +
                        "a non-number: " + item.repr());
      }
      out.push_back(item.as_real());
    }
  } else if (v.is_number()) {
    out.push_back(v.as_real());
  } else {
    throw TypeError("node '" + node + "' attribute 'quant_scale' must be " +
                    "numbers, not " + v.type_name());
  }
  return out;
}

}  // namespace

void SarnicExporter::validate_model() const {
  const DiGraph& g = graph.qm_nx_graph;
  for (uint32_t i = 0; i < g.number_of_nodes(); ++i) {
    const Value* scale = g.attrs_of(i).find("quant_scale");
    if (scale == nullptr) continue;
    const std::vector<double> values = ScaleValues(*scale, g.name_of(i));
    for (double d : values) {
      if (!std::isfinite(d)) {
        throw ValueError("Model contains NaN/Inf scale values");
      }
    }
    for (double d : values) {
      if (d < 0) throw ValueError("Model contains negative scale values");
    }
  }
}

}  // namespace sarnic
