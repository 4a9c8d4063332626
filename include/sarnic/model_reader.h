// Reading SNX model files back, for inspection: the identifier and the
// FlatBuffers verifier are checked before any field is read, so a
// truncated, corrupt or foreign file is refused, never misread.
#ifndef SARNIC_MODEL_READER_H_
#define SARNIC_MODEL_READER_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sarnic/schema.h"

namespace sarnic {

// The verified model in `bytes`; a ValueError naming `what` otherwise.
const snxf::Model& ReadModel(std::span<const uint8_t> bytes,
                             const std::string& what);

// Reads the whole file at `path` (kept in `storage`) and verifies it.
const snxf::Model& ReadModelFile(const std::string& path,
                                 std::vector<uint8_t>& storage);

struct DescribeOptions {
  // Only this layer (a name, or an index written in decimal).
  std::optional<std::string> layer;
  // Parameter tensors with a preview of their data.
  bool params = false;
};

// The model as one JSON document: header, resources and layers.
nlohmann::ordered_json DescribeModel(const snxf::Model& model,
                                     const DescribeOptions& options = {});

// The same description as text for people.
std::string FormatDescription(const nlohmann::ordered_json& description);

}  // namespace sarnic

#endif  // SARNIC_MODEL_READER_H_
