#include "sarnic/errors.h"

#include <utility>

namespace sarnic {

namespace {
std::string Join(const std::string& message, const std::string& detail) {
  return detail.empty() ? message : message + " " + detail;
}
}  // namespace

DetailedError::DetailedError(std::string message, std::string detail)
    : Error(Join(message, detail)),
      message_(std::move(message)),
      detail_(std::move(detail)) {}

FormatError::FormatError(std::string file, std::string place,
                         std::string problem)
    : ValueError(file + ": " + (place.empty() ? "" : place + ": ") + problem),
      file_(std::move(file)),
      place_(std::move(place)),
      problem_(std::move(problem)) {}

KeyError::KeyError(std::string key, const std::string& what)
    : Error(what), key_(std::move(key)) {}

}  // namespace sarnic
