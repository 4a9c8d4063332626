// The safetensors weights file: an 8-byte little-endian header length, a
// JSON header naming each tensor's element type, shape and byte range, then
// the data. The file is memory-mapped and checked whole before any tensor
// is handed out; tensors are views of the mapping.
#ifndef SARNIC_IO_SAFETENSORS_H_
#define SARNIC_IO_SAFETENSORS_H_

#include <string>
#include <unordered_set>
#include <vector>

#include "sarnic/ndarray.h"
#include "sarnic/ordered_map.h"

namespace sarnic {

struct WeightsFile {
  std::string path;
  OrderedMap<NdArray> tensors;           // in header order
  std::unordered_set<std::string> bf16;  // readable, but of no element type

  // The tensor `key`; `place` names where it is used, for errors.
  const NdArray& Get(const std::string& key, const std::string& place) const;
};

// Maps and checks the file; any violation is a ValueError naming the file
// and the tensor.
WeightsFile ReadWeights(const std::string& path);

// Writes `tensors` as a safetensors file, atomically.
void WriteWeights(const std::string& path,
                  const std::vector<std::pair<std::string, NdArray>>& tensors);

}  // namespace sarnic

#endif  // SARNIC_IO_SAFETENSORS_H_
