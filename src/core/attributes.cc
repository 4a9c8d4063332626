#include "core/attributes.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "sarnic/errors.h"

namespace sarnic {

std::string AttrPlace(const AttrDict& node, const std::string& attr) {
  return (node.owner().empty() ? std::string("node") : node.owner()) +
         " attribute '" + attr + "'";
}

int64_t ToInteger(const Value& v, const std::string& what) {
  if (v.is_integer()) return v.as_int();
  if (v.is_real()) {
    const double d = v.as_real();
    const double t = std::trunc(d);
    if (std::isfinite(d) && t >= -9.2233720368547758e18 &&
        t < 9.2233720368547758e18) {
      return static_cast<int64_t>(t);
    }
  }
  if (v.is_text()) {
    const std::string& s = v.as_text();
    int64_t out = 0;
    const char* first = s.data();
    const char* last = s.data() + s.size();
    while (first < last && *first == ' ') ++first;
    while (last > first && last[-1] == ' ') --last;
    if (first < last && *first == '+') ++first;
    auto res = std::from_chars(first, last, out);
    if (res.ec == std::errc() && res.ptr == last && first != last) return out;
  }
  throw ValueError("Value does not convert to an integer:",
                   v.repr() + " (" + what + ")");
}

Shape IntList(const Value& v, const std::string& what) {
  if (!v.is_list()) {
    throw ValueError("Expected a sequence of integers:",
                     v.repr() + " (" + what + ")");
  }
  Shape out;
  out.reserve(v.as_list().size());
  for (const Value& item : v.as_list()) {
    if (item.is_integer()) {
      out.push_back(item.as_int());
    } else if (item.is_real() && std::trunc(item.as_real()) == item.as_real()) {
      out.push_back(ToInteger(item, what));
    } else {
      throw ValueError("Expected a sequence of integers:",
                       v.repr() + " (" + what + ")");
    }
  }
  return out;
}

Shape IntListAttr(const AttrDict& node, const std::string& attr) {
  return IntList(node.at(attr), AttrPlace(node, attr));
}

int32_t CheckedInt32(int64_t v, const std::string& what) {
  if (v < std::numeric_limits<int32_t>::min() ||
      v > std::numeric_limits<int32_t>::max()) {
    throw ValueError("Integer does not fit in 32 bits:",
                     std::to_string(v) + " (" + what + ")");
  }
  return static_cast<int32_t>(v);
}

uint32_t CheckedUint32(int64_t v, const std::string& what) {
  if (v < 0 || v > std::numeric_limits<uint32_t>::max()) {
    throw ValueError("Integer does not fit in unsigned 32 bits:",
                     std::to_string(v) + " (" + what + ")");
  }
  return static_cast<uint32_t>(v);
}

int16_t CheckedInt16(int64_t v) {
  if (v < std::numeric_limits<int16_t>::min() ||
      v > std::numeric_limits<int16_t>::max()) {
    throw ValueError("Integer does not fit in 16 bits:", std::to_string(v));
  }
  return static_cast<int16_t>(v);
}

}  // namespace sarnic
