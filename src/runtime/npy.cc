#include "sarnic/npy.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <vector>
#include <xtensor/xadapt.hpp>
#include <xtensor/xnpy.hpp>

#include "sarnic/errors.h"
#include "sarnic/files.h"
#include "sarnic/value.h"

namespace sarnic {

namespace {

// An input no larger than any array the interpreter takes.
constexpr std::size_t kMaxNpyBytes = std::size_t{4} << 30;

struct TypeCode {
  const char* descr;
  DType dtype;
};

constexpr TypeCode kTypes[] = {
    {"|b1", DType::kBool},    {"|i1", DType::kInt8},
    {"|u1", DType::kUint8},   {"<i2", DType::kInt16},
    {"<u2", DType::kUint16},  {"<i4", DType::kInt32},
    {"<u4", DType::kUint32},  {"<i8", DType::kInt64},
    {"<u8", DType::kUint64},  {"<f2", DType::kFloat16},
    {"<f4", DType::kFloat32}, {"<f8", DType::kFloat64},
};

std::string DescrOf(DType dtype) {
  for (const TypeCode& t : kTypes) {
    if (t.dtype == dtype) return t.descr;
  }
  return "?";
}

// The header a NumPy writer makes: a dictionary of descr, fortran_order and
// shape, in that order, whose values xtensor's parser can read.
bool PlainHeader(const std::string& header) {
  static const std::regex re(
      R"(\{\s*'descr'\s*:\s*'[<>|=][ifucb]\d{1,2}'\s*,\s*)"
      R"('fortran_order'\s*:\s*(True|False)\s*,\s*)"
      R"('shape'\s*:\s*\(\s*(\d{1,18}\s*,\s*)*(\d{1,18}\s*)?\)\s*,?\s*\}\s*\n)");
  return header.size() < 4096 && std::regex_match(header, re);
}

}  // namespace

NdArray ParseNpy(std::span<const std::byte> bytes, const std::string& what) {
  auto fail = [&](const std::string& problem) -> NdArray {
    throw FormatError(what, "", problem);
  };
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < 10 || std::memcmp(p, "\x93NUMPY", 6) != 0) {
    return fail("not a NumPy .npy file");
  }
  const int major = p[6];
  std::size_t at = major == 1 ? 10 : 12;
  if ((major != 1 && major != 2) || bytes.size() < at) {
    return fail("NumPy file version " + std::to_string(major) +
                " is not read (1 and 2 are)");
  }
  std::size_t length = p[8] | std::size_t{p[9]} << 8;
  if (major == 2) length |= std::size_t{p[10]} << 16 | std::size_t{p[11]} << 24;
  if (length > bytes.size() - at) return fail("its header runs past its end");
  const std::string header(reinterpret_cast<const char*>(p + at), length);
  if (!PlainHeader(header)) return fail("its header is not one NumPy writes");
  std::string descr;
  bool fortran = false;
  std::vector<std::size_t> dims;
  try {
    xt::detail::parse_header(header, descr, &fortran, dims);
  } catch (const std::exception& e) {
    return fail(std::string("its header cannot be read: ") + e.what());
  }
  if (fortran) {
    return fail(
        "holds an array in Fortran order; save a C-ordered copy "
        "(numpy.ascontiguousarray)");
  }
  const TypeCode* type = nullptr;
  for (const TypeCode& t : kTypes) {
    if (descr == t.descr) type = &t;
  }
  if (type == nullptr) return fail("holds elements of type '" + descr + "'");
  Shape shape(dims.begin(), dims.end());
  const std::size_t data_bytes =
      ByteSize(type->dtype, ElementCount(shape, what), what);
  if (data_bytes != bytes.size() - at - length) {
    return fail("holds " + std::to_string(bytes.size() - at - length) +
                " bytes of data where its header says " +
                std::to_string(data_bytes));
  }
  NdArray a = NdArray::Zeros(type->dtype, std::move(shape));
  if (data_bytes > 0)
    std::memcpy(a.mutable_data(), p + at + length, data_bytes);
  return a;
}

NdArray ReadNpy(const std::string& path) {
  const auto file = MappedFile::Open(path, "NumPy file", kMaxNpyBytes);
  return ParseNpy(file->bytes(), path);
}

namespace {

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct EntryCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};

NdArray ReadEntry(zip_t* archive, zip_uint64_t i, const zip_stat_t& st,
                  const std::string& what, std::size_t max_bytes,
                  zip_uint64_t archive_bytes) {
  const std::string place = what + " entry '" + Printable(st.name) + "'";
  if ((st.valid & ZIP_STAT_SIZE) == 0 || st.size > kMaxNpyBytes) {
    throw FormatError(place, "", "is larger than any input array can be");
  }
  // What the entry's stored bytes can hold at most: themselves when stored,
  // about 1032 times as much when deflated (deflate's largest ratio). A
  // directory that claims more is refused before anything is allocated.
  constexpr zip_uint64_t kMaxDeflateRatio = 1032;
  if ((st.valid & ZIP_STAT_COMP_SIZE) == 0 ||
      (st.valid & ZIP_STAT_COMP_METHOD) == 0 || st.comp_size > archive_bytes ||
      (st.comp_method == ZIP_CM_STORE && st.size != st.comp_size) ||
      st.size > st.comp_size * kMaxDeflateRatio + 64) {
    throw FormatError(place, "",
                      "claims " + std::to_string(st.size) +
                          " bytes, more than its stored data can hold");
  }
  if (st.size > max_bytes) {
    throw FormatError(place, "",
                      "claims " + std::to_string(st.size) +
                          " bytes, more than the input it feeds can take (" +
                          std::to_string(max_bytes) + "); nothing was read");
  }
  std::unique_ptr<zip_file_t, EntryCloser> file(zip_fopen_index(archive, i, 0));
  if (!file) {
    throw FormatError(place, "", zip_strerror(archive));
  }
  std::string data(st.size, '\0');
  const zip_int64_t n = zip_fread(file.get(), data.data(), st.size);
  if (n < 0 || static_cast<zip_uint64_t>(n) != st.size) {
    throw FormatError(place, "", "cannot be read whole");
  }
  // The stream checks its CRC only when read past its end, which a read of
  // exactly its size never is: the data is checked here, as NumPy does.
  if ((st.valid & ZIP_STAT_CRC) != 0) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    const auto* p = reinterpret_cast<const Bytef*>(data.data());
    for (std::size_t at = 0; at < data.size();) {
      const auto chunk =
          static_cast<uInt>(std::min<std::size_t>(data.size() - at, 1u << 30));
      crc = ::crc32(crc, p + at, chunk);
      at += chunk;
    }
    if (static_cast<uint32_t>(crc) != st.crc) {
      throw FormatError(place, "",
                        "does not match its CRC-32: the file is damaged");
    }
  }
  return ParseNpy(
      {reinterpret_cast<const std::byte*>(data.data()), data.size()}, place);
}

}  // namespace

std::string SomeNames(const std::vector<std::string>& names) {
  constexpr std::size_t kShown = 5;
  std::string out;
  for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
    out += (i == 0 ? "'" : ", '") + Printable(names[i]) + "'";
  }
  if (names.size() > kShown) {
    out += " and " + std::to_string(names.size() - kShown) + " more";
  }
  return out;
}

std::map<std::string, NdArray> ParseNpz(
    std::span<const std::byte> bytes, const std::string& what,
    const std::map<std::string, std::size_t>* max_bytes) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source =
      zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  if (source == nullptr) throw FormatError(what, "", "cannot be read");
  std::unique_ptr<zip_t, ZipCloser> archive(
      zip_open_from_source(source, ZIP_RDONLY, &error));
  if (!archive) {
    zip_source_free(source);
    const std::string problem = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw FormatError(what, "", "not a NumPy .npz file (" + problem + ")");
  }
  std::map<std::string, NdArray> arrays;
  const zip_int64_t entries = zip_get_num_entries(archive.get(), 0);
  // Every entry's name first: a file of unknown entries is one error, before
  // any of them is read.
  std::vector<std::string> names, unknown;
  std::set<std::string> seen;
  for (zip_int64_t i = 0; i < entries; ++i) {
    zip_stat_t st;
    const auto index = static_cast<zip_uint64_t>(i);
    if (zip_stat_index(archive.get(), index, 0, &st) != 0 ||
        (st.valid & ZIP_STAT_NAME) == 0) {
      throw FormatError(what, "", "has an entry without a name");
    }
    std::string name = st.name;
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".npy") != 0) {
      throw FormatError(what, "",
                        "holds '" + name + "', which is no .npy file");
    }
    name.resize(name.size() - 4);
    if (!seen.insert(name).second) {
      throw FormatError(what, "", "holds '" + Printable(name) + "' twice");
    }
    if (max_bytes != nullptr && max_bytes->count(name) == 0) {
      unknown.push_back(name);
    }
    names.push_back(std::move(name));
  }
  if (!unknown.empty()) {
    throw FormatError(
        what, "",
        "holds " + std::to_string(unknown.size()) +
            " array(s) the model takes no input for: " + SomeNames(unknown));
  }
  for (zip_int64_t i = 0; i < entries; ++i) {
    zip_stat_t st;
    const auto index = static_cast<zip_uint64_t>(i);
    if (zip_stat_index(archive.get(), index, 0, &st) != 0) {
      throw FormatError(what, "", "has an entry that cannot be read");
    }
    const std::string& name = names[static_cast<std::size_t>(i)];
    arrays.emplace(name, ReadEntry(archive.get(), index, st, what,
                                   max_bytes != nullptr ? max_bytes->at(name)
                                                        : kNoSizeLimit,
                                   bytes.size()));
  }
  return arrays;
}

std::map<std::string, NdArray> ReadNpz(
    const std::string& path,
    const std::map<std::string, std::size_t>* max_bytes) {
  const auto file = MappedFile::Open(path, "NumPy file", kMaxNpyBytes);
  return ParseNpz(file->bytes(), path, max_bytes);
}

std::string NpyBytes(const NdArray& a) {
  std::vector<std::size_t> shape(a.shape().begin(), a.shape().end());
  std::ostringstream out;
  xt::detail::write_header(out, DescrOf(a.dtype()), false, shape);
  out.write(reinterpret_cast<const char*>(a.data()),
            static_cast<std::streamsize>(a.nbytes()));
  return out.str();
}

}  // namespace sarnic
