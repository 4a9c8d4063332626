// The dynamic value of a node attribute or a tensor entry: none, boolean,
// integer, real, text, sequence, ordered mapping or n-dimensional array.
#ifndef SARNIC_VALUE_H_
#define SARNIC_VALUE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sarnic/ndarray.h"
#include "sarnic/ordered_map.h"

namespace sarnic {

class Value;
using List = std::vector<Value>;
using Dict = OrderedMap<Value>;

class Value {
 public:
  enum class Kind { kNone, kBool, kInt, kReal, kText, kList, kDict, kArray };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<int64_t>(i)) {}
  Value(int64_t i) : v_(i) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(List l) : v_(std::move(l)) {}
  Value(Dict d) : v_(std::move(d)) {}
  Value(NdArray a) : v_(std::move(a)) {}

  // A sequence of integers, as shapes and axes are written.
  static Value IntList(const std::vector<int64_t>& values);
  static Value TextList(const std::vector<std::string>& values);

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_none() const { return kind() == Kind::kNone; }
  bool is_bool() const { return kind() == Kind::kBool; }
  // Integer in the wide sense: booleans count as integers.
  bool is_integer() const { return is_bool() || kind() == Kind::kInt; }
  bool is_real() const { return kind() == Kind::kReal; }
  bool is_number() const { return is_integer() || is_real(); }
  bool is_text() const { return kind() == Kind::kText; }
  bool is_list() const { return kind() == Kind::kList; }
  bool is_dict() const { return kind() == Kind::kDict; }
  bool is_array() const { return kind() == Kind::kArray; }

  // Accessors; the wrong kind raises a TypeError.
  bool as_bool() const;
  int64_t as_int() const;  // booleans give 0 or 1
  double as_real() const;  // integers convert
  const std::string& as_text() const;
  const List& as_list() const;
  List& as_list();
  const Dict& as_dict() const;
  Dict& as_dict();
  const NdArray& as_array() const;

  // Python's truth value: none, false, 0, 0.0, empty text and empty
  // containers are false.
  bool truthy() const;

  // Python's str() of the value: "None", "True", "3", "1e-05", the text
  // itself, "[1, 'a']" ...
  std::string str() const;
  // Python's repr(): texts in quotes, otherwise as str().
  std::string repr() const;
  // The Python type name of the value ("int", "list", "ndarray" ...).
  std::string type_name() const;

  bool operator==(const Value& other) const { return v_ == other.v_; }

 private:
  std::variant<std::monostate, bool, int64_t, double, std::string, List, Dict,
               NdArray>
      v_;
};

// Python's repr() of a real number: the shortest text that reads back to the
// same double, in Python's choice of fixed or exponent notation.
std::string PythonRealRepr(double d);

// Text from a file or a graph, safe to print on a terminal as part of one
// line: control characters (C0, DEL and C1, line breaks included) are
// escaped as JSON escapes them, and bytes that are not UTF-8 become U+FFFD.
std::string Printable(std::string_view s);

}  // namespace sarnic

#endif  // SARNIC_VALUE_H_
