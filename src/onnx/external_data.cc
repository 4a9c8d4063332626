// Initializers stored outside the model: read from files inside the
// model's folder only, viewed where they are mapped.
#include <algorithm>
#include <filesystem>

#include "onnx/model_checks.h"
#include "onnx/tensors.h"
#include "sarnic/files.h"
#include "sarnic/value.h"

namespace sarnic::onnx_import {

namespace {

// The data of an initializer stored outside the model, viewed in its
// mapped file: only a file inside the model's folder (no absolute path, no
// way out through ".." or a link).
NdArray ExternalData(const onnx::TensorProto& t, const std::string& folder,
                     const std::string& what,
                     std::vector<std::string>* files_read) {
  const std::string place = "tensor '" + Printable(t.name()) + "'";
  std::string location;
  int64_t offset = 0, length = -1;
  for (const auto& e : t.external_data()) {
    if (e.key() == "location") location = e.value();
    if (e.key() != "offset" && e.key() != "length") continue;
    int64_t& field = e.key() == "offset" ? offset : length;
    std::size_t used = 0;
    try {
      field = std::stoll(e.value(), &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != e.value().size()) {
      throw FormatError(what, place,
                        "its external data " + e.key() + " '" +
                            Printable(e.value()) + "' is not a whole number");
    }
  }
  namespace fs = std::filesystem;
  const fs::path rel(location);
  if (folder.empty() || location.empty() || rel.is_absolute()) {
    throw FormatError(what, place,
                      "its external data '" + Printable(location) +
                          "' is not a file inside the model's folder");
  }
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(fs::path(folder), ec);
  const fs::path file = fs::weakly_canonical(fs::path(folder) / rel, ec);
  const auto [b, f] =
      std::mismatch(base.begin(), base.end(), file.begin(), file.end());
  if (ec || b != base.end() || f == file.end()) {
    throw FormatError(what, place,
                      "its external data '" + Printable(location) +
                          "' leads out of the model's folder; refused");
  }
  const auto mapped = MappedFile::Open(file.string(), "external data file");
  if (files_read != nullptr && std::find(files_read->begin(), files_read->end(),
                                         file.string()) == files_read->end()) {
    files_read->push_back(file.string());
  }
  const auto size = static_cast<int64_t>(mapped->size());
  if (offset < 0 || offset > size || (length >= 0 && length > size - offset)) {
    throw FormatError(
        what, place,
        "its external data lies past the end of '" + Printable(location) + "'");
  }
  const std::span<const std::byte> bytes = mapped->bytes().subspan(
      static_cast<std::size_t>(offset),
      static_cast<std::size_t>(length < 0 ? size - offset : length));
  return ViewTensorArray(t, what + ": " + place, mapped, bytes);
}

}  // namespace

// External data is read (from inside the folder only) before ONNX's
// checker, which would look for the files itself.
void ReadExternalData(const onnx::ModelProto& m, const std::string& folder,
                      const std::string& what, Converter& c,
                      std::vector<std::string>* files_read) {
  for (const auto& t : m.graph().initializer()) {
    if (t.data_location() != onnx::TensorProto::EXTERNAL) continue;
    c.SetConstant(t.name(), ExternalData(t, folder, what, files_read));
    c.SetShape(t.name(), Shape(t.dims().begin(), t.dims().end()));
  }
}

// Initializers whose data lies outside the model, already read, become
// graph inputs of their type and shape: the checker and shape inference
// see them without looking for their files, and without a copy of them.
void StripExternalData(onnx::ModelProto& m) {
  auto* g = m.mutable_graph();
  auto* inits = g->mutable_initializer();
  for (int i = inits->size() - 1; i >= 0; --i) {
    const onnx::TensorProto& t = inits->Get(i);
    if (t.data_location() != onnx::TensorProto::EXTERNAL) continue;
    onnx::ValueInfoProto* input = g->add_input();
    input->set_name(t.name());
    auto* type = input->mutable_type()->mutable_tensor_type();
    type->set_elem_type(t.data_type());
    for (int64_t d : t.dims())
      type->mutable_shape()->add_dim()->set_dim_value(d);
    inits->DeleteSubrange(i, 1);
  }
}

}  // namespace sarnic::onnx_import
