// Refusal of unusable quantization scales and of options outside their
// choices, before anything is written.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

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

std::vector<std::string> OptionChoices(const char* choices) {
  std::vector<std::string> allowed;
  for (const char *p = choices, *bar; *p != 0; p = *bar ? bar + 1 : bar) {
    bar = std::strchr(p, '|');
    if (bar == nullptr) bar = p + std::strlen(p);
    allowed.emplace_back(p, bar);
  }
  return allowed;
}

namespace {

// A text option against its choices ("a|b"); other kinds have none.
void CheckChoice(const std::string& value, const char* name,
                 const char* choices) {
  if (*choices == 0) return;
  const std::vector<std::string> allowed = OptionChoices(choices);
  if (std::find(allowed.begin(), allowed.end(), value) != allowed.end()) {
    return;
  }
  std::string said;
  for (std::size_t i = 0; i < allowed.size(); ++i) {
    said += (i == 0 ? "" : i + 1 == allowed.size() ? " or " : ", ");
    said += "\"" + allowed[i] + "\"";
  }
  throw ValueError(std::string(name) + " must be " + said + ":",
                   Value(value).repr());
}
void CheckChoice(bool, const char*, const char*) {}
void CheckChoice(const std::optional<std::string>&, const char*, const char*) {}

}  // namespace

void ValidateOptions(const ExportOptions& options) {
#define SARNIC_CHECK_OPTION(Type, name, default_value, flag, choices, help) \
  CheckChoice(options.name, #name, choices);
  SARNIC_VALUE_OPTIONS(SARNIC_CHECK_OPTION)
#undef SARNIC_CHECK_OPTION
}

}  // namespace sarnic
