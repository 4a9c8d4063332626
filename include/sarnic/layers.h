// The layers of one export as the operation exporters see them: the layer
// index (layer name to position in the model's layer vector), the layer
// list that appends finished layers and records their positions, and the
// calling convention of every operation exporter, built-in or plug-in.
#ifndef SARNIC_LAYERS_H_
#define SARNIC_LAYERS_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sarnic/builder.h"
#include "sarnic/digraph.h"
#include "sarnic/errors.h"

namespace sarnic {

// A lookup of a layer that the export has not written (yet). key() is the
// missing layer's name.
class MissingLayerError : public KeyError {
 public:
  using KeyError::KeyError;
};

// Layer name to the layer's position in the model's layer vector.
class LayerIndex {
 public:
  // The position of `name`'s layer; a MissingLayerError when it has none
  // yet.
  uint32_t at(const std::string& name) const;
  uint32_t operator[](const std::string& name) const { return at(name); }
  bool contains(const std::string& name) const { return map_.count(name) > 0; }
  void set(const std::string& name, uint32_t position) {
    map_[name] = position;
  }
  std::size_t size() const { return map_.size(); }
  const std::unordered_map<std::string, uint32_t>& entries() const {
    return map_;
  }

 private:
  std::unordered_map<std::string, uint32_t> map_;
};

// The model's layers in order: appending a finished layer records its
// position under its name, so that later layers find it as an input.
class LayerList {
 public:
  void append(const std::string& name, Offset layer) {
    index_.set(name, static_cast<uint32_t>(offsets_.size()));
    offsets_.push_back(layer);
  }
  const LayerIndex& index() const { return index_; }
  const std::vector<Offset>& offsets() const { return offsets_; }

 private:
  LayerIndex index_;
  std::vector<Offset> offsets_;
};

// The calling convention of every operation exporter: it writes exactly one
// Layer table for `node` and returns its offset. `layers` holds every node
// exported before (all of the node's inputs); `alt_name` is the alternative
// layer name the pipeline supplies for renamed graph inputs and outputs.
using OpFunction = std::function<Offset(
    BetterBuilder& builder, Graph& graph, const LayerIndex& layers,
    const std::string& name, AttrDict& node,
    const std::optional<std::string>& alt_name)>;

}  // namespace sarnic

#endif  // SARNIC_LAYERS_H_
