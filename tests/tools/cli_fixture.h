// The tools run as processes: their exit status and what they print.
#ifndef SARNIC_TESTS_TOOLS_CLI_FIXTURE_H_
#define SARNIC_TESTS_TOOLS_CLI_FIXTURE_H_

#include <sys/wait.h>

#include <cstdlib>
#include <string>

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
