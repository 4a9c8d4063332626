#include "io/graph_json.h"

#include <cmath>
#include <limits>

#include "sarnic/errors.h"
#include "sarnic/files.h"

namespace sarnic {

namespace {

constexpr int kMaxDepth = 64;

// The document parser, refusing integer literals beyond 64 bits, which
// would otherwise be read as reals.
class StrictDomParser : public nlohmann::detail::json_sax_dom_parser<Json> {
 public:
  StrictDomParser(Json& result, const std::string& path)
      : json_sax_dom_parser(result, /*allow_exceptions_=*/true), path_(path) {}

  bool number_float(Json::number_float_t value, const std::string& text) {
    if (text.find_first_of(".eE") == std::string::npos) {
      throw FormatError(path_, "", "integer " + text + " does not fit 64 bits");
    }
    return json_sax_dom_parser::number_float(value, text);
  }

 private:
  const std::string& path_;
};

}  // namespace

Json ParseJson(const std::string& path, const std::string& what) {
  const std::string text = ReadFileText(path, what);
  Json doc;
  StrictDomParser parser(doc, path);
  try {
    Json::sax_parse(text, &parser);
  } catch (const Json::exception& e) {
    // Syntax errors, and numbers beyond the range of a double.
    throw FormatError(path, "", std::string("not valid JSON: ") + e.what());
  }
  return doc;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

Value ValueReader::Read(const Json& j, const std::string& place,
                        int depth) const {
  if (depth > kMaxDepth) Fail(place, "values nest too deeply");
  switch (j.type()) {
    case Json::value_t::null:
      return Value();
    case Json::value_t::boolean:
      return Value(j.get<bool>());
    case Json::value_t::number_integer:
      return Value(j.get<int64_t>());
    case Json::value_t::number_unsigned: {
      const auto u = j.get<uint64_t>();
      if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        Fail(place, "integer " + j.dump() + " does not fit 64 bits");
      }
      return Value(static_cast<int64_t>(u));
    }
    case Json::value_t::number_float:
      return Value(j.get<double>());
    case Json::value_t::string:
      return Value(j.get<std::string>());
    case Json::value_t::array: {
      List l;
      l.reserve(j.size());
      for (const Json& item : j) l.push_back(Read(item, place, depth + 1));
      return Value(std::move(l));
    }
    case Json::value_t::object: {
      if (j.size() == 1 && j.contains("__ndarray__")) {
        return Value(Array(j["__ndarray__"], place));
      }
      Dict d;
      for (const auto& [k, v] : j.items()) d.set(k, Read(v, place, depth + 1));
      return Value(std::move(d));
    }
    default:
      Fail(place, "unsupported JSON value " + j.dump());
  }
}

NdArray ValueReader::Array(const Json& a, const std::string& place) const {
  if (!a.is_object()) Fail(place, "__ndarray__ must be an object");
  if (a.contains("weights")) return Reference(a, place);
  for (const auto& [k, v] : a.items()) {
    if (k != "dtype" && k != "shape" && k != "data") {
      Fail(place, "inline array has an unknown key '" + k + "'");
    }
  }
  if (!a.contains("dtype") || !a["dtype"].is_string()) {
    Fail(place, "inline array lacks a text 'dtype'");
  }
  const auto dtype = DTypeFromName(a["dtype"].get<std::string>());
  if (!dtype) Fail(place, "unknown dtype " + a["dtype"].dump());
  if (!a.contains("shape") || !a["shape"].is_array()) {
    Fail(place, "inline array lacks a 'shape' list");
  }
  const Shape shape = ShapeOf(a["shape"], place);
  int64_t count = 0;
  try {
    count = ElementCount(shape);
    ByteSize(*dtype, count);
  } catch (const ValueError&) {
    Fail(place, "the shape's element count or byte size overflows");
  }
  if (!a.contains("data") || !a["data"].is_array()) {
    Fail(place, "inline array lacks a 'data' list");
  }
  const Json& data = a["data"];
  if (static_cast<int64_t>(data.size()) != count) {
    Fail(place, "inline array has " + std::to_string(data.size()) +
                    " elements for shape of " + std::to_string(count));
  }
  if (count == 0) return NdArray::Zeros(*dtype, shape);
  return Elements(*dtype, shape, data, place);
}

NdArray ValueReader::Reference(const Json& a, const std::string& place) const {
  if (a.size() != 1 || !a["weights"].is_string()) {
    Fail(place, "an array reference is {\"weights\": KEY}");
  }
  if (weights_ == nullptr) {
    Fail(place, "refers to weights tensor '" + a["weights"].get<std::string>() +
                    "' but the graph names no weights file");
  }
  return weights_->Get(a["weights"].get<std::string>(), place);
}

NdArray ValueReader::Elements(DType dtype, const Shape& shape, const Json& data,
                              const std::string& place) const {
  // Elements go through a float64 or int64 array, then one conversion.
  if (IsFloating(dtype)) {
    std::vector<double> v;
    v.reserve(data.size());
    for (const Json& e : data) v.push_back(Real(e, place));
    return NdArray::FromValues<double>(DType::kFloat64, shape, v).AsType(dtype);
  }
  std::vector<int64_t> v;
  v.reserve(data.size());
  for (const Json& e : data) v.push_back(Integer(e, dtype, place));
  if (dtype == DType::kUint64) {
    std::vector<uint64_t> u(v.begin(), v.end());
    return NdArray::FromValues<uint64_t>(DType::kUint64, shape, u);
  }
  return NdArray::FromValues<int64_t>(DType::kInt64, shape, v).AsType(dtype);
}

Shape ValueReader::ShapeOf(const Json& dims, const std::string& place) const {
  Shape shape;
  for (const Json& d : dims) {
    if (!d.is_number_integer() || d.get<int64_t>() < 0 ||
        (d.is_number_unsigned() &&
         d.get<uint64_t>() >
             static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))) {
      Fail(place,
           "shape entries must be non-negative integers, not " + d.dump());
    }
    shape.push_back(d.get<int64_t>());
  }
  return shape;
}

double ValueReader::Real(const Json& e, const std::string& place) const {
  if (e.is_number()) return e.get<double>();
  if (e.is_string()) {
    const std::string s = e.get<std::string>();
    if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (s == "inf") return std::numeric_limits<double>::infinity();
    if (s == "-inf") return -std::numeric_limits<double>::infinity();
  }
  Fail(place, "array element " + e.dump() + " is not a real number");
}

int64_t ValueReader::Integer(const Json& e, DType dtype,
                             const std::string& place) const {
  if (dtype == DType::kBool && e.is_boolean()) return e.get<bool>() ? 1 : 0;
  if (e.is_number_integer()) {
    if (e.is_number_unsigned()) {
      const auto u = e.get<uint64_t>();
      if (dtype == DType::kUint64) return static_cast<int64_t>(u);
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return InRange(static_cast<int64_t>(u), dtype, e, place);
      }
    } else {
      return InRange(e.get<int64_t>(), dtype, e, place);
    }
  }
  Fail(place, "array element " + e.dump() + " is not a " +
                  std::string(DTypeName(dtype)) + " value");
}

int64_t ValueReader::InRange(int64_t v, DType d, const Json& e,
                             const std::string& place) const {
  int64_t lo = 0, hi = 0;
  switch (d) {
    case DType::kBool:
      lo = 0;
      hi = 1;
      break;
    case DType::kInt8:
      lo = -128;
      hi = 127;
      break;
    case DType::kUint8:
      lo = 0;
      hi = 255;
      break;
    case DType::kInt16:
      lo = -32768;
      hi = 32767;
      break;
    case DType::kUint16:
      lo = 0;
      hi = 65535;
      break;
    case DType::kInt32:
      lo = INT32_MIN;
      hi = INT32_MAX;
      break;
    case DType::kUint32:
      lo = 0;
      hi = UINT32_MAX;
      break;
    case DType::kInt64:
      return v;
    case DType::kUint64:
      lo = 0;
      hi = INT64_MAX;
      break;
    default:
      break;
  }
  if (v < lo || v > hi) {
    Fail(place, "array element " + e.dump() + " does not fit " +
                    std::string(DTypeName(d)));
  }
  return v;
}

}  // namespace sarnic
