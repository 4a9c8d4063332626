// Files in and out, safely for whatever path a user or an attacker names.
//
// Inputs are opened without blocking and only when they are regular files,
// and never read past the size they had when opened: a FIFO, a device such
// as /dev/zero, a socket or a file that keeps growing cannot hang a reader or
// exhaust its memory. Outputs go through a temporary file beside the target
// that is renamed over it once complete, so readers see the old file or the
// new one, never a part; only regular files are ever replaced.
#ifndef SARNIC_FILES_H_
#define SARNIC_FILES_H_

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <span>
#include <string>

namespace sarnic {

inline constexpr std::size_t kNoSizeLimit =
    std::numeric_limits<std::size_t>::max();

// A read-only mapping of a whole regular file, unmapped when the last
// reference goes. Views of it (arrays, a model) keep it alive.
class MappedFile {
 public:
  // Maps `path`. `what` names the file's role in errors ("weights file").
  // Refuses, with an IoError naming the path, a path holding a NUL byte, a
  // file that is not regular and a file larger than `max_bytes`, before
  // mapping anything.
  // With `copy_on_write`, the mapping may be written: writes land in
  // private copies of the pages, never in the file.
  static std::shared_ptr<const MappedFile> Open(
      const std::string& path, const std::string& what,
      std::size_t max_bytes = kNoSizeLimit, bool copy_on_write = false);

  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const std::byte* data() const { return data_; }
  std::span<const std::byte> bytes() const { return {data_, size_}; }
  std::size_t size() const { return size_; }

 private:
  MappedFile(const std::byte* data, std::size_t size)
      : data_(data), size_(size) {}
  const std::byte* data_;
  std::size_t size_;
  int slot_ = -1;  // in the table ReportTruncatedMappedFiles() reads
};

// Reads the regular file `path` whole, refusing it as MappedFile::Open does.
std::string ReadFileText(const std::string& path, const std::string& what,
                         std::size_t max_bytes = kNoSizeLimit);

// The exact size of the regular file `path`, refused as above otherwise.
std::size_t RegularFileSize(const std::string& path, const std::string& what);

// Writes `size` bytes to `path` atomically: into a temporary file beside
// it, flushed, then renamed over it. On failure `path` is left as it was
// and no temporary file remains.
//
// Only a regular file is replaced: a device, FIFO, socket or folder at
// `path` is refused with an IoError and left in place. A symbolic link at
// `path` is itself replaced by the new file; the file it pointed to is not
// touched (so a link planted in a shared folder cannot redirect the write).
// A new file gets mode 0666 less the umask; a replaced file keeps its mode.
void WriteFileAtomically(const std::string& path, const void* data,
                         std::size_t size);

// The same for a file written as it is made: `write` writes to a stream
// that lands in the temporary file (in blocks, not held in memory); the
// target is replaced only when all of it was written. A failed write is an
// IoError naming `what` and the path.
void WriteFileAtomically(const std::string& path, const std::string& what,
                         const std::function<void(std::ostream&)>& write);

// True when WriteFileAtomically(output, ...) would replace the file that
// `input` names (the same file, under any spelling or through links); a
// symbolic link at `output` is replaced itself, so never. False when
// either does not exist.
bool WouldReplace(const std::string& output, const std::string& input);

// True when WriteFileAtomically to `a` and to `b` would write the same file:
// the same name in the same folder, however spelled (neither need exist),
// or two hard links of one file.
bool SameDestination(const std::string& a, const std::string& b);

// A temporary file beside `target`, created empty with the mode that
// WriteFileAtomically gives the target. It is removed when destroyed unless
// committed and, once RemoveTemporaryFilesOnSignals() has been called, when
// the process ends on SIGINT, SIGTERM or SIGHUP.
class TemporaryFile {
 public:
  // `what` names the target's role in errors ("the memory map picture").
  TemporaryFile(const std::string& target, const std::string& what);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& path() const { return path_; }
  // The open file, for writing; -1 once closed.
  int fd() const { return fd_; }
  // Writes all of `data` to the file.
  void Write(const void* data, std::size_t size);
  // Closes the file without flushing it, for a writer that opens it by name.
  void Close();
  // Flushes and closes the file, then renames it over the target.
  void Commit();

 private:
  std::string target_, what_, path_;
  int fd_ = -1;
  int slot_ = -1;
  bool committed_ = false;
  [[noreturn]] void Fail(const std::string& why);
  // Closes and removes the file.
  void Discard();
};

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary files of writes in
// progress before the process ends by the signal as it would have. Only a
// signal whose action is the default is taken: an ignored signal stays
// ignored, and a host's own handler (an interpreter's SIGINT) stays its own.
void RemoveTemporaryFilesOnSignals();

// For programs: a mapped file that shrinks while it is read (another
// process truncates the weights) raises SIGBUS at the next read of a page
// it lost. With this, the process then writes one "error:" line naming the
// file to standard error, removes its temporary files and exits with
// status 1, instead of dying without a word.
void ReportTruncatedMappedFiles();

}  // namespace sarnic

#endif  // SARNIC_FILES_H_
