// The graph format's JSON: a strict parser (integer literals beyond 64 bits
// are refused, not read as reals) and the reader of its value encoding
// (scalars, texts, lists, objects and arrays, inline or in the weights
// file), which names the file and the place of every fault.
#ifndef SARNIC_IO_GRAPH_JSON_H_
#define SARNIC_IO_GRAPH_JSON_H_

#include <nlohmann/json.hpp>
#include <string>

#include "io/safetensors.h"
#include "sarnic/errors.h"
#include "sarnic/ndarray.h"
#include "sarnic/value.h"

namespace sarnic {

using Json = nlohmann::ordered_json;

// The JSON document in the regular file `path` (`what` names its role).
Json ParseJson(const std::string& path, const std::string& what);

std::string Quoted(const std::string& s);

// Reads values of the graph format's encoding, naming the file and place.
class ValueReader {
 public:
  ValueReader(std::string path, const WeightsFile* weights)
      : path_(std::move(path)), weights_(weights) {}

  [[noreturn]] void Fail(const std::string& place,
                         const std::string& problem) const {
    throw FormatError(path_, place, problem);
  }

  Value Read(const Json& j, const std::string& place, int depth = 0) const;
  NdArray Array(const Json& a, const std::string& place) const;

 private:
  NdArray Reference(const Json& a, const std::string& place) const;
  NdArray Elements(DType dtype, const Shape& shape, const Json& data,
                   const std::string& place) const;
  Shape ShapeOf(const Json& dims, const std::string& place) const;
  double Real(const Json& e, const std::string& place) const;
  int64_t Integer(const Json& e, DType dtype, const std::string& place) const;
  int64_t InRange(int64_t v, DType d, const Json& e,
                  const std::string& place) const;

  std::string path_;
  const WeightsFile* weights_;
};

}  // namespace sarnic

#endif  // SARNIC_IO_GRAPH_JSON_H_
