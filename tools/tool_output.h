// What the tools print besides their own output: error and warning lines,
// one line each whatever the names in them hold, the command line's errors
// with the usage, and the check that standard output really took what was
// written to it.
#ifndef SARNIC_TOOLS_TOOL_OUTPUT_H_
#define SARNIC_TOOLS_TOOL_OUTPUT_H_

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "sarnic/engine.h"
#include "sarnic/value.h"

namespace sarnic::tools {

// "error: ..." on standard error; names from a graph or a model are escaped,
// so that a line break in a name cannot forge another line.
inline void PrintError(std::string_view what) {
  std::cerr << "error: " << Printable(what) << "\n";
}

// Every value of a repeatable option is one name exactly as typed: no list
// syntax ("[a, b]") and no splitting at commas.
inline CLI::Option* Literal(CLI::Option* option) {
  return option->allow_extra_args(false)->delimiter('\0');
}

// --version: the tool's name and the project's version, as the models it
// writes carry it.
inline void AddVersionFlag(CLI::App& app, const std::string& tool) {
  app.set_version_flag("--version", tool + " " + engine::version());
}

// Parses the command line, then runs `validate` (which may throw CLI's
// errors too). The exit status when the tool ends there: 0 after --help;
// 2 after a mistake, told in one error line followed by the usage; 0 after
// --version too.
inline std::optional<int> ParseCommandLine(
    CLI::App& app, int argc, char** argv,
    const std::function<void()>& validate = {}) {
  try {
    app.parse(argc, argv);
    if (validate) validate();
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    PrintError(e.what());
    std::cerr << app.help();
    return 2;
  }
  return std::nullopt;
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
