// The picture of a memory plan: one column per time step, one row per
// block (block 0 at the top), each layer's blocks in its own colour where
// the layer is live, black elsewhere.
#ifndef SARNIC_PICTURE_PICTURE_H_
#define SARNIC_PICTURE_PICTURE_H_

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "planner/memory_map.h"
#include "planner/planners.h"

namespace sarnic::planner {

using Rgb = std::array<int, 3>;

// One colour per layer, in the order layers are first met in the live
// lists (step order, then list order), drawn from a generator seeded with
// 3, each component in 20..254, no two layers alike. Layers never met get
// black.
std::vector<Rgb> LayerColours(const LiveLists& steps, std::size_t layers);

// Draws the plan into the PNG file `path`. The file is written whole or not
// at all; an unwritable path is an I/O error.
void SaveMemoryMap(const std::string& path, const LiveLists& steps,
                   const Plan& plan, const std::vector<int64_t>& layer_blocks,
                   int64_t block_count);

}  // namespace sarnic::planner

namespace sarnic {

// The memory map picture of the export: "Saving Map..." on `out`, then the
// picture of `plan` saved to `path` (a PNG path, or a folder that gets
// "mem_map.png") and "Saved", or, beyond 768 layers, a line that says it
// is not drawn.
void SaveMemoryMapPicture(const std::string& path, const MemoryPlan& plan,
                          std::ostream& out);

}  // namespace sarnic

#endif  // SARNIC_PICTURE_PICTURE_H_
