// Never built: the layer check reads it as a tool's source and must name
// the private header it includes.
#include "runtime/layer_view.h"
