// The SVM classifier head: the classifier's folder read into arrays, then
// seven constant layers written by the data layer's constant writer and the
// kernel, decision and probability layers fed by the layer named "output".
#include "svm/svm.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "data/data_layers.h"
#include "sarnic/errors.h"
#include "sarnic/files.h"
#include "sarnic/schema.h"
#include "serialize/layer_parts.h"
#include "serialize/tensor.h"

namespace sarnic {

namespace {

struct Sizes {
  int64_t k, l, d;
};

int64_t SizeMember(const nlohmann::json& j, const char* member,
                   int64_t minimum) {
  const auto it = j.find(member);
  if (it == j.end()) {
    throw ValueError("kld.json lacks the member", member);
  }
  if (!it->is_number_integer()) {
    throw ValueError("kld.json member is not an integer:",
                     std::string(member) + " = " + it->dump());
  }
  const auto v = it->get<int64_t>();
  // Beyond this no shape of the head fits the model's int32 dimensions.
  if (v < minimum || v > std::numeric_limits<int32_t>::max()) {
    throw ValueError("kld.json member is out of range:",
                     std::string(member) + " = " + std::to_string(v) +
                         " (at least " + std::to_string(minimum) + ")");
  }
  return v;
}

Sizes ReadSizes(const std::string& path) {
  // The sizes of a classifier take a few dozen bytes.
  constexpr std::size_t kMaxSizesFile = 1 << 20;
  const std::string text = ReadFileText(path, "SVM file", kMaxSizesFile);
  nlohmann::json j = nlohmann::json::parse(text, nullptr,
                                           /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object()) {
    throw ValueError("kld.json is not a JSON object:", path);
  }
  return {SizeMember(j, "K", 2), SizeMember(j, "L", 1), SizeMember(j, "D", 1)};
}

// The parameter file viewed in place. Its size is checked against the
// shape before anything of it is read.
NdArray ReadParameter(const std::string& path, const Shape& shape) {
  const auto file = MappedFile::Open(path, "SVM file");
  const int64_t expected = ElementCount(shape, path);
  const std::size_t size = file->size();
  if (size % 4 != 0) {
    throw ValueError("SVM file length is not a multiple of 4:",
                     path + " has " + std::to_string(size) +
                         " bytes, expected " + std::to_string(expected) +
                         " float32 values");
  }
  const auto found = static_cast<int64_t>(size / 4);
  if (found != expected) {
    throw ValueError("SVM file holds the wrong number of values:",
                     path + ": expected " + std::to_string(expected) +
                         ", found " + std::to_string(found));
  }
  return NdArray::View(DType::kFloat32, shape, file, file->bytes());
}

Offset ComputedLayer(BetterBuilder& b, const std::string& name, snxf::Op op,
                     const Shape& shape, const std::vector<uint32_t>& inputs) {
  const Offset layer_name = b.CreateString(name);
  const Offset layer_shape = WriteLayerShape(b, shape, "SVM layer " + name);
  const Offset layer_inputs = WriteInputs(b, inputs);
  snxf::LayerStart(b);
  snxf::LayerAddType(b, op);
  snxf::LayerAddName(b, layer_name);
  snxf::LayerAddShape(b, layer_shape);
  snxf::LayerAddInputs(b, layer_inputs);
  return snxf::LayerEnd(b);
}

}  // namespace

uint64_t SvmHead::data_bytes() const {
  uint64_t bytes = 0;
  for (const auto& [key, array] : params) bytes += array.nbytes();
  return bytes;
}

SvmHead ReadSvmHead(const std::string& svm_dir) {
  std::string dir = svm_dir;
  if (dir.empty() || dir.back() != '/') dir += "/";
  const Sizes s = ReadSizes(dir + "kld.json");
  const int64_t p = s.k * (s.k - 1) / 2;
  const std::vector<std::pair<std::string, Shape>> shapes = {
      {"alpha", {s.k - 1, s.l}}, {"a", {p, 1}},     {"b", {p, 1}},
      {"sv", {s.l, s.d}},        {"nsv", {s.k, 1}}, {"rho", {p, 1}},
      {"label", {s.k, 1}},
  };
  SvmHead head{s.k, s.l, s.d, {}};
  for (const auto& [key, shape] : shapes) {
    head.params.emplace_back(key, ReadParameter(dir + key + ".bin", shape));
  }
  return head;
}

void export_svm(BetterBuilder& builder, LayerList& layers,
                const SvmHead& head) {
  const Sizes s{head.k, head.l, head.d};
  const int64_t p = s.k * (s.k - 1) / 2;
  for (const auto& [key, array] : head.params) {
    const std::string layer = "svm_" + key;
    layers.append(
        layer, WriteConstantLayer(builder, layer, array, "SVM layer " + layer));
  }
  const LayerIndex& layers_map = layers.index();
  const uint32_t alpha = layers_map.at("svm_alpha");
  const uint32_t a = layers_map.at("svm_a");
  const uint32_t b = layers_map.at("svm_b");
  const uint32_t sv = layers_map.at("svm_sv");
  const uint32_t nsv = layers_map.at("svm_nsv");
  const uint32_t rho = layers_map.at("svm_rho");

  const uint32_t x = layers_map.at("output");
  layers.append("svm_kernel", ComputedLayer(builder, "svm_kernel",
                                            snxf::Op::svm_update_kernel,
                                            {s.k, s.l}, {x, sv, nsv}));
  const uint32_t kernel = layers_map.at("svm_kernel");
  layers.append("svm_decision", ComputedLayer(builder, "svm_decision",
                                              snxf::Op::svm_decision_stats,
                                              {p, 1}, {kernel, alpha, rho}));
  const uint32_t decision = layers_map.at("svm_decision");
  layers.append("svm_output", ComputedLayer(builder, "svm_output",
                                            snxf::Op::svm_soft_probability,
                                            {s.k, 1}, {decision, a, b}));
}

}  // namespace sarnic
