// What both tools print besides their own output: error and warning lines,
// one line each whatever the names in them hold, and the check that
// standard output really took what was written to it.
#ifndef SARNIC_TOOLS_TOOL_OUTPUT_H_
#define SARNIC_TOOLS_TOOL_OUTPUT_H_

#include <cstdio>
#include <iostream>
#include <string_view>

#include "sarnic/value.h"

namespace sarnic::tools {

// "error: ..." on standard error; names from a graph or a model are escaped,
// so that a line break in a name cannot forge another line.
inline void PrintError(std::string_view what) {
  std::cerr << "error: " << Printable(what) << "\n";
}

// Flushes standard output. A write that failed (a full disk, a closed pipe)
// turns a successful `status` into one error line and status 1.
inline int FinishOutput(int status) {
  std::cout.flush();
  const bool failed =
      !std::cout || std::fflush(stdout) != 0 || std::ferror(stdout);
  if (!failed) return status;
  PrintError(
      "could not write to standard output; what was printed is incomplete");
  return 1;
}

}  // namespace sarnic::tools

#endif  // SARNIC_TOOLS_TOOL_OUTPUT_H_
