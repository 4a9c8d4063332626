#include "sarnic/layers.h"

#include "sarnic/errors.h"

namespace sarnic {

uint32_t LayerIndex::at(const std::string& name) const {
  auto it = map_.find(name);
  if (it == map_.end()) {
    throw MissingLayerError(name,
                            "no layer for '" + name +
                                "': the node has not been exported before its "
                                "use (unsupported op or missing node)");
  }
  return it->second;
}

}  // namespace sarnic
