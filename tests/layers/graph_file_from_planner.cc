// Must not compile: the planner sits beside io, not above it, so the graph
// file reader's public header is not reachable from it.
#include "sarnic/graph_file.h"
