#include "ops/protocol.h"

#include "sarnic/errors.h"

namespace sarnic::ops {

LayerHead WriteHead(BetterBuilder& b, const std::string& name,
                    const AttrDict& node,
                    const std::optional<std::string>& alt_name) {
  LayerHead h;
  h.name = WriteLayerName(b, name, alt_name);
  h.shape = WriteOutputShape(b, node);
  return h;
}

uint32_t InputOf(const LayerIndex& layers, const AttrDict& node,
                 const std::string& attr) {
  const Value& v = node.at(attr);
  if (!v.is_text()) {
    throw TypeError(AttrPlace(node, attr) + " must name a node, not " +
                    v.repr());
  }
  return layers.at(v.as_text());
}

std::vector<uint32_t> InputsOf(const LayerIndex& layers, const AttrDict& node,
                               std::initializer_list<const char*> attrs) {
  std::vector<uint32_t> out;
  out.reserve(attrs.size());
  for (const char* a : attrs) out.push_back(InputOf(layers, node, a));
  return out;
}

std::vector<uint32_t> ValuesOf(const LayerIndex& layers, const AttrDict& node) {
  const Value& v = node.at("values");
  if (!v.is_list()) {
    throw TypeError(AttrPlace(node, "values") +
                    " must be a sequence of node names, not " + v.repr());
  }
  std::vector<uint32_t> out;
  out.reserve(v.as_list().size());
  for (const Value& item : v.as_list()) {
    if (!item.is_text()) {
      throw TypeError(AttrPlace(node, "values") + " holds " + item.repr() +
                      ", not a node name");
    }
    out.push_back(layers.at(item.as_text()));
  }
  return out;
}

Offset ShapeTensor(BetterBuilder& b, const char* tensor, const Shape& dims) {
  return export_tensor(b, tensor, dims);
}

Offset ShapeTensor(BetterBuilder& b, const char* tensor, const AttrDict& node,
                   const char* attr) {
  return export_tensor(b, tensor, IntListAttr(node, attr));
}

Offset DataTensor(BetterBuilder& b, const char* tensor, const Value& data) {
  return export_tensor(b, tensor, std::nullopt, data);
}

bool HasPads(const AttrDict& node) {
  return node.contains("head") && node.contains("tail");
}

Offset Activation(BetterBuilder& b, const AttrDict& node) {
  const Value* act = node.find("activation");
  return DataTensor(b, "activation", act ? *act : Value("linear"));
}

void AddPads(BetterBuilder& b, const AttrDict& node,
             std::vector<Offset>& params) {
  if (!HasPads(node)) return;
  const Offset head = ShapeTensor(b, "head", node, "head");
  const Offset tail = ShapeTensor(b, "tail", node, "tail");
  params.push_back(tail);
  params.push_back(head);
}

AttrSpec HeadAttr() {
  return Optional("head", AttrKind::kIntList,
                  "pad widths before the data, one per dimension (used only "
                  "with tail)");
}

AttrSpec TailAttr() {
  return Optional("tail", AttrKind::kIntList,
                  "pad widths after the data, one per dimension (used only "
                  "with head)");
}

AttrSpec ActivationAttr() {
  return Optional("activation", AttrKind::kActivation,
                  "the fused activation (default \"linear\")");
}

std::size_t SequenceLength(const AttrDict& node, const char* attr) {
  const Value& v = node.at(attr);
  if (!v.is_list()) {
    throw TypeError(AttrPlace(node, attr) + " must be a sequence, not " +
                    v.repr());
  }
  return v.as_list().size();
}

}  // namespace sarnic::ops
