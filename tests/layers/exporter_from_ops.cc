// Must not compile: the operations layer sits below the exporter, so the
// exporter's public header is not reachable from it.
#include "sarnic/exporter.h"
