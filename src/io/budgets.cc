// What a device needs for a model, and the budgets it is held to.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <set>
#include <sstream>

#include "sarnic/analysis.h"

namespace sarnic {

namespace {

bool IsConstant(const LayerFacts& l) {
  return std::string_view(l.type) == "constant";
}

std::string Kib(uint64_t bytes) {
  std::ostringstream o;
  o << std::fixed << std::setprecision(1) << static_cast<double>(bytes) / 1024
    << " KiB";
  return o.str();
}

std::string Named(const LayerFacts& l) {
  return "'" + std::string(l.name) + "' (" + l.type + ")";
}

// The ten largest of (bytes, line), largest first.
std::vector<std::string> Largest(
    std::vector<std::pair<uint64_t, std::string>> items) {
  std::stable_sort(
      items.begin(), items.end(),
      [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::string> out;
  for (std::size_t i = 0; i < items.size() && i < 10; ++i) {
    out.push_back(std::move(items[i].second));
  }
  return out;
}

// The layers by the parameter bytes they use; a constant read by another
// layer is counted in that layer.
std::vector<std::string> FlashContributors(const ModelFacts& f) {
  std::set<uint32_t> read;
  for (const LayerFacts& l : f.layers) {
    if (IsConstant(l)) continue;
    for (uint32_t in : l.inputs) {
      if (in < f.layers.size() && IsConstant(f.layers[in])) read.insert(in);
    }
  }
  std::vector<std::pair<uint64_t, std::string>> items;
  for (const LayerFacts& l : f.layers) {
    if (l.param_bytes == 0 || read.count(l.index) != 0) continue;
    items.emplace_back(
        l.param_bytes,
        Named(l) + ": " + std::to_string(l.param_bytes) + " parameter bytes");
  }
  return Largest(std::move(items));
}

std::vector<std::string> RamContributors(const ModelFacts& f) {
  std::vector<std::pair<uint64_t, std::string>> items;
  if (f.block_size == 0) {
    for (const LayerFacts& l : f.layers) {
      if (IsConstant(l)) continue;
      items.emplace_back(l.bytes, Named(l) + ": " + std::to_string(l.bytes) +
                                      " bytes, a buffer of its own");
    }
    return Largest(std::move(items));
  }
  if (f.reserved_blocks > 0) {
    const uint64_t bytes = f.reserved_blocks * f.block_size;
    items.emplace_back(bytes, "the arena's reserved leading blocks: " +
                                  std::to_string(bytes) + " bytes");
  }
  for (uint32_t i : f.peak_layers) {
    const LayerFacts& l = f.layers[i];
    const uint64_t bytes = l.blocks * f.block_size;
    items.emplace_back(bytes, Named(l) + ": " + std::to_string(bytes) +
                                  " bytes, live at the peak step");
  }
  return Largest(std::move(items));
}

}  // namespace

DeviceMemory DeviceMemoryOf(const ModelFacts& f) {
  DeviceMemory d;
  d.flash = f.file_bytes;
  if (f.block_size == 0) {
    for (const LayerFacts& l : f.layers) {
      if (!IsConstant(l)) d.outside_arena += l.bytes;
    }
  } else {
    std::set<uint32_t> edges(f.inputs.begin(), f.inputs.end());
    edges.insert(f.outputs.begin(), f.outputs.end());
    for (uint32_t i : edges) {
      const LayerFacts& l = f.layers[i];
      if (!l.block && !IsConstant(l)) d.outside_arena += l.bytes;
    }
  }
  d.ram =
      (f.reserved_blocks + f.planned_blocks) * f.block_size + d.outside_arena;
  return d;
}

std::vector<BudgetMiss> CheckBudgets(const ModelFacts& f,
                                     std::optional<uint64_t> flash_budget,
                                     std::optional<uint64_t> ram_budget) {
  const DeviceMemory d = DeviceMemoryOf(f);
  std::vector<BudgetMiss> out;
  if (flash_budget && d.flash > *flash_budget) {
    out.push_back({"flash", d.flash, *flash_budget, FlashContributors(f)});
  }
  if (ram_budget && d.ram > *ram_budget) {
    out.push_back({"RAM", d.ram, *ram_budget, RamContributors(f)});
  }
  return out;
}

std::string BudgetMissText(const BudgetMiss& m) {
  const uint64_t over = m.figure - m.budget;
  std::string out = m.what + " " + Kib(m.figure) + " is over the budget of " +
                    Kib(m.budget) + " by " + Kib(over) + " (" +
                    std::to_string(over) + " bytes)";
  if (m.contributors.empty()) return out;
  out += m.what == "flash"
             ? "; its largest contributors, the layers by the parameter "
               "bytes they use:"
             : "; its largest contributors:";
  for (const std::string& c : m.contributors) out += "\n  " + c;
  return out;
}

std::optional<uint64_t> ParseByteSize(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [rest, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || rest == text.data() || !(value >= 0)) {
    return std::nullopt;
  }
  const std::string_view unit(rest, static_cast<std::size_t>(end - rest));
  double factor = 0;
  if (unit.empty() || unit == "B") factor = 1;
  if (unit == "K" || unit == "KiB" || unit == "k") factor = 1024;
  if (unit == "M" || unit == "MiB") factor = 1024.0 * 1024.0;
  if (factor == 0) return std::nullopt;
  const double bytes = value * factor;
  if (bytes >= 1.8e19 || bytes != std::floor(bytes)) return std::nullopt;
  return static_cast<uint64_t>(bytes);
}

}  // namespace sarnic
