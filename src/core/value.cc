#include "sarnic/value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "sarnic/errors.h"

namespace sarnic {

Value Value::IntList(const std::vector<int64_t>& values) {
  List l;
  l.reserve(values.size());
  for (int64_t v : values) l.emplace_back(v);
  return Value(std::move(l));
}

Value Value::TextList(const std::vector<std::string>& values) {
  List l;
  l.reserve(values.size());
  for (const auto& v : values) l.emplace_back(v);
  return Value(std::move(l));
}

namespace {
[[noreturn]] void WrongKind(const Value& v, const char* wanted) {
  throw TypeError(std::string("expected ") + wanted + ", got " + v.type_name() +
                  " " + v.repr());
}
}  // namespace

bool Value::as_bool() const {
  if (!is_bool()) WrongKind(*this, "a boolean");
  return std::get<bool>(v_);
}
int64_t Value::as_int() const {
  if (is_bool()) return std::get<bool>(v_) ? 1 : 0;
  if (kind() != Kind::kInt) WrongKind(*this, "an integer");
  return std::get<int64_t>(v_);
}
double Value::as_real() const {
  if (is_real()) return std::get<double>(v_);
  if (is_integer()) return static_cast<double>(as_int());
  WrongKind(*this, "a number");
}
const std::string& Value::as_text() const {
  if (!is_text()) WrongKind(*this, "a text");
  return std::get<std::string>(v_);
}
const List& Value::as_list() const {
  if (!is_list()) WrongKind(*this, "a sequence");
  return std::get<List>(v_);
}
List& Value::as_list() {
  if (!is_list()) WrongKind(*this, "a sequence");
  return std::get<List>(v_);
}
const Dict& Value::as_dict() const {
  if (!is_dict()) WrongKind(*this, "a mapping");
  return std::get<Dict>(v_);
}
Dict& Value::as_dict() {
  if (!is_dict()) WrongKind(*this, "a mapping");
  return std::get<Dict>(v_);
}
const NdArray& Value::as_array() const {
  if (!is_array()) WrongKind(*this, "an array");
  return std::get<NdArray>(v_);
}

bool Value::truthy() const {
  switch (kind()) {
    case Kind::kNone:
      return false;
    case Kind::kBool:
      return std::get<bool>(v_);
    case Kind::kInt:
      return std::get<int64_t>(v_) != 0;
    case Kind::kReal:
      return std::get<double>(v_) != 0.0;
    case Kind::kText:
      return !std::get<std::string>(v_).empty();
    case Kind::kList:
      return !std::get<List>(v_).empty();
    case Kind::kDict:
      return !std::get<Dict>(v_).empty();
    case Kind::kArray:
      return std::get<NdArray>(v_).size() > 0;
  }
  return false;
}

std::string PythonRealRepr(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
  // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]x".
  char buf[64];
  auto res =
      std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const std::size_t epos = sci.find('e');
  std::string digits = sci.substr(0, epos);
  const int exp = std::stoi(sci.substr(epos + 1));
  if (digits.size() > 1) digits.erase(1, 1);  // drop the '.'
  // Python switches to exponent notation below 1e-4 and from 1e16 on.
  if (exp < -4 || exp >= 16) {
    std::string mant = digits.substr(0, 1);
    if (digits.size() > 1) mant += "." + digits.substr(1);
    char e[16];
    std::snprintf(e, sizeof e, "e%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
    return sign + mant + e;
  }
  std::string out;
  if (exp < 0) {
    out = "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
  } else if (static_cast<std::size_t>(exp) + 1 >= digits.size()) {
    out = digits + std::string(exp + 1 - digits.size(), '0') + ".0";
  } else {
    out = digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
  }
  return sign + out;
}

namespace {

std::string TextRepr(const std::string& s) {
  const bool has_single = s.find('\'') != std::string::npos;
  const bool has_double = s.find('"') != std::string::npos;
  const char q = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, q);
  for (unsigned char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c == static_cast<unsigned char>(q)) {
          out += '\\';
          out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
          char b[8];
          std::snprintf(b, sizeof b, "\\x%02x", c);
          out += b;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += q;
  return out;
}

std::string ArrayStr(const NdArray& a) {
  // numpy-like: nested brackets, elements separated by spaces.
  if (a.ndim() == 0) {
    return IsFloating(a.dtype()) ? PythonRealRepr(a.GetDouble(0))
                                 : std::to_string(a.GetInt(0));
  }
  std::string out;
  const Shape& shape = a.shape();
  int64_t flat = 0;
  std::function<void(std::size_t)> rec = [&](std::size_t dim) {
    out += '[';
    for (int64_t i = 0; i < shape[dim]; ++i) {
      if (i > 0) out += " ";
      if (dim + 1 == shape.size()) {
        if (a.dtype() == DType::kBool) {
          out += a.GetInt(flat) ? "True" : "False";
        } else if (IsFloating(a.dtype())) {
          out += PythonRealRepr(a.GetDouble(flat));
        } else if (a.dtype() == DType::kUint64) {
          uint64_t u;
          std::memcpy(&u, a.data() + flat * 8, sizeof u);
          out += std::to_string(u);
        } else {
          out += std::to_string(a.GetInt(flat));
        }
        ++flat;
      } else {
        rec(dim + 1);
      }
    }
    out += ']';
  };
  rec(0);
  return out;
}

}  // namespace

std::string Value::str() const {
  switch (kind()) {
    case Kind::kNone:
      return "None";
    case Kind::kBool:
      return std::get<bool>(v_) ? "True" : "False";
    case Kind::kInt:
      return std::to_string(std::get<int64_t>(v_));
    case Kind::kReal:
      return PythonRealRepr(std::get<double>(v_));
    case Kind::kText:
      return std::get<std::string>(v_);
    case Kind::kList: {
      std::string out = "[";
      bool first = true;
      for (const Value& v : std::get<List>(v_)) {
        if (!first) out += ", ";
        first = false;
        out += v.repr();
      }
      return out + "]";
    }
    case Kind::kDict: {
      std::string out = "{";
      bool first = true;
      for (const auto& [k, v] : std::get<Dict>(v_)) {
        if (!first) out += ", ";
        first = false;
        out += TextRepr(k) + ": " + v.repr();
      }
      return out + "}";
    }
    case Kind::kArray:
      return ArrayStr(std::get<NdArray>(v_));
  }
  return "";
}

std::string Value::repr() const {
  if (is_text()) return TextRepr(std::get<std::string>(v_));
  return str();
}

std::string Value::type_name() const {
  switch (kind()) {
    case Kind::kNone:
      return "NoneType";
    case Kind::kBool:
      return "bool";
    case Kind::kInt:
      return "int";
    case Kind::kReal:
      return "float";
    case Kind::kText:
      return "str";
    case Kind::kList:
      return "list";
    case Kind::kDict:
      return "dict";
    case Kind::kArray:
      return "ndarray";
  }
  return "";
}

// Text from the file, safe to print on a terminal: control characters
// (C0, DEL and C1) are escaped as JSON escapes them, and bytes that are not
// UTF-8 become U+FFFD, as in the JSON output.
std::string Printable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  auto escape = [&out](uint32_t c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
    out += buf;
  };
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c == '\n') {
        out += "\\n";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c < 0x20 || c == 0x7f) {
        escape(c);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // The length of a well-formed sequence starting here, or 0.
    std::size_t len = c >= 0xc2 && c <= 0xdf   ? 2
                      : c >= 0xe0 && c <= 0xef ? 3
                      : c >= 0xf0 && c <= 0xf4 ? 4
                                               : 0;
    uint32_t code = len == 2 ? c & 0x1fu : len == 3 ? c & 0x0fu : c & 0x07u;
    for (std::size_t k = 1; k < len; ++k) {
      const auto d = i + k < s.size() ? static_cast<unsigned char>(s[i + k])
                                      : static_cast<unsigned char>(0);
      if ((d & 0xc0) != 0x80) {
        len = 0;
        break;
      }
      code = (code << 6) | (d & 0x3fu);
    }
    const bool overlong = (len == 3 && code < 0x800) ||
                          (len == 4 && code < 0x10000) || code > 0x10ffff ||
                          (code >= 0xd800 && code <= 0xdfff);
    if (len == 0 || overlong) {
      out += "\xef\xbf\xbd";
      ++i;
    } else if (code >= 0x80 && code <= 0x9f) {
      escape(code);
      i += len;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

}  // namespace sarnic
