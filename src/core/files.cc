#include "sarnic/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <streambuf>
#include <utility>

#include "sarnic/errors.h"
#include "sarnic/value.h"

namespace sarnic {

namespace {

// `path` for a message: cut at a NUL byte, which no file name can hold.
std::string Shown(const std::string& path) {
  return path.substr(0, path.find('\0'));
}

// The fixed part of a message: "cannot read graph file".
std::string Cannot(const std::string& verb, const std::string& what) {
  return "cannot " + verb + (what.empty() ? "" : " " + what);
}

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

// ---------------------------------------------------------------------------
// Mapped files, for the SIGBUS handler: a file truncated while mapped loses
// pages, and reading one raises SIGBUS. The handler finds the file by the
// faulting address in this fixed table (plain memory, as a handler needs)
// and prints the line prepared here when the file was mapped.

namespace {

constexpr int kMapSlots = 64;
struct MapSlot {
  std::atomic<int> state{0};  // 0 free, 1 being written, 2 in use
  uintptr_t begin = 0, end = 0;
  char line[PATH_MAX + 256];
  std::size_t line_size = 0;
};
MapSlot mapped_files[kMapSlots];

int RegisterMapping(const void* data, std::size_t size, const std::string& what,
                    const std::string& path) {
  const std::string line =
      "error: " + Printable(what + " " + path) +
      " changed while it was read (was it truncated or rewritten?); nothing "
      "was written\n";
  if (data == nullptr || line.size() > sizeof(MapSlot::line)) return -1;
  for (int i = 0; i < kMapSlots; ++i) {
    int expected = 0;
    MapSlot& s = mapped_files[i];
    if (s.state.compare_exchange_strong(expected, 1)) {
      s.begin = reinterpret_cast<uintptr_t>(data);
      s.end = s.begin + size;
      std::memcpy(s.line, line.data(), line.size());
      s.line_size = line.size();
      s.state.store(2, std::memory_order_release);
      return i;
    }
  }
  return -1;
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
  file->slot_ = RegisterMapping(data, size, what, path);
  return std::shared_ptr<const MappedFile>(file);
}

MappedFile::~MappedFile() {
  if (slot_ >= 0) mapped_files[slot_].state.store(0);
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

// ---------------------------------------------------------------------------
// Temporary files and the signals that must not leave them behind.

namespace {

// The temporary files in progress, for the signal handler, which may only
// read plain memory and call async-signal-safe functions: a fixed table is
// the one place it can find them. A slot is 0 when free, 1 while its path
// is being written and 2 once the path can be removed.
constexpr int kSlots = 64;
struct Slot {
  std::atomic<int> state{0};
  char path[PATH_MAX];
};
Slot temporary_files[kSlots];

int Register(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    Slot& s = temporary_files[i];
    if (s.state.compare_exchange_strong(expected, 1)) {
      std::memcpy(s.path, path.c_str(), path.size() + 1);
      s.state.store(2, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

void Unregister(int slot) {
  if (slot >= 0) temporary_files[slot].state.store(0);
}

void RemoveTemporaryFiles() {
  for (Slot& s : temporary_files) {
    if (s.state.load(std::memory_order_acquire) == 2) ::unlink(s.path);
  }
}

extern "C" void RemoveTemporaryFilesAndRaise(int sig) {
  RemoveTemporaryFiles();
  // The handler was reset to the default on entry (SA_RESETHAND): the
  // signal, delivered again once this returns, ends the process as usual.
  ::raise(sig);
}

std::string RandomSuffix() {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 random(std::random_device{}() ^
                                      static_cast<uint64_t>(::getpid()));
  std::string s(6, 'x');
  for (char& c : s) c = kLetters[random() % (sizeof(kLetters) - 1)];
  return s;
}

// A read of a page that a truncated mapped file lost: one line naming the
// file, the temporary files removed, status 1. A fault anywhere else is left
// to the default action (the handler is reset on entry, and the faulting
// read runs again).
extern "C" void ReportMappedFileFault(int, siginfo_t* info, void*) {
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  for (MapSlot& s : mapped_files) {
    if (s.state.load(std::memory_order_acquire) == 2 && at >= s.begin &&
        at < s.end) {
      const ssize_t written = ::write(STDERR_FILENO, s.line, s.line_size);
      (void)written;
      RemoveTemporaryFiles();
      ::_exit(1);
    }
  }
  RemoveTemporaryFiles();
}

}  // namespace

void RemoveTemporaryFilesOnSignals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    // Only the default action is replaced: an ignored signal stays ignored,
    // and a host's own handler (an interpreter's) stays its own.
    if (::sigaction(sig, nullptr, &old) != 0 ||
        (old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) {
      continue;
    }
    struct sigaction sa {};
    sa.sa_handler = RemoveTemporaryFilesAndRaise;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    ::sigaction(sig, &sa, nullptr);
  }
}

void ReportTruncatedMappedFiles() {
  struct sigaction sa {};
  sa.sa_sigaction = ReportMappedFileFault;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_SIGINFO | SA_RESETHAND;
  ::sigaction(SIGBUS, &sa, nullptr);
}

TemporaryFile::TemporaryFile(const std::string& target, const std::string& what)
    : target_(target), what_(what) {
  if (target.find('\0') != std::string::npos) {
    Fail("the path holds a NUL byte");
  }
  struct stat st {};
  bool replaces = false;
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode)) {
      replaces = true;
    } else if (!S_ISLNK(st.st_mode)) {
      Fail(
          "it exists and is not a regular file; only regular files are "
          "replaced");
    }
  } else if (errno != ENOENT) {
    Fail(std::strerror(errno));
  }
  const std::filesystem::path t(target);
  const std::filesystem::path dir = t.has_parent_path() ? t.parent_path() : ".";
  for (int attempt = 0; fd_ < 0; ++attempt) {
    path_ =
        (dir / ("." + t.filename().string() + "." + RandomSuffix())).string();
    // Registered before it exists, so that no signal can come between its
    // creation and its registration.
    slot_ = Register(path_);
    // The kernel applies the umask to 0666, as for any new file.
    fd_ = ::open(path_.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      const int error = errno;
      Unregister(slot_);
      slot_ = -1;
      path_.clear();
      if (error != EEXIST || attempt == 100) Fail(std::strerror(error));
    }
  }
  // The permission bits only: a set-user-ID, set-group-ID or sticky bit of
  // the file replaced does not carry over to a file whose owner may differ
  // (root replacing another user's file).
  if (replaces && ::fchmod(fd_, st.st_mode & 0777) != 0) {
    const std::string why = std::strerror(errno);
    Discard();
    Fail(why);
  }
}

TemporaryFile::~TemporaryFile() {
  if (!committed_) Discard();
}

void TemporaryFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!path_.empty()) ::unlink(path_.c_str());
  Unregister(slot_);
  slot_ = -1;
  path_.clear();
}

void TemporaryFile::Fail(const std::string& why) {
  throw IoError(Cannot("write", what_), Shown(target_) + ": " + why);
}

void TemporaryFile::Write(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail(n < 0 ? std::strerror(errno) : "nothing was written");
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

void TemporaryFile::Close() {
  if (fd_ >= 0 && ::close(fd_) != 0) {
    fd_ = -1;
    Fail(std::strerror(errno));
  }
  fd_ = -1;
}

void TemporaryFile::Commit() {
  if (fd_ >= 0 && ::fsync(fd_) != 0) Fail(std::strerror(errno));
  Close();
  // The target may have been replaced since the temporary file was made.
  struct stat st {};
  if (::lstat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
      !S_ISLNK(st.st_mode)) {
    Fail(
        "it exists and is not a regular file; only regular files are "
        "replaced");
  }
  if (std::rename(path_.c_str(), target_.c_str()) != 0) {
    Fail(std::strerror(errno));
  }
  committed_ = true;
  Unregister(slot_);
  slot_ = -1;
}

void WriteFileAtomically(const std::string& path, const void* data,
                         std::size_t size) {
  TemporaryFile file(path, "");
  file.Write(data, size);
  file.Commit();
}

namespace {

// A stream's buffer over a temporary file: full blocks go to the file.
class TemporaryFileBuf : public std::streambuf {
 public:
  explicit TemporaryFileBuf(TemporaryFile& file) : file_(file) {
    setp(buffer_, buffer_ + sizeof buffer_);
  }

 protected:
  int_type overflow(int_type c) override {
    Flush();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (n >= static_cast<std::streamsize>(sizeof buffer_)) {
      Flush();
      file_.Write(s, static_cast<std::size_t>(n));
      return n;
    }
    return std::streambuf::xsputn(s, n);
  }
  int sync() override {
    Flush();
    return 0;
  }

 private:
  void Flush() {
    file_.Write(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(buffer_, buffer_ + sizeof buffer_);
  }
  TemporaryFile& file_;
  char buffer_[1 << 16];
};

}  // namespace

void WriteFileAtomically(const std::string& path, const std::string& what,
                         const std::function<void(std::ostream&)>& write) {
  TemporaryFile file(path, what);
  TemporaryFileBuf buf(file);
  std::ostream out(&buf);
  // A failed write throws from the buffer: let it leave the stream as it is.
  out.exceptions(std::ios::badbit);
  write(out);
  out.flush();
  file.Commit();
}

namespace {

// Where a write lands: a symbolic link is itself replaced, so only the
// folder is resolved.
std::filesystem::path Destination(const std::string& path) {
  const std::filesystem::path p = std::filesystem::absolute(path);
  std::error_code ec;
  std::filesystem::path dir =
      std::filesystem::weakly_canonical(p.parent_path(), ec);
  if (ec) dir = p.parent_path().lexically_normal();
  return dir / p.filename();
}

}  // namespace

bool SameDestination(const std::string& a, const std::string& b) {
  if (Destination(a) == Destination(b)) return true;
  // Two names of one file (hard links); a symbolic link is its own file.
  struct stat sa {};
  struct stat sb {};
  return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 &&
         !S_ISLNK(sa.st_mode) && !S_ISLNK(sb.st_mode) &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool WouldReplace(const std::string& output, const std::string& input) {
  struct stat out {};
  struct stat in {};
  if (::lstat(output.c_str(), &out) != 0 || S_ISLNK(out.st_mode)) return false;
  if (::stat(input.c_str(), &in) != 0) return false;
  return out.st_dev == in.st_dev && out.st_ino == in.st_ino;
}

}  // namespace sarnic
