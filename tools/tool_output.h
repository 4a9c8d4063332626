// What the tools print besides their own output: error and warning lines,
// one line each whatever the names in them hold, the command line's errors
// with the usage, and the check that standard output really took what was
// written to it.
#ifndef SARNIC_TOOLS_TOOL_OUTPUT_H_
#define SARNIC_TOOLS_TOOL_OUTPUT_H_

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

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

// While long work runs, one line on standard error saying what it is and for
// how long, when standard error is a terminal: from a second on, renewed
// every half second, and cleared when the work ends. A pipe or a file gets
// nothing. Lines the work prints meanwhile go through Print, which clears
// the progress line first, so the two never share a line.
class Progress {
 public:
  explicit Progress(std::string what) : what_(std::move(what)) {
    if (::isatty(STDERR_FILENO) != 1) return;
    thread_ = std::thread([this] { Show(); });
  }
  ~Progress() { Stop(); }
  // Ends the line for good (before the tool prints on standard error).
  void Stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    ready_.notify_one();
    thread_.join();
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Writes `text` to standard output, the progress line cleared first.
  void Print(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLine();
    std::cout << text;
    std::cout.flush();
  }

 private:
  void Show() {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto next = start + std::chrono::seconds(1);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ready_.wait_until(lock, next, [this] { return done_; })) {
      const double seconds =
          std::chrono::duration<double>(Clock::now() - start).count();
      char figure[32];
      std::snprintf(figure, sizeof figure, " ... %.1f s", seconds);
      Write("\r" + Printable(what_) + figure + "\033[K");
      shown_ = true;
      next += std::chrono::milliseconds(500);
    }
    ClearLine();
  }
  void ClearLine() {
    if (!shown_) return;
    Write("\r\033[K");
    shown_ = false;
  }
  static void Write(const std::string& text) {
    (void)!::write(STDERR_FILENO, text.data(), text.size());
  }
  std::string what_;
  std::mutex mutex_;
  std::condition_variable ready_;
  bool done_ = false, shown_ = false;
  std::thread thread_;
};

// A stream whose lines go to standard output through a Progress.
class ProgressOutput : public std::streambuf {
 public:
  explicit ProgressOutput(Progress& progress) : progress_(progress) {}
  ~ProgressOutput() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    line_ += static_cast<char>(c);
    if (c == '\n') sync();
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) overflow(s[i]);
    return n;
  }
  int sync() override {
    if (!line_.empty()) progress_.Print(line_);
    line_.clear();
    return 0;
  }

 private:
  Progress& progress_;
  std::string line_;
};

}  // namespace sarnic::tools

#endif  // SARNIC_TOOLS_TOOL_OUTPUT_H_
