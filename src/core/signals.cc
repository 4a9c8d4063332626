// The signal handlers of the file functions: temporary files in progress
// are removed on SIGINT, SIGTERM and SIGHUP, and a mapped file that loses
// pages (truncated while read) is reported in one line instead of a crash.
// Each handler reads only fixed tables of plain memory, filled here.
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "core/file_tables.h"
#include "sarnic/files.h"
#include "sarnic/value.h"

namespace sarnic {

namespace {

// Mapped files, for the SIGBUS handler: a file truncated while mapped loses
// pages, and reading one raises SIGBUS. The handler finds the file by the
// faulting address in this fixed table (plain memory, as a handler needs)
// and prints the line prepared here when the file was mapped.
constexpr int kMapSlots = 64;
struct MapSlot {
  std::atomic<int> state{0};  // 0 free, 1 being written, 2 in use
  uintptr_t begin = 0, end = 0;
  char line[PATH_MAX + 256];
  std::size_t line_size = 0;
};
MapSlot mapped_files[kMapSlots];

int RegisterMappingSlot(const void* data, std::size_t size,
                        const std::string& what, const std::string& path) {
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

namespace file_tables {

int AddMapping(const void* data, std::size_t size, const std::string& what,
               const std::string& path) {
  return RegisterMappingSlot(data, size, what, path);
}

void RemoveMapping(int slot) {
  if (slot >= 0) mapped_files[slot].state.store(0);
}

int AddTemporaryFile(const std::string& path) { return Register(path); }

void RemoveTemporaryFile(int slot) { Unregister(slot); }

}  // namespace file_tables

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

}  // namespace sarnic
