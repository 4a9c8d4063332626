// Writing files whole or not at all: into a temporary file beside the
// target, renamed over it when complete, removed on failure and on the
// signals that end a tool.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <streambuf>

#include "core/file_tables.h"
#include "sarnic/errors.h"
#include "sarnic/files.h"

namespace sarnic {

namespace {

using file_tables::Cannot;
using file_tables::Shown;

std::string RandomSuffix() {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 random(std::random_device{}() ^
                                      static_cast<uint64_t>(::getpid()));
  std::string s(6, 'x');
  for (char& c : s) c = kLetters[random() % (sizeof(kLetters) - 1)];
  return s;
}

}  // namespace

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
    slot_ = file_tables::AddTemporaryFile(path_);
    // The kernel applies the umask to 0666, as for any new file.
    fd_ = ::open(path_.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      const int error = errno;
      file_tables::RemoveTemporaryFile(slot_);
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
  file_tables::RemoveTemporaryFile(slot_);
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
  file_tables::RemoveTemporaryFile(slot_);
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
