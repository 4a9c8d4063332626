// The facts of a model: sizes, live ranges, the peak, each layer's settings.
#include "sarnic/analysis.h"

#include <algorithm>
#include <bit>
#include <sstream>

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
  for (const auto* list : {m.inputs(), m.outputs()}) {
    if (list == nullptr) continue;
    for (uint32_t i : *list) {
      if (i < n) (list == m.inputs() ? f.inputs : f.outputs).push_back(i);
    }
  }
  // The plan starts at its first block: the smallest start of any layer.
  f.reserved_blocks = first_block.value_or(0);
  const std::vector<uint32_t> source = Sources(f.layers);
  LiveRanges(f, m, source);
  ConstantInputs(f, source);
  Peak(f);
  return f;
}

}  // namespace sarnic
