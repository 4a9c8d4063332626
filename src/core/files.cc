// Reading files from anywhere: regular files only, of a bounded size,
// opened without side effects; read whole or mapped.
#include "sarnic/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "core/file_tables.h"
#include "sarnic/errors.h"

namespace sarnic {

namespace {

using file_tables::Cannot;
using file_tables::Shown;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Opens `path` for reading when it is a regular file of at most `max_bytes`
// bytes; its size is stored in `size`. The path is looked at before it is
// opened, so that opening has no side effect on a device, and the open
// does not block, so that a FIFO without a writer cannot hang it.
int OpenRegular(const std::string& path, const std::string& what,
                std::size_t max_bytes, const char* verb, std::size_t& size) {
  auto fail = [&](const std::string& why) -> int {
    throw IoError(Cannot(verb, what), Shown(path) + ": " + why);
  };
  if (path.find('\0') != std::string::npos) {
    return fail("the path holds a NUL byte");
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));
  Descriptor guard(fd);
  if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  if (static_cast<uint64_t>(st.st_size) > max_bytes) {
    return fail("the file has " + std::to_string(st.st_size) +
                " bytes, more than the " + std::to_string(max_bytes) +
                " it may have");
  }
  size = static_cast<std::size_t>(st.st_size);
  return guard.release();
}

}  // namespace

std::shared_ptr<const MappedFile> MappedFile::Open(const std::string& path,
                                                   const std::string& what,
                                                   std::size_t max_bytes,
                                                   bool copy_on_write) {
  std::size_t size = 0;
  Descriptor fd(OpenRegular(path, what, max_bytes, "open", size));
  const std::byte* data = nullptr;
  if (size > 0) {
    const int protection = copy_on_write ? PROT_READ | PROT_WRITE : PROT_READ;
    void* p = ::mmap(nullptr, size, protection, MAP_PRIVATE, fd.get(), 0);
    if (p == MAP_FAILED) {
      throw IoError(Cannot("map", what),
                    Shown(path) + ": " + std::strerror(errno));
    }
    data = static_cast<const std::byte*>(p);
  }
  auto* file = new MappedFile(data, size);
  file->slot_ = file_tables::AddMapping(data, size, what, path);
  return std::shared_ptr<const MappedFile>(file);
}

MappedFile::~MappedFile() {
  file_tables::RemoveMapping(slot_);
  if (data_ != nullptr) ::munmap(const_cast<std::byte*>(data_), size_);
}

std::string ReadFileText(const std::string& path, const std::string& what,
                         std::size_t max_bytes) {
  std::size_t size = 0;
  Descriptor fd(OpenRegular(path, what, max_bytes, "read", size));
  std::string text(size, '\0');
  std::size_t done = 0;
  // A file that shrank meanwhile ends early; one that grew is read up to
  // the size it had.
  while (done < size) {
    const ssize_t n = ::read(fd.get(), text.data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw IoError(Cannot("read", what),
                    Shown(path) + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  text.resize(done);
  return text;
}

std::size_t RegularFileSize(const std::string& path, const std::string& what) {
  std::size_t size = 0;
  Descriptor fd(OpenRegular(path, what, kNoSizeLimit, "read", size));
  return size;
}

}  // namespace sarnic
