// Runs every benchmark, then prints the ratios that the project's
// performance figures are stated in.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_util.h"
#include "sarnic/errors.h"

namespace sarnic::bench {

std::size_t PeakRssBytes() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<std::size_t>(u.ru_maxrss) * 1024;
}

void WriteFile(const std::string& path, const void* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw IoError("cannot open " + path);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n <= 0) {
      ::close(fd);
      throw IoError("cannot write " + path);
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// The peak memory of `tool` run with `tool_args` as a child of a fresh
// copy of this binary (MeasurePeakRss), so that the figure is the tool's.
std::size_t ChildPeakRss(const std::string& tool,
                         const std::vector<std::string>& tool_args) {
  int fds[2];
  if (::pipe(fds) != 0) return 0;
  // posix_spawn, unlike fork, does not copy this process's memory first.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  const std::string exe = "/proc/self/exe";
  std::vector<std::string> args = {"sarnic_bench", "--measure-peak-rss", tool};
  args.insert(args.end(), tool_args.begin(), tool_args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  char buf[64] = {};
  const ssize_t n = spawned == 0 ? ::read(fds[0], buf, sizeof buf - 1) : 0;
  ::close(fds[0]);
  int status = 0;
  if (spawned == 0) ::waitpid(pid, &status, 0);
  return n > 0 ? static_cast<std::size_t>(std::strtoull(buf, nullptr, 10)) : 0;
}

std::string ScratchPath(const std::string& name) {
  return "/tmp/sarnic_bench_" + std::to_string(::getpid()) + "_" + name;
}

namespace {

// Keeps each benchmark's mean real time and its counters.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      times[r.benchmark_name()] = r.GetAdjustedRealTime();
      for (const auto& [k, c] : r.counters) counters[k] = c.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
  std::map<std::string, double> counters;
};

}  // namespace
}  // namespace sarnic::bench

namespace {

// sarnic_bench --measure-peak-rss CMD ARGS...: runs CMD with its output
// discarded and prints its peak resident memory in bytes. Started afresh,
// this process is small, so CMD's figure is its own.
int MeasurePeakRss(char** cmd) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execv(cmd[0], cmd);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  std::printf("%lld\n", static_cast<long long>(usage.ru_maxrss) * 1024);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--measure-peak-rss") {
    return MeasurePeakRss(argv + 2);
  }
  benchmark::Initialize(&argc, argv);
  sarnic::bench::Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  const auto& t = collector.times;
  const auto& c = collector.counters;
  std::printf("\nFigures\n");
  auto time_of = [&](const char* prefix) {
    for (const auto& [name, v] : t) {
      if (name.rfind(prefix, 0) == 0) return v;
    }
    return 0.0;
  };
  const double exp = time_of("BM_Export256MiB");
  const double base = time_of("BM_MemcpyAndWrite256MiB");
  const double end_to_end = time_of("BM_EndToEnd20kSmallOps");
  const double check = time_of("BM_Check20kSmallOps");
  if (end_to_end > 0 && check > 0) {
    std::printf(
        "check vs export of 20,000 small ops:    %.1f ms vs %.1f ms, "
        "+%.1f%% (limit 10%%)\n",
        check, end_to_end, 100 * check / end_to_end);
  }
  for (const auto& [bm, what] :
       {std::pair{"BM_Verify20k", "verify a 20,000-layer model"},
        std::pair{"BM_VerifyAllLive20k", "verify 20,000 layers all live"},
        std::pair{"BM_HtmlReport20k", "HTML report of a 20,000-layer model"}}) {
    const double ms = time_of(bm);
    if (ms > 0) std::printf("%-45s %8.1f ms (limit 1000 ms)\n", what, ms);
  }
  if (c.count("report_mib")) {
    std::printf(
        "its size                                      %8.2f MiB "
        "(limit 5 MiB)\n",
        c.at("report_mib"));
  }
  const double chain = time_of("BM_ExportChain100k");
  const double concat = time_of("BM_ExportConcat100k");
  if (chain > 0 && concat > 0) {
    std::printf(
        "check+export, concat of 100,000 vs 100,000-layer chain: %.0f ms vs "
        "%.0f ms, %.2f (limit 2.00)\n",
        concat, chain, concat / chain);
  }
  for (const char* n : {"2000", "20000", "100000"}) {
    const double chain_ms =
        time_of((std::string("BM_ExportChain/") + n).c_str());
    // Graphs with many layers live at once against a chain; the random
    // skips are held to 2 times, the others (whose graphs hold more edges
    // per layer) are shown.
    const struct {
      const char* bm;
      const char* what;
      bool limited;
    } shapes[] = {
        {"BM_ExportRandomReach/",
         "layers reading a random earlier one, standard planner", true},
        {"BM_ExportRandomReachBest/",
         "layers reading a random earlier one, best planner", true},
        {"BM_ExportRandomReachOneShape/",
         "layers of one shape reading a random earlier one, standard planner",
         true},
        {"BM_ExportRandomReachOneShapeBest/",
         "layers of one shape reading a random earlier one, best planner",
         true},
        {"BM_ExportUShaped/", "layers of a U-shaped network", false},
        {"BM_ExportDenselyConnected/", "layers of a densely connected network",
         false},
    };
    for (const auto& shape : shapes) {
      const double ms = time_of((std::string(shape.bm) + n).c_str());
      if (ms <= 0) continue;
      std::printf("check+export, %s %s: %.0f ms", n, shape.what, ms);
      if (chain_ms > 0) {
        std::printf(", %.1f x a chain's%s", ms / chain_ms,
                    shape.limited ? " (limit 2.0)" : "");
      }
      std::printf("\n");
    }
  }
  if (exp > 0 && base > 0) {
    std::printf("export+write 256 MiB vs memcpy+write: %.2f (limit 1.50)\n",
                exp / base);
  }
  const struct {
    const char* name;
    const char* what;
    double limit_ms;
  } plans[] = {
      {"BM_PlanResidual20kOpt", "plan 20,000-layer residual, opt_map", 1000},
      {"BM_PlanResidual20kNoOpt", "plan 20,000-layer residual, no opt_map",
       500},
      {"BM_PlanChain100kOpt", "plan 100,000-layer chain, opt_map", 2000},
      {"BM_EndToEnd20kSmallOps", "load+export+write 20,000 small ops", 0},
      {"BM_FirstFit2k", "best planner first fit, 2,000 layers", 5},
      {"BM_FirstFit20k", "best planner first fit, 20,000 layers", 100},
      {"BM_BestRandomSkips2k", "best planner, 2,000 layers, full search", 1000},
      {"BM_PlanRandomReach2kOpt", "plan 2,000 layers, ~1,000 live per step",
       1000},
      {"BM_BestRandomReach2k", "best planner, ~1,000 live per step", 3000},
  };
  for (const auto& p : plans) {
    const double ms = time_of(p.name);
    if (ms > 0) {
      if (p.limit_ms > 0) {
        std::printf("%-45s %8.1f ms (limit %.0f ms)\n", p.what, ms, p.limit_ms);
      } else {
        std::printf("%-45s %8.1f ms\n", p.what, ms);
      }
    }
  }
  for (const auto& [key, what] :
       {std::pair{"inspect_text_peak_ratio", "text"},
        std::pair{"inspect_json_peak_ratio", "JSON"}}) {
    if (c.count(key)) {
      std::printf(
          "inspect 50,000 x 50 inputs, %-4s peak RSS vs file: %.2f "
          "(limit 2.00)\n",
          what, c.at(key));
    }
  }
  if (c.count("html_peak_ratio")) {
    std::printf(
        "snx-inspect --html of 500,000 layers, peak RSS vs file: %.2f "
        "(limit 5.00)\n",
        c.at("html_peak_ratio"));
  }
  for (const auto& [bm, what] :
       {std::pair{"BM_InterpretExample", "interpret the bundled example"},
        std::pair{"BM_InterpretConv20At224",
                  "interpret 20 convolutions at 224x224"}}) {
    const double ms = time_of(bm);
    if (ms > 0) std::printf("%-45s %8.1f ms\n", what, ms);
  }
  if (c.count("run_peak_mib")) {
    std::printf(
        "snx-run on it, peak RSS: %.1f MiB (arena %.1f MiB + model %.1f "
        "MiB; a buffer per layer would be %.1f MiB)\n",
        c.at("run_peak_mib"), c.at("run_arena_mib"), c.at("run_model_mib"),
        c.at("run_buffer_per_layer_mib"));
  }
  if (c.count("best_over_standard")) {
    std::printf(
        "best planner vs standard plan, largest time ratio over 35 graphs: "
        "%.1f (limit 25)\n",
        c.at("best_over_standard"));
  }
  if (c.count("peak_ratio")) {
    std::printf("export peak RSS vs arrays+output:     %.2f (limit 1.10)\n",
                c.at("peak_ratio"));
  }
  benchmark::Shutdown();
  return 0;
}
