// The tools run as processes: their exit status and what they print.
#ifndef SARNIC_TESTS_TOOLS_CLI_FIXTURE_H_
#define SARNIC_TESTS_TOOLS_CLI_FIXTURE_H_

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "io/temp_dir.h"
#include "sarnic/graph_file.h"
#include "test_util.h"

namespace sarnic {

struct Result {
  int status = -1;  // exit status; -1 when killed by a signal
  std::string out, err;
};

class Cli : public testing::TempDir {
 public:
  // Runs a whole shell command line; `stdout` and `stderr` collected.
  Result Shell(const std::string& cmd) {
    const int raw =
        std::system((cmd + " 2>" + Path("stderr") + " </dev/null").c_str());
    Result r;
    if (WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
    r.err = Read("stderr");
    std::filesystem::remove(Path("stderr"));
    return r;
  }

  // Waits until `pid` has made a temporary file whose name starts with
  // `prefix`, then sends it `sig`; the process's wait status, and whether
  // the signal went out (the process may finish first).
  std::pair<int, bool> SignalOnTemporary(pid_t pid, const std::string& prefix,
                                         int sig, int polls) {
    bool seen = false;
    int status = 0;
    for (int i = 0; i < polls && !seen; ++i) {
      for (const auto& e : std::filesystem::directory_iterator(dir_)) {
        seen = seen || e.path().filename().string().rfind(prefix, 0) == 0;
      }
      if (::waitpid(pid, &status, WNOHANG) == pid) return {status, false};
    }
    if (seen) {
      ::kill(pid, sig);
      ::waitpid(pid, &status, 0);
    }
    return {status, seen};
  }

  // No file of the folder is a hidden temporary one.
  void ExpectNoTemporaryFiles() {
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
    }
  }

 protected:
  Result Run(const std::string& tool, const std::string& args) {
    const std::string cmd = tool + " " + args + " >" + Path("stdout") + " 2>" +
                            Path("stderr") + " </dev/null";
    const int raw = std::system(cmd.c_str());
    Result r;
    if (WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
    r.out = Read("stdout");
    r.err = Read("stderr");
    std::filesystem::remove(Path("stdout"));
    std::filesystem::remove(Path("stderr"));
    return r;
  }
  Result Export(const std::string& args) { return Run(SNX_EXPORT, args); }
  Result Inspect(const std::string& args) { return Run(SNX_INSPECT, args); }

  // in -> relu -> out, with one constant; returns the graph file's path.
  std::string SmallGraph(const std::string& relu_op = "relu") {
    testing::TestGraph g;
    g.Add("in", "external", {1, 256});
    g.Add("act", relu_op, {1, 256}, {{"x", Value("in")}});
    g.Constant("w", {2}, {1, 2});
    g.Edge("in", "act");
    g.orig_inputs = {"in"};
    g.orig_outputs = {"act"};
    SaveGraph(g, Path("small.json"), "small.safetensors");
    return Path("small.json");
  }
};

}  // namespace sarnic

#endif  // SARNIC_TESTS_TOOLS_CLI_FIXTURE_H_
