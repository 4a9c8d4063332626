// The engine module: the version the exporter writes into every model's
// creator string.
#ifndef SARNIC_ENGINE_H_
#define SARNIC_ENGINE_H_

#include <string>

namespace sarnic::engine {

// The project's version, e.g. "0.1.0".
std::string version();

}  // namespace sarnic::engine

#endif  // SARNIC_ENGINE_H_
