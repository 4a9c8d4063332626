// What the conversion of one ONNX operation works with: the graph being
// built, every ONNX value's static shape and constant data, the forms of a
// value in each layout, and the readers of a node's inputs and attributes.
// The table of operations is rows.h; folding fold.h, fusions fuse.h, ONNX
// tensors as arrays tensors.h.
#ifndef SARNIC_ONNX_CONVERTER_H_
#define SARNIC_ONNX_CONVERTER_H_

#include <onnx/onnx_pb.h>

#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sarnic/digraph.h"
#include "sarnic/errors.h"
#include "sarnic/ndarray.h"
#include "sarnic/value.h"

namespace sarnic::onnx_import {

// NHWC order: the position of NCHW axis `a` in it, and a 4-D shape in it.
constexpr int64_t NhwcAxis(int64_t a) {
  constexpr int64_t kPosition[4] = {0, 3, 1, 2};
  return kPosition[a];
}
inline Shape ToNhwc(const Shape& s) { return {s[0], s[2], s[3], s[1]}; }

class Converter;

// The layout bookkeeping: which forms of each value exist. A 4-D activation
// may be held in the model's own NCHW order, in NHWC (the order of the
// convolution and pooling layers), or both; each form is made once, when
// first needed, by a transpose (a reshape when the two orders agree). The
// node named as the value holds it in NCHW, "<value>/nhwc" in NHWC, except
// for the values at the model's boundary kept NHWC (`NameNhwc`), whose NCHW
// form is "<value>/nchw". A transpose in the model is made only when a
// form of its output is needed, composed with the layout's.
class ValueForms {
 public:
  explicit ValueForms(Converter& c) : c_(c) {}
  ValueForms(const ValueForms&) = delete;
  ValueForms& operator=(const ValueForms&) = delete;

  // The node holding value `v` in NCHW, or in NHWC, made when first asked.
  std::string Nchw(const std::string& v);
  std::string Nhwc(const std::string& v);
  bool HasNhwc(const std::string& v) const;
  // Records that value `v` is held in NHWC alone, by NhwcName(v).
  void MarkNhwc(const std::string& v);
  // Records that value `v` is node `from` with its axes permuted (output
  // axis d = axis perm[d] of `from`), made only when a form is needed.
  void SetTransposed(const std::string& v, const std::string& from,
                     std::vector<int64_t> perm);
  void NameNhwc(const std::string& v) { nhwc_named_.insert(v); }
  std::string NchwName(const std::string& v) const;
  std::string NhwcName(const std::string& v) const;
  // The shape of a node that holds a value in another layout, or null.
  const Shape* FormShape(const std::string& node) const;
  // Whether `name` was given to a form (no other node may take it).
  bool IsFormName(const std::string& name) const {
    return form_names_.count(name) != 0;
  }

 private:
  struct Held {
    bool nchw = true, nhwc = false;
  };
  struct Lazy {
    std::string from;
    std::vector<int64_t> perm;
  };
  // Node `name`, shaped `out`: `from` with its axes permuted.
  void Permuted(const std::string& name, const std::string& from,
                const std::vector<int64_t>& perm, const Shape& out);
  // The name of `v`'s form with `suffix`, fresh the first time it is asked.
  const std::string& Form(const std::string& v, const char* suffix) const;

  Converter& c_;
  std::map<std::string, Held> held_;
  std::map<std::string, Lazy> lazy_;
  std::map<std::string, Shape> form_shapes_;
  std::set<std::string> nhwc_named_;
  mutable std::map<std::string, std::string> forms_;
  mutable std::set<std::string> form_names_;
};

class Converter {
 public:
  Converter(Graph& graph, std::string what)
      : g_(graph), what_(std::move(what)), forms_(*this) {}
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  Graph& graph() { return g_; }
  const std::string& what() const { return what_; }
  // The version of the default operator set the model imports.
  int64_t opset() const { return opset_; }
  void set_opset(int64_t opset) { opset_ = opset; }

  // What reads each value, known before the conversion starts.
  void Index(const onnx::GraphProto& g);
  // The one node that reads `v`, or null: several read it, or the model
  // outputs it.
  const onnx::NodeProto* SoleConsumer(const std::string& v) const;
  bool IsOutput(const std::string& v) const { return outputs_.count(v) != 0; }
  // Whether a node reads `v` or the model outputs it.
  bool IsUsed(const std::string& v) const {
    return !v.empty() && (IsOutput(v) || consumers_.count(v) != 0);
  }
  // Fusion. The layer that computes `v` may take a fused activation or a
  // folded scale and shift (`node` names it); a value that a fusion made
  // redundant is another name for the value it was fused into.
  void SetFusable(const std::string& v, std::string node) {
    fusable_[v] = std::move(node);
  }
  const std::string* Fusable(const std::string& v) const {
    const auto it = fusable_.find(Resolve(v));
    return it == fusable_.end() ? nullptr : &it->second;
  }
  void Alias(const std::string& v, const std::string& x) { alias_[v] = x; }
  // Values an earlier fusion has computed already.
  void MarkConverted(const std::string& v) { converted_.insert(v); }
  bool IsConverted(const std::string& v) const {
    return converted_.count(v) != 0 || alias_.count(v) != 0;
  }
  const std::string& Resolve(const std::string& v) const {
    const auto it = alias_.find(v);
    return it == alias_.end() ? v : Resolve(it->second);
  }

  // Layout: the forms of each value (ValueForms).
  std::string Nchw(const std::string& v) { return forms_.Nchw(v); }
  std::string Nhwc(const std::string& v) { return forms_.Nhwc(v); }
  bool HasNhwc(const std::string& v) const { return forms_.HasNhwc(v); }
  void MarkNhwc(const std::string& v) { forms_.MarkNhwc(v); }
  void SetTransposed(const std::string& v, const std::string& from,
                     std::vector<int64_t> perm) {
    forms_.SetTransposed(v, from, std::move(perm));
  }
  void NameNhwc(const std::string& v) { forms_.NameNhwc(v); }
  std::string NchwName(const std::string& v) const {
    return forms_.NchwName(v);
  }
  std::string NhwcName(const std::string& v) const {
    return forms_.NhwcName(v);
  }
  // A name for a node the conversion adds: `base` itself, or with "_1",
  // "_2", ... when the model names a value so or a node has it already. A
  // model's own names are never taken, so its values keep their names.
  std::string Fresh(const std::string& base) const;
  // While an operation that does not depend on the order of axes is
  // converted in NHWC, its inputs are the NHWC forms and the shapes of
  // 4-D values are NHWC shapes.
  bool nhwc_mode() const { return nhwc_mode_; }
  void set_nhwc_mode(bool on) { nhwc_mode_ = on; }
  // A 4-D NCHW axis's position in the current mode's order.
  int64_t ModeAxis(int64_t axis) const {
    return nhwc_mode_ && axis >= 0 && axis < 4 ? NhwcAxis(axis) : axis;
  }

  void SetShape(const std::string& value, Shape shape) {
    shapes_[value] = std::move(shape);
  }
  bool HasShape(const std::string& value) const {
    return shapes_.count(value) != 0;
  }
  // The static shape of an ONNX value (NHWC for a 4-D one in NHWC mode);
  // a FormatError when it has none.
  Shape ShapeOf(const std::string& value) const;
  // Its shape in the model's own order, whatever the mode.
  const Shape& OnnxShapeOf(const std::string& value) const;
  void SetConstant(const std::string& value, NdArray data) {
    constants_[value] = std::move(data);
  }
  // The data of a value that is an initializer or a Constant's output.
  const NdArray* ConstantOf(const std::string& value) const;

  // Adds a node `name` with `op` and `shape`, its attributes, and an edge
  // from every node named by `inputs`; a constant input's node is made on
  // first use.
  AttrDict& Add(const std::string& name, const std::string& op,
                const Shape& shape,
                std::initializer_list<std::pair<const char*, Value>> attrs,
                const std::vector<std::string>& inputs);
  // A constant node holding `data`, named after `base`.
  std::string AddConstant(const std::string& base, NdArray data);
  // The node that holds value `v` (a constant's node is made on demand).
  std::string Use(const std::string& v);

  // Fails naming the node.
  [[noreturn]] void Fail(const onnx::NodeProto& node,
                         const std::string& problem) const;

  // Counts the bytes of a value folded from `node`; their total may not
  // pass what a model can hold (each is small, but a file of a few hundred
  // bytes can ask for thousands of them).
  void AddFoldedBytes(const onnx::NodeProto& node, uint64_t bytes) {
    folded_bytes_ += bytes;
    if (folded_bytes_ > kMaxFoldedBytes) {
      Fail(node, "brings the values computed at import to " +
                     std::to_string(folded_bytes_) +
                     " bytes, more than a model can hold (" +
                     std::to_string(kMaxFoldedBytes) + ")");
    }
  }
  static constexpr uint64_t kMaxFoldedBytes = uint64_t{2} << 30;

 private:
  Graph& g_;
  std::string what_;
  std::map<std::string, Shape> shapes_;
  std::map<std::string, NdArray> constants_;
  std::map<std::string, bool> constant_nodes_;
  ValueForms forms_;
  std::map<std::string, std::vector<const onnx::NodeProto*>> consumers_;
  std::set<std::string> outputs_, converted_;
  std::map<std::string, std::string> fusable_, alias_;
  // Every value name of the model.
  std::set<std::string> model_names_;
  bool nhwc_mode_ = false;
  int64_t opset_ = 0;
  uint64_t folded_bytes_ = 0;
};

// How errors name node `n` (at `index` among the graph's nodes, when
// known): its name, quoted, or for an unnamed node its place and output.
inline std::string NodeName(const onnx::NodeProto& n, int index = -1) {
  if (!n.name().empty()) return "'" + Printable(n.name()) + "'";
  std::string out =
      index >= 0 ? "#" + std::to_string(index) + ", unnamed" : "unnamed";
  if (n.output_size() > 0) out += ", writing '" + Printable(n.output(0)) + "'";
  return out;
}

// A node's first output (the ONNX value), the name of the node that
// holds it in the current mode; its input `i` (the ONNX value), and the
// node holding that input in the current mode (a FormatError when absent).
inline const std::string& Out(const onnx::NodeProto& n) { return n.output(0); }
inline std::string Out(const Converter& c, const onnx::NodeProto& n) {
  return c.nhwc_mode() ? c.NhwcName(n.output(0)) : c.NchwName(n.output(0));
}
const std::string& Source(const Converter& c, const onnx::NodeProto& n, int i);
std::string In(Converter& c, const onnx::NodeProto& n, int i);

// Attributes of an ONNX node, with their defaults.
std::string TextAttr(const onnx::NodeProto& n, const char* name,
                     const std::string& fallback);
int64_t IntAttr(const onnx::NodeProto& n, const char* name, int64_t fallback);
float FloatAttr(const onnx::NodeProto& n, const char* name, float fallback);
std::optional<std::vector<int64_t>> IntsAttr(const onnx::NodeProto& n,
                                             const char* name);

// A Clip's constant bounds (attributes before opset 11, inputs from it
// on; open ones the ends of the float range, as ONNX has them), or nothing
// when one is not a constant scalar.
std::optional<std::pair<float, float>> ClipBounds(const Converter& c,
                                                  const onnx::NodeProto& n);

}  // namespace sarnic::onnx_import

#endif  // SARNIC_ONNX_CONVERTER_H_
