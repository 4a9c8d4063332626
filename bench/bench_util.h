// Shared pieces of the benchmarks: the figures each benchmark reports and
// the ratios printed after all of them ran.
#ifndef SARNIC_BENCH_BENCH_UTIL_H_
#define SARNIC_BENCH_BENCH_UTIL_H_

#include <cstddef>
#include <string>
#include <vector>

namespace sarnic::bench {

// Peak resident memory of this process so far, in bytes.
std::size_t PeakRssBytes();

// Writes `size` bytes to `path` and flushes them to the file.
void WriteFile(const std::string& path, const void* data, std::size_t size);

// The peak resident memory of `tool` run with `tool_args`, in bytes (0
// when it could not be run).
std::size_t ChildPeakRss(const std::string& tool,
                         const std::vector<std::string>& tool_args);

// A scratch file path for the benchmarks' output.
std::string ScratchPath(const std::string& name);

}  // namespace sarnic::bench

#endif  // SARNIC_BENCH_BENCH_UTIL_H_
