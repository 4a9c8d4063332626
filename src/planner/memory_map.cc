#include "sarnic/exporter.h"

namespace sarnic {

uint32_t SarnicExporter::memory_map(
    DiGraph& /*graph*/, int /*block_size*/, bool /*opt_map*/,
    const std::optional<std::string>& /*save_map*/,
    const std::vector<std::string>& /*save_layers*/) {
  return 0;
}

}  // namespace sarnic
