// Reading SNX model files back, for inspection: the identifier and the
// FlatBuffers verifier are checked before any field is read, so a
// truncated, corrupt or foreign file is refused, never misread.
#ifndef SARNIC_MODEL_READER_H_
#define SARNIC_MODEL_READER_H_

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sarnic/files.h"
#include "sarnic/schema.h"

namespace sarnic {

// The verified model in `bytes`; a ValueError naming `what` otherwise.
const snxf::Model& ReadModel(std::span<const uint8_t> bytes,
                             const std::string& what);

// Reads the whole file at `path` (kept in `storage`) and verifies it.
const snxf::Model& ReadModelFile(const std::string& path,
                                 std::vector<uint8_t>& storage);

// A model file mapped, not read, and verified: memory in proportion to the
// file, whatever it holds. A file too large for any model is refused before
// it is mapped.
class ModelFile {
 public:
  static ModelFile Open(const std::string& path);
  const snxf::Model& model() const { return *model_; }
  uint64_t size() const { return file_->size(); }

 private:
  ModelFile(std::shared_ptr<const MappedFile> file, const snxf::Model& model)
      : file_(std::move(file)), model_(&model) {}
  std::shared_ptr<const MappedFile> file_;
  const snxf::Model* model_;
};

struct DescribeOptions {
  // Only this layer (a name, or an index written in decimal).
  std::optional<std::string> layer;
  // Parameter tensors with a preview of their data.
  bool params = false;
};

// The layers [begin, end) that `options` select; a KeyError names a layer
// that the model does not have.
struct LayerRange {
  uint32_t begin, end;
};
LayerRange SelectLayers(const snxf::Model& model,
                        const DescribeOptions& options);

// The model's header and resources, without its layers.
nlohmann::ordered_json DescribeHeader(const snxf::Model& model);

// Layer `index` (which must be in range), with a preview of its parameter
// tensors' data when `params` is set.
nlohmann::ordered_json DescribeLayer(const snxf::Model& model, uint32_t index,
                                     bool params);

// The model as one JSON document: header, resources and layers.
nlohmann::ordered_json DescribeModel(const snxf::Model& model,
                                     const DescribeOptions& options = {});

// The same description as text for people. Text from the file is printed
// with control characters escaped.
std::string FormatDescription(const nlohmann::ordered_json& description);

// Writes the description of DescribeModel, as JSON (the document that
// DescribeModel(...).dump(2) gives) or as text, to `out` one layer at a
// time, so that a model with many layers needs no more memory than one.
// With the model's `facts`, the JSON document starts with "format":
// "snx-model" and "version": 1, holds the summary under "summary" before
// the layers and each layer's output size and live range under "output";
// the text ends with the summary.
struct ModelFacts;
void WriteDescription(std::ostream& out, const snxf::Model& model,
                      const DescribeOptions& options, bool json,
                      const ModelFacts* facts = nullptr);

}  // namespace sarnic

#endif  // SARNIC_MODEL_READER_H_
