#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "sarnic/errors.h"
#include "sarnic/graph_file.h"

namespace sarnic {

void WriteFileAtomically(const std::string& path, const void* data,
                         std::size_t size) {
  const std::filesystem::path target(path);
  const std::filesystem::path dir =
      target.has_parent_path() ? target.parent_path() : ".";
  std::string tmpl =
      (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) {
    throw IoError("cannot write " + path + ": " + std::strerror(errno));
  }
  const char* p = static_cast<const char*>(data);
  std::size_t left = size;
  bool ok = true;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  const int saved_errno = errno;
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  // mkstemp creates the file readable by its owner only; a model is a
  // regular file for everyone who may read the folder.
  ok = ok && ::chmod(tmpl.c_str(), 0644) == 0;
  if (ok && std::rename(tmpl.c_str(), path.c_str()) == 0) return;
  const std::string why = std::strerror(errno != 0 ? errno : saved_errno);
  ::unlink(tmpl.c_str());
  throw IoError("cannot write " + path + ": " + why);
}

}  // namespace sarnic
