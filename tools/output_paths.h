// The one rule every tool holds its outputs to: before anything is
// written, no output names a file the run reads (the model, its weights or
// external data, an input array, a labels file) nor another output. A
// slip such as "-o model.onnx" would otherwise replace what it came from.
#ifndef SARNIC_TOOLS_OUTPUT_PATHS_H_
#define SARNIC_TOOLS_OUTPUT_PATHS_H_

#include <string>
#include <vector>

#include "sarnic/errors.h"
#include "sarnic/files.h"

namespace sarnic::tools {

struct NamedOutput {
  std::string flag;  // the option that names it ("-o", "--report")
  std::string path;
};

// Refuses, with a ValueError naming the option and both paths, an output
// that would replace one of `inputs` (the same file under any spelling or
// through links) or that lands where another output does.
inline void CheckOutputs(const std::vector<NamedOutput>& outputs,
                         const std::vector<std::string>& inputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const auto& [flag, path] = outputs[i];
    for (const std::string& in : inputs) {
      if (WouldReplace(path, in)) {
        throw ValueError(
            "An output would replace an input file:",
            flag + " " + path + " is " + in + "; nothing was written");
      }
    }
    for (std::size_t k = 0; k < i; ++k) {
      if (SameDestination(path, outputs[k].path)) {
        throw ValueError("Two outputs name the same file:",
                         outputs[k].flag + " and " + flag + " are " + path +
                             "; nothing was written");
      }
    }
  }
}

}  // namespace sarnic::tools

#endif  // SARNIC_TOOLS_OUTPUT_PATHS_H_
