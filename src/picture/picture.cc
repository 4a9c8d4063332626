#include "picture/picture.h"

#include <plplot.h>

#include <filesystem>
#include <ostream>
#include <random>
#include <set>

#include "sarnic/errors.h"
#include "sarnic/files.h"

namespace sarnic::planner {

std::vector<Rgb> LayerColours(const LiveLists& steps, std::size_t layers) {
  std::vector<Rgb> colours(layers, Rgb{0, 0, 0});
  std::vector<bool> met(layers, false);
  std::set<Rgb> used;
  std::mt19937 gen(3);
  std::uniform_int_distribution<int> component(20, 254);
  for (std::size_t t = 0; t < steps.size(); ++t) {
    steps.ForEach(t, [&](LayerId l) {
      if (met[l]) return;
      met[l] = true;
      Rgb c;
      do {
        c = {component(gen), component(gen), component(gen)};
      } while (used.count(c) > 0);
      used.insert(c);
      colours[l] = c;
    });
  }
  return colours;
}

namespace {

// Without the driver, PLplot would ask on the terminal for another one.
bool HasPngDriver() {
  std::array<const char*, 256> menu_storage{};
  std::array<const char*, 256> device_storage{};
  const char** menus = menu_storage.data();
  const char** devices = device_storage.data();
  int count = static_cast<int>(device_storage.size());
  plgDevs(&menus, &devices, &count);
  bool found = false;
  for (int i = 0; i < count; ++i) {
    if (std::string(devices[i]) == "pngcairo") found = true;
  }
  return found;
}

void Rectangle(double x0, double x1, double y0, double y1) {
  PLFLT x[4] = {x0, x1, x1, x0};
  PLFLT y[4] = {y0, y0, y1, y1};
  plfill(4, x, y);
}

}  // namespace

void SaveMemoryMap(const std::string& path, const LiveLists& steps,
                   const Plan& plan, const std::vector<int64_t>& layer_blocks,
                   int64_t block_count) {
  const std::vector<Rgb> colours = LayerColours(steps, layer_blocks.size());
  // Drawn into a temporary file beside the target, renamed over it when
  // complete.
  if (!HasPngDriver()) {
    throw IoError("cannot draw the memory map:",
                  "the PNG plotting driver (pngcairo) is not installed");
  }
  TemporaryFile file(path, "the memory map picture");
  // PLplot opens the file by its name.
  file.Close();
  plsdev("pngcairo");
  plsfnam(file.path().c_str());
  // 8 by 8 inches at 100 dots per inch.
  plspage(100, 100, 800, 800, 0, 0);
  plscolbg(255, 255, 255);
  plscmap0n(static_cast<PLINT>(layer_blocks.size()) + 16);
  plinit();
  // Colour 15 draws the axes and labels, colour 1 the unused blocks.
  plscol0(15, 0, 0, 0);
  const double steps_n = static_cast<double>(steps.size());
  const double top = 0;
  const double bottom = static_cast<double>(block_count > 0 ? block_count : 1);
  plcol0(15);
  plenv(0, steps_n > 0 ? steps_n : 1, bottom, top, 0, 0);
  pllab("Time Step", "Kilobytes", "");
  // Black wherever no layer lives, then each live layer's blocks. Drawing
  // rectangles keeps the memory independent of the arena's block count.
  plscol0(1, 0, 0, 0);
  plcol0(1);
  Rectangle(0, steps_n, bottom, top);
  for (std::size_t l = 0; l < layer_blocks.size(); ++l) {
    plscol0(static_cast<PLINT>(l) + 16, colours[l][0], colours[l][1],
            colours[l][2]);
  }
  for (std::size_t t = 0; t < steps.size(); ++t) {
    steps.ForEach(t, [&](LayerId l) {
      plcol0(static_cast<PLINT>(l) + 16);
      const auto start = static_cast<double>(plan[l]);
      Rectangle(static_cast<double>(t), static_cast<double>(t) + 1, start,
                start + static_cast<double>(layer_blocks[l]));
    });
  }
  plcol0(15);
  plbox("bcnst", 0, 0, "bcnstv", 0, 0);
  plend();
  file.Commit();
}

}  // namespace sarnic::planner

namespace sarnic {

void SaveMemoryMapPicture(const std::string& path, const MemoryPlan& plan,
                          std::ostream& out) {
  out << "Saving Map...\n";
  if (plan.layer_blocks.size() > 768) {
    out << "Too many layers to generate the memory map image\n";
    return;
  }
  std::error_code ec;
  const std::string file =
      std::filesystem::is_directory(path, ec)
          ? (std::filesystem::path(path) / "mem_map.png").string()
          : path;
  planner::SaveMemoryMap(file, plan.steps, plan.plan, plan.layer_blocks,
                         plan.block_count);
  out << "Saved\n";
}

}  // namespace sarnic
