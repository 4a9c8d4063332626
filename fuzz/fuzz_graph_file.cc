// The graph-file loader on arbitrary input: the bytes before the first NUL
// are the JSON document, the rest is its weights file "w.safetensors".
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "check/checker_rules.h"
#include "sarnic/errors.h"
#include "sarnic/graph_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("sarnic_fuzz_graph_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\0');
  std::ofstream(dir / "g.json", std::ios::binary) << input.substr(0, cut);
  std::ofstream(dir / "w.safetensors", std::ios::binary)
      << (cut == std::string::npos ? std::string() : input.substr(cut + 1));
  std::unique_ptr<sarnic::Graph> graph;
  try {
    graph = sarnic::LoadGraph((dir / "g.json").string());
  } catch (const sarnic::Error&) {
    return 0;
  }
  // The checker runs on whatever loads, and never throws (an exception
  // here is a crash).
  sarnic::checker::RunRules(*graph, /*contain_faults=*/false);
  try {
    // What was loaded must be usable: order it and touch every array.
    graph->qm_nx_graph.topological_order();
    for (const auto& [name, array] : graph->tensor_dict) {
      if (array.size() > 0) (void)array.GetDouble(array.size() - 1);
    }
  } catch (const sarnic::Error&) {
  }
  return 0;
}
