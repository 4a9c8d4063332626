// What the file functions share: the wording of their messages and the
// fixed tables a signal handler reads (the mapped files, with the line to
// print when one loses pages, and the temporary files in progress), plain
// memory and atomics only, as a handler needs.
#ifndef SARNIC_CORE_FILE_TABLES_H_
#define SARNIC_CORE_FILE_TABLES_H_

#include <cstddef>
#include <string>

namespace sarnic::file_tables {

// `path` for a message: cut at a NUL byte, which no file name can hold.
inline std::string Shown(const std::string& path) {
  return path.substr(0, path.find('\0'));
}

// The fixed part of a message: "cannot read graph file".
inline std::string Cannot(const std::string& verb, const std::string& what) {
  return "cannot " + verb + (what.empty() ? "" : " " + what);
}

// A slot for the mapping of `size` bytes at `data` of the file `path`, or
// -1 when the table is full (the file is then read without the report).
int AddMapping(const void* data, std::size_t size, const std::string& what,
               const std::string& path);
void RemoveMapping(int slot);

// A slot for the temporary file `path`, or -1 when the table is full.
int AddTemporaryFile(const std::string& path);
void RemoveTemporaryFile(int slot);

}  // namespace sarnic::file_tables

#endif  // SARNIC_CORE_FILE_TABLES_H_
