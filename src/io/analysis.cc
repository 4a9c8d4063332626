// The facts of a model and the verifier of its plan.
#include "sarnic/analysis.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <set>
#include <sstream>
#include <tuple>

#include "sarnic/errors.h"
#include "sarnic/model_reader.h"
#include "sarnic/shapes.h"

namespace sarnic {

static_assert(std::endian::native == std::endian::little,
              "model files are little-endian and are viewed in place");

namespace {

const char* TypeName(snxf::Op op) {
  const char* name = snxf::EnumNameOp(op);
  return name != nullptr && *name != '\0' ? name : "unknown";
}

template <typename T>
void AddParam(ModelFacts& f, const char* kind, const flatbuffers::Vector<T>* v,
              uint64_t element_bytes) {
  if (v == nullptr) return;
  ParamTotals& t = f.params[kind];
  t.tensors += 1;
  t.elements += v->size();
  t.bytes += v->size() * element_bytes;
}

void CountParams(ModelFacts& f, const snxf::Layer& l) {
  if (l.params() == nullptr) return;
  for (const snxf::Tensor* t : *l.params()) {
    AddParam(f, "str", t->data_str(), 0);
    if (t->data_str() != nullptr) {
      for (const auto* s : *t->data_str()) f.params["str"].bytes += s->size();
    }
    AddParam(f, "u8", t->data_raw(), 1);
    AddParam(f, "i8", t->data_i8(), 1);
    AddParam(f, "i16", t->data_i16(), 2);
    AddParam(f, "i32", t->data_i32(), 4);
    AddParam(f, "f32", t->data_f32(), 4);
  }
}

uint64_t DataBytes(const snxf::Tensor& t) {
  uint64_t bytes = 0;
  if (t.data_str()) {
    for (const auto* s : *t.data_str()) bytes += s->size();
  }
  if (t.data_raw()) bytes += t.data_raw()->size();
  if (t.data_i8()) bytes += t.data_i8()->size();
  if (t.data_i16()) bytes += 2ull * t.data_i16()->size();
  if (t.data_i32()) bytes += 4ull * t.data_i32()->size();
  if (t.data_f32()) bytes += 4ull * t.data_f32()->size();
  return bytes;
}

template <typename V>
void ListText(std::string& out, const V& v) {
  if (v.size() == 1) {
    out += std::to_string(v.Get(0));
    return;
  }
  out += '[';
  for (uint32_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(v.Get(i));
  }
  out += ']';
}

// One tensor as an attribute: "strides [1, 2, 2, 1]", "activation relu",
// "axes [1, 2]" (a data-less tensor says its value by its shape); data of
// more than 8 values is counted, not listed.
void AttributeText(std::string& out, const snxf::Tensor& t) {
  constexpr uint32_t kListed = 8;
  if (!out.empty()) out += ", ";
  out += t.name() ? t.name()->string_view() : "?";
  out += ' ';
  auto listed = [&](const auto* v) {
    if (v->size() > kListed) {
      out += "(" + std::to_string(v->size()) + " values)";
    } else {
      ListText(out, *v);
    }
  };
  if (t.data_str()) {
    const auto& v = *t.data_str();
    for (uint32_t i = 0; i < v.size() && i < kListed; ++i) {
      if (i) out += ' ';
      out += v.Get(i)->string_view();
    }
  } else if (t.data_raw()) {
    listed(t.data_raw());
  } else if (t.data_i8()) {
    listed(t.data_i8());
  } else if (t.data_i16()) {
    listed(t.data_i16());
  } else if (t.data_i32()) {
    listed(t.data_i32());
  } else if (t.data_f32()) {
    if (t.data_f32()->size() > kListed) {
      listed(t.data_f32());
    } else {
      std::ostringstream o;
      for (uint32_t i = 0; i < t.data_f32()->size(); ++i) {
        o << (i ? " " : "") << t.data_f32()->Get(i);
      }
      out += o.str();
    }
  } else if (t.shape()) {
    listed(t.shape());
  }
}

// The layer's own tensors: a constant's or a variable's data counts as its
// parameters; the others are settings, written as text (an input's or a
// reshape's shape is its output's, not a setting).
void Settings(LayerFacts& l, const snxf::Layer& src) {
  if (src.params() == nullptr) return;
  const std::string_view type = l.type;
  const bool holds_data = type == "constant" || type == "variable";
  for (const snxf::Tensor* t : *src.params()) {
    const std::string_view name = t->name() ? t->name()->string_view() : "";
    if (holds_data && name == "data") {
      l.param_bytes += DataBytes(*t);
      continue;
    }
    if (name == "shape" && (type == "input" || type == "reshape")) continue;
    AttributeText(l.attributes, *t);
  }
}

// What a layer reads from constant layers (through reshapes of them)
// counts as its parameters; a convolution's kernel is its filter's first
// two dimensions.
void ConstantInputs(ModelFacts& f, const std::vector<uint32_t>& source) {
  for (LayerFacts& l : f.layers) {
    const std::string_view type = l.type;
    if (type == "constant" || type == "reshape") continue;
    for (uint32_t in : l.inputs) {
      if (in >= l.index) continue;
      const LayerFacts& s = f.layers[source[in]];
      if (std::string_view(s.type) == "constant")
        l.param_bytes += s.param_bytes;
    }
    const bool filtered = type == "conv2d" || type == "deconv2d";
    if (filtered && l.inputs.size() >= 2 && l.inputs[1] < l.index) {
      const std::span<const int32_t> k = f.layers[l.inputs[1]].shape;
      if (k.size() >= 2) {
        l.attributes = "kernel " + std::to_string(k[0]) + "x" +
                       std::to_string(k[1]) +
                       (l.attributes.empty() ? "" : ", ") + l.attributes;
      }
    }
  }
}

// The output size as the planner counts it; a size past 64 bits (a
// damaged file) as the most there is.
void Size(LayerFacts& l, uint32_t block_size) {
  uint64_t count = 1;
  for (int32_t d : l.shape) {
    const auto n = static_cast<uint64_t>(std::max<int32_t>(d, 0));
    count = n != 0 && count > UINT64_MAX / n ? UINT64_MAX : count * n;
  }
  const std::string_view dt = l.datatype;
  const std::optional<PlanSize> size =
      PlannedSize(count, dt == "I8" || dt == "U8", block_size);
  l.bytes = size ? size->bytes : UINT64_MAX;
  l.blocks = size              ? size->blocks
             : block_size == 0 ? 0
                               : UINT64_MAX / block_size + 1;
}

// For every layer, the layer a read of it reads: through reshapes (of an
// earlier layer) to their source. One pass, as a reshape's source is found
// before the reshape.
std::vector<uint32_t> Sources(const std::vector<LayerFacts>& layers) {
  std::vector<uint32_t> source(layers.size());
  for (uint32_t i = 0; i < layers.size(); ++i) {
    const LayerFacts& l = layers[i];
    const bool through = std::string_view(l.type) == "reshape" &&
                         !l.inputs.empty() && l.inputs[0] < i;
    source[i] = through ? source[l.inputs[0]] : i;
  }
  return source;
}

void LiveRanges(ModelFacts& f, const snxf::Model& m,
                const std::vector<uint32_t>& source) {
  std::vector<LayerFacts>& layers = f.layers;
  for (LayerFacts& l : layers) l.first = l.last = l.index;
  for (const LayerFacts& l : layers) {
    for (uint32_t in : l.inputs) {
      if (in < layers.size()) {
        LayerFacts& s = layers[source[in]];
        s.last = std::max(s.last, l.index);
      }
    }
  }
  if (m.outputs() != nullptr && !layers.empty()) {
    for (uint32_t o : *m.outputs()) {
      if (o < layers.size()) {
        layers[source[o]].last = static_cast<uint32_t>(layers.size() - 1);
      }
    }
  }
}

// The step at which the planned layers live hold the most blocks.
void Peak(ModelFacts& f) {
  std::vector<int64_t> delta(f.layers.size() + 1, 0);
  for (const LayerFacts& l : f.layers) {
    if (!l.block) continue;
    delta[l.first] += static_cast<int64_t>(l.blocks);
    delta[l.last + 1] -= static_cast<int64_t>(l.blocks);
  }
  int64_t live = 0;
  for (uint32_t t = 0; t < f.layers.size(); ++t) {
    live += delta[t];
    if (live > 0 &&
        (!f.peak_step || live > static_cast<int64_t>(f.peak_blocks))) {
      f.peak_step = t;
      f.peak_blocks = static_cast<uint64_t>(live);
    }
  }
  if (!f.peak_step) return;
  for (const LayerFacts& l : f.layers) {
    if (l.block && l.first <= *f.peak_step && *f.peak_step <= l.last) {
      f.peak_layers.push_back(l.index);
    }
  }
}

}  // namespace

ModelFacts AnalyseModel(const snxf::Model& m, uint64_t file_bytes) {
  ModelFacts f;
  f.name = m.name() ? m.name()->str() : "";
  f.file_bytes = file_bytes;
  f.block_size = m.block_size().value_or(0);
  f.planned_blocks = m.block_count().value_or(0);
  const uint32_t n = m.layers() ? m.layers()->size() : 0;
  std::optional<uint32_t> first_block;
  for (uint32_t i = 0; i < n; ++i) {
    const snxf::Layer& src = *m.layers()->Get(i);
    LayerFacts l;
    l.index = i;
    if (src.name()) l.name = src.name()->string_view();
    l.type = TypeName(src.type());
    if (src.datatype()) l.datatype = snxf::EnumNameDatatype(*src.datatype());
    // The buffer is little-endian and its vectors aligned: viewed in place.
    if (src.shape()) l.shape = {src.shape()->data(), src.shape()->size()};
    if (src.inputs()) l.inputs = {src.inputs()->data(), src.inputs()->size()};
    l.block =
        src.block() ? std::optional<uint32_t>(*src.block()) : std::nullopt;
    Size(l, f.block_size);
    if (l.block)
      first_block = std::min(first_block.value_or(*l.block), *l.block);
    ++f.layer_types[l.type];
    CountParams(f, src);
    Settings(l, src);
    f.layers.push_back(std::move(l));
  }
  // The plan starts at its first block: the smallest start of any layer.
  f.reserved_blocks = first_block.value_or(0);
  const std::vector<uint32_t> source = Sources(f.layers);
  LiveRanges(f, m, source);
  ConstantInputs(f, source);
  Peak(f);
  return f;
}

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
