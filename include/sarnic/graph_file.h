// Graph files: a JSON document (format "snx-graph", version 1) and an
// optional safetensors weights file beside it. Loading checks both files
// completely before anything is returned; arrays read from the weights file
// view the memory-mapped file without copying.
#ifndef SARNIC_GRAPH_FILE_H_
#define SARNIC_GRAPH_FILE_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sarnic/digraph.h"
#include "sarnic/files.h"
#include "sarnic/ordered_map.h"

namespace sarnic {

// Loads the graph file at `path`. Any violation of the format is a
// ValueError naming the file and the place (node and attribute, edge,
// tensor); an unreadable file is an IoError. With `files_read`, the paths
// of the files read (the graph file, then its weights file, if any) are
// appended to it.
std::unique_ptr<Graph> LoadGraph(
    const std::string& path, std::vector<std::string>* files_read = nullptr);

// Reads a JSON document that maps names to arrays in the graph file's value
// encoding, in document order; references resolve in `weights_of`'s weights
// file (the graph file the names belong to).
OrderedMap<NdArray> LoadArrayMap(const std::string& path,
                                 const std::string& graph_path);

// Writes `graph` as a graph file at `json_path`. With `weights_name`, the
// arrays of the tensor dictionary go into that safetensors file (relative
// to the JSON file's folder); otherwise every array is written inline. Both
// files are written atomically.
void SaveGraph(const Graph& graph, const std::string& json_path,
               const std::optional<std::string>& weights_name = std::nullopt);

}  // namespace sarnic

#endif  // SARNIC_GRAPH_FILE_H_
