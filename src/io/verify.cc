// The plan verifier: a model's structure and its arena, from the file
// alone.
#include <algorithm>
#include <iterator>
#include <set>
#include <tuple>

#include "sarnic/analysis.h"
#include "sarnic/errors.h"
#include "sarnic/model_reader.h"

namespace sarnic {

namespace {

void CheckIndices(const snxf::Model& m, std::vector<std::string>& out) {
  const uint32_t n = m.layers() ? m.layers()->size() : 0;
  for (uint32_t i = 0; i < n; ++i) {
    const snxf::Layer& l = *m.layers()->Get(i);
    if (l.inputs() == nullptr) continue;
    for (uint32_t in : *l.inputs()) {
      if (in >= i) {
        out.push_back("layer " + std::to_string(i) + " reads layer " +
                      std::to_string(in) + ", which is not earlier");
      }
    }
  }
  for (const auto* list : {m.inputs(), m.outputs()}) {
    if (list == nullptr) continue;
    for (uint32_t i : *list) {
      if (i >= n) {
        out.push_back(
            std::string(list == m.inputs() ? "model input " : "model output ") +
            std::to_string(i) + " is beyond the " + std::to_string(n) +
            " layers");
      }
    }
  }
}

uint64_t DataCount(const snxf::Tensor& t) {
  if (t.data_str()) return t.data_str()->size();
  if (t.data_raw()) return t.data_raw()->size();
  if (t.data_i8()) return t.data_i8()->size();
  if (t.data_i16()) return t.data_i16()->size();
  if (t.data_i32()) return t.data_i32()->size();
  if (t.data_f32()) return t.data_f32()->size();
  return UINT64_MAX;  // no data
}

void CheckTensors(const snxf::Model& m, std::vector<std::string>& out) {
  const uint32_t n = m.layers() ? m.layers()->size() : 0;
  for (uint32_t i = 0; i < n; ++i) {
    const snxf::Layer& l = *m.layers()->Get(i);
    if (l.params() == nullptr) continue;
    for (const snxf::Tensor* t : *l.params()) {
      const uint64_t count = DataCount(*t);
      if (count == UINT64_MAX || t->shape() == nullptr) continue;
      uint64_t expected = 1;
      for (int32_t d : *t->shape())
        expected *= static_cast<uint64_t>(std::max(d, 0));
      if (count != expected) {
        out.push_back("layer " + std::to_string(i) + " parameter '" +
                      (t->name() ? t->name()->str() : "") + "' holds " +
                      std::to_string(count) + " elements for a shape of " +
                      std::to_string(expected));
      }
    }
  }
}

// Layers live at a common step that share blocks, found by a sweep over
// the steps. The live layers that share no blocks with each other sit in a
// set ordered by blocks, where a layer's overlaps are a run just below its
// end; a layer found sharing blocks is kept aside and compared one by one.
// Every layer kept aside made a finding, and findings stop at a limit, so
// neither the time nor the output grows with the square of the layers.
class OverlapSweep {
 public:
  OverlapSweep(const ModelFacts& f, std::vector<std::string>& out)
      : f_(f), out_(out), expiring_(f.layers.size()) {}

  void Run(const std::vector<const LayerFacts*>& planned) {
    for (const LayerFacts* l : planned) {
      Expire(l->first);
      std::vector<const LayerFacts*> shared;
      auto it = kept_.lower_bound({*l->block + l->blocks, 0, 0});
      while (it != kept_.begin() && std::get<1>(*std::prev(it)) > *l->block) {
        --it;
        shared.push_back(&f_.layers[std::get<2>(*it)]);
      }
      for (const LayerFacts* o : aside_) {
        if (Overlap(*l, *o)) shared.push_back(o);
      }
      std::sort(shared.begin(), shared.end(), [](const auto* a, const auto* b) {
        return a->index < b->index;
      });
      for (const LayerFacts* o : shared) {
        if (findings_ == kMaxFindings) {
          out_.push_back("more layers share blocks; only the first " +
                         std::to_string(kMaxFindings) + " pairs are listed");
          return;
        }
        ++findings_;
        out_.push_back("layers " + std::to_string(o->index) + " '" +
                       std::string(o->name) + "' and " +
                       std::to_string(l->index) + " '" + std::string(l->name) +
                       "' are live at step " + std::to_string(l->first) +
                       " and share blocks");
      }
      if (shared.empty()) {
        kept_.insert({*l->block, *l->block + l->blocks, l->index});
      } else {
        aside_.push_back(l);
      }
      expiring_[l->last].push_back(l);
    }
  }

 private:
  static constexpr std::size_t kMaxFindings = 1000;

  static bool Overlap(const LayerFacts& a, const LayerFacts& b) {
    return *a.block < *b.block + b.blocks && *b.block < *a.block + a.blocks;
  }

  // Drops the layers whose last step is before `step`.
  void Expire(uint32_t step) {
    if (next_expiry_ >= step) return;
    for (; next_expiry_ < step; ++next_expiry_) {
      for (const LayerFacts* o : expiring_[next_expiry_]) {
        kept_.erase({*o->block, *o->block + o->blocks, o->index});
      }
    }
    std::erase_if(aside_, [&](const LayerFacts* o) { return o->last < step; });
  }

  const ModelFacts& f_;
  std::vector<std::string>& out_;
  // (first block, end block, layer): ends rise with starts, as no two
  // overlap.
  std::set<std::tuple<uint64_t, uint64_t, uint32_t>> kept_;
  std::vector<const LayerFacts*> aside_;
  std::vector<std::vector<const LayerFacts*>> expiring_;
  uint32_t next_expiry_ = 0;
  std::size_t findings_ = 0;
};

void CheckArena(const ModelFacts& f, std::vector<std::string>& out) {
  if (f.block_size == 0) return;
  const uint64_t end = f.reserved_blocks + f.planned_blocks;
  std::vector<const LayerFacts*> planned;
  for (const LayerFacts& l : f.layers) {
    if (!l.block) continue;
    planned.push_back(&l);
    if (*l.block + l.blocks > end) {
      out.push_back("layer " + std::to_string(l.index) + " '" +
                    std::string(l.name) + "' takes blocks " +
                    std::to_string(*l.block) + " to " +
                    std::to_string(*l.block + l.blocks) + ", beyond the " +
                    std::to_string(end) + " of the arena");
    }
  }
  OverlapSweep(f, out).Run(planned);
}

}  // namespace

std::vector<std::string> VerifyModel(std::span<const uint8_t> bytes) {
  std::vector<std::string> out;
  const snxf::Model* m = nullptr;
  try {
    m = &ReadModel(bytes, "model");
  } catch (const Error& e) {
    out.push_back(e.what());
    return out;
  }
  CheckIndices(*m, out);
  CheckTensors(*m, out);
  if (!out.empty()) return out;
  CheckArena(AnalyseModel(*m, bytes.size()), out);
  return out;
}

}  // namespace sarnic
