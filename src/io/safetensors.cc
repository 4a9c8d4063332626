#include "io/safetensors.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "sarnic/errors.h"
#include "sarnic/graph_file.h"

namespace sarnic {

static_assert(std::endian::native == std::endian::little,
              "weights files are little-endian and are viewed in place");

namespace {

constexpr uint64_t kMaxHeader = 100'000'000;

struct Entry {
  std::string name;
  std::optional<DType> dtype;  // empty for BF16
  Shape shape;
  uint64_t begin, end;
};

[[noreturn]] void Bad(const std::string& path, const std::string& what) {
  throw FormatError(path, "", what);
}

// Element type names of the weights file, in both directions.
constexpr std::pair<const char*, DType> kTypes[] = {
    {"BOOL", DType::kBool},  {"U8", DType::kUint8},  {"I8", DType::kInt8},
    {"U16", DType::kUint16}, {"I16", DType::kInt16}, {"F16", DType::kFloat16},
    {"U32", DType::kUint32}, {"I32", DType::kInt32}, {"F32", DType::kFloat32},
    {"U64", DType::kUint64}, {"I64", DType::kInt64}, {"F64", DType::kFloat64},
};

std::optional<DType> TypeOf(const std::string& path, const std::string& tensor,
                            const std::string& t, std::size_t& itemsize) {
  for (const auto& [name, d] : kTypes) {
    if (t == name) {
      itemsize = ItemSize(d);
      return d;
    }
  }
  if (t == "BF16") {
    itemsize = 2;
    return std::nullopt;
  }
  Bad(path, "tensor '" + tensor + "' has unknown dtype '" + t + "'");
}

uint64_t NonNegative(const std::string& path, const std::string& tensor,
                     const nlohmann::json& j, const char* what) {
  if (!j.is_number_integer() ||
      (j.is_number_integer() && !j.is_number_unsigned() &&
       j.get<int64_t>() < 0)) {
    Bad(path,
        "tensor '" + tensor + "' has a bad " + what + " entry " + j.dump());
  }
  return j.get<uint64_t>();
}

Entry ParseEntry(const std::string& path, const std::string& name,
                 const nlohmann::json& j) {
  const std::string at = "tensor '" + name + "'";
  if (!j.is_object()) Bad(path, at + " is not an object");
  for (const auto& [k, v] : j.items()) {
    if (k != "dtype" && k != "shape" && k != "data_offsets") {
      Bad(path, at + " has an unknown key '" + k + "'");
    }
  }
  if (!j.contains("dtype") || !j["dtype"].is_string()) {
    Bad(path, at + " lacks a text 'dtype'");
  }
  if (!j.contains("shape") || !j["shape"].is_array()) {
    Bad(path, at + " lacks a 'shape' list");
  }
  if (!j.contains("data_offsets") || !j["data_offsets"].is_array() ||
      j["data_offsets"].size() != 2) {
    Bad(path, at + " lacks 'data_offsets' [begin, end]");
  }
  Entry e;
  e.name = name;
  std::size_t itemsize = 0;
  e.dtype = TypeOf(path, name, j["dtype"].get<std::string>(), itemsize);
  uint64_t bytes = itemsize;
  for (const auto& d : j["shape"]) {
    const uint64_t dim = NonNegative(path, name, d, "shape");
    if (dim > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
        (dim != 0 && bytes > std::numeric_limits<uint64_t>::max() / dim)) {
      Bad(path, at + " has a shape whose byte size overflows");
    }
    bytes *= dim;
    e.shape.push_back(static_cast<int64_t>(dim));
  }
  e.begin = NonNegative(path, name, j["data_offsets"][0], "data_offsets");
  e.end = NonNegative(path, name, j["data_offsets"][1], "data_offsets");
  if (e.end < e.begin || e.end - e.begin != bytes) {
    Bad(path, at + " has data_offsets [" + std::to_string(e.begin) + ", " +
                  std::to_string(e.end) + "] for " + std::to_string(bytes) +
                  " bytes of data");
  }
  return e;
}

// The ranges, in offset order, tile the `data_size` bytes of data exactly.
void CheckTiling(const std::string& path, const std::vector<Entry>& entries,
                 uint64_t data_size) {
  std::vector<const Entry*> by_offset;
  for (const Entry& e : entries) by_offset.push_back(&e);
  std::stable_sort(
      by_offset.begin(), by_offset.end(), [](const Entry* a, const Entry* b) {
        return a->begin < b->begin || (a->begin == b->begin && a->end < b->end);
      });
  uint64_t next = 0;
  for (const Entry* e : by_offset) {
    if (e->begin != next) {
      Bad(path, "tensor '" + e->name + "' starts at " +
                    std::to_string(e->begin) + " where " +
                    std::to_string(next) +
                    " was expected (a hole or an overlap)");
    }
    next = e->end;
  }
  if (next != data_size) {
    Bad(path, "tensor data ends at " + std::to_string(next) +
                  " but the file holds " + std::to_string(data_size) +
                  " bytes of data");
  }
}

}  // namespace

const NdArray& WeightsFile::Get(const std::string& key,
                                const std::string& place) const {
  if (bf16.count(key) > 0) {
    throw FormatError(path, "",
                      "tensor '" + key + "' (used by " + place +
                          ") is BF16, which has no element type here");
  }
  const NdArray* a = tensors.find(key);
  if (a == nullptr) {
    throw FormatError(path, "",
                      "no tensor '" + key + "' (used by " + place + ")");
  }
  return *a;
}

WeightsFile ReadWeights(const std::string& path) {
  // Copy on write: the arrays may be handed out writable (to Python)
  // without copying them, and the file never changes.
  const auto map = MappedFile::Open(path, "weights file", kNoSizeLimit,
                                    /*copy_on_write=*/true);
  const std::size_t size = map->size();
  if (size < 8) Bad(path, "too short for a weights file header");
  uint64_t n = 0;
  std::memcpy(&n, map->data(), 8);
  if (n > kMaxHeader) {
    Bad(path, "header length " + std::to_string(n) + " exceeds 100000000");
  }
  if (n > size - 8) {
    Bad(path, "header length " + std::to_string(n) + " runs past the end");
  }
  const char* text = reinterpret_cast<const char*>(map->data() + 8);
  const nlohmann::ordered_json header =
      nlohmann::ordered_json::parse(text, text + n, nullptr, false);
  if (header.is_discarded() || !header.is_object()) {
    Bad(path, "header is not a JSON object");
  }
  std::vector<Entry> entries;
  for (const auto& [k, v] : header.items()) {
    if (k == "__metadata__") {
      if (!v.is_object()) Bad(path, "__metadata__ is not an object");
      for (const auto& [mk, mv] : v.items()) {
        if (!mv.is_string()) Bad(path, "__metadata__ '" + mk + "' is not text");
      }
      continue;
    }
    entries.push_back(ParseEntry(path, k, v));
  }
  CheckTiling(path, entries, size - 8 - n);
  WeightsFile w;
  w.path = path;
  const std::byte* base = map->data() + 8 + n;
  for (const Entry& e : entries) {
    if (!e.dtype) {
      w.bf16.insert(e.name);
      continue;
    }
    NdArray a = NdArray::View(*e.dtype, e.shape, map,
                              {base + e.begin, e.end - e.begin});
    a.set_origin("weights file " + path + " tensor '" + e.name + "'");
    w.tensors.set(e.name, std::move(a));
  }
  return w;
}

void WriteWeights(const std::string& path,
                  const std::vector<std::pair<std::string, NdArray>>& tensors) {
  nlohmann::ordered_json header = nlohmann::ordered_json::object();
  uint64_t offset = 0;
  for (const auto& [name, a] : tensors) {
    const char* type = nullptr;
    for (const auto& [t, d] : kTypes) {
      if (d == a.dtype()) type = t;
    }
    header[name] = {{"dtype", type},
                    {"shape", a.shape()},
                    {"data_offsets", {offset, offset + a.nbytes()}}};
    offset += a.nbytes();
  }
  std::string text = header.dump();
  // Pad the header with spaces so the data starts 8-byte aligned.
  while ((8 + text.size()) % 8 != 0) text += ' ';
  std::vector<char> out(8 + text.size() + offset);
  const uint64_t n = text.size();
  std::memcpy(out.data(), &n, 8);
  std::memcpy(out.data() + 8, text.data(), text.size());
  std::size_t pos = 8 + text.size();
  for (const auto& [name, a] : tensors) {
    if (a.nbytes() > 0) std::memcpy(out.data() + pos, a.data(), a.nbytes());
    pos += a.nbytes();
  }
  WriteFileAtomically(path, out.data(), out.size());
}

}  // namespace sarnic
