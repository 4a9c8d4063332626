#include "sarnic/engine.h"

namespace sarnic::engine {

std::string version() { return SARNIC_VERSION; }

}  // namespace sarnic::engine
