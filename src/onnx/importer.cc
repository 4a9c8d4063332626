// Reading an ONNX model: its bytes through protobuf, its operator sets,
// its dynamic dimensions fixed, its external data from inside its folder,
// ONNX's checker and shape inference, then the conversion node by node.
#include <google/protobuf/arena.h>
#include <onnx/checker.h>
#include <onnx/defs/schema.h>
#include <onnx/shape_inference/implementation.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "onnx/converter.h"
#include "onnx/fold.h"
#include "onnx/fuse.h"
#include "onnx/model_checks.h"
#include "onnx/one_dimensional.h"
#include "onnx/rows.h"
#include "onnx/tensors.h"
#include "sarnic/files.h"
#include "sarnic/onnx_import.h"

namespace sarnic {

using onnx_import::CheckOpsets;
using onnx_import::CheckWindows;
using onnx_import::Converter;
using onnx_import::kMaxModelBytes;
using onnx_import::ReadExternalData;
using onnx_import::RefuseUnsupported;
using onnx_import::StripExternalData;

namespace {

// Replaces the named dimensions of the inputs by their values; every one
// left open is listed in one error, and so is every value that fixes
// nothing (a misspelt name, an axis the input lacks or has fixed already).
void FixDims(onnx::ModelProto& m, const OnnxOptions& options,
             const std::string& what) {
  std::set<std::string> open, used, fixed_places;
  for (const auto& [name, value] : options.dims) {
    if (value <= 0) {
      throw ValueError("--dim " + Printable(name) + "=" +
                           std::to_string(value) +
                           ": a dimension's value is a positive whole number",
                       "");
    }
  }
  for (auto& input : *m.mutable_graph()->mutable_input()) {
    if (!input.type().has_tensor_type()) continue;
    auto* shape = input.mutable_type()->mutable_tensor_type()->mutable_shape();
    for (int axis = 0; axis < shape->dim_size(); ++axis) {
      auto& d = *shape->mutable_dim(axis);
      // A dimension is named by its parameter, or as INPUT:AXIS.
      const std::string place = input.name() + ":" + std::to_string(axis);
      if (d.has_dim_value() && d.dim_value() > 0) {
        fixed_places.insert(place);
        continue;
      }
      auto it = options.dims.find(d.dim_param());
      if (d.dim_param().empty() || it == options.dims.end()) {
        it = options.dims.find(place);
      }
      if (it != options.dims.end()) {
        used.insert(it->first);
        d.set_dim_value(it->second);
      } else {
        open.insert(d.dim_param().empty() ? Printable(place)
                                          : Printable(d.dim_param()) + " (" +
                                                Printable(place) + ")");
      }
    }
  }
  std::string idle;
  for (const auto& [name, value] : options.dims) {
    if (used.count(name) != 0) continue;
    idle += (idle.empty() ? "" : "; ") + Printable(name) +
            (fixed_places.count(name) != 0
                 ? " is fixed by the model already"
                 : " names no dynamic dimension of an input");
  }
  if (!idle.empty() && options.strict_dims) {
    throw ValueError("--dim fixes nothing in " + what + ": " + idle, "");
  }
  if (open.empty()) return;
  std::string list;
  for (const std::string& o : open) list += (list.empty() ? "" : ", ") + o;
  throw FormatError(what, "",
                    "dynamic dimensions left open: " + list +
                        "; fix them with --dim NAME=VALUE (an unnamed one as "
                        "--dim INPUT:AXIS=VALUE)");
}

Shape ShapeOfType(const onnx::TypeProto& type) {
  Shape s;
  if (!type.has_tensor_type() || !type.tensor_type().has_shape()) return s;
  for (const auto& d : type.tensor_type().shape().dim()) {
    s.push_back(d.has_dim_value() ? d.dim_value() : -1);
  }
  return s;
}

void RecordShape(Converter& c, const onnx::ValueInfoProto& v) {
  if (!v.type().has_tensor_type() || !v.type().tensor_type().has_shape()) {
    return;
  }
  const Shape s = ShapeOfType(v.type());
  if (std::all_of(s.begin(), s.end(), [](int64_t d) { return d > 0; })) {
    c.SetShape(v.name(), s);
  }
}

// The parsed model, in an arena that the graph's constants keep alive:
// their data is read where protobuf put it, and freed in one go.
struct ParsedModel {
  google::protobuf::Arena arena;
};

// A tensor of the model as an array: raw bytes viewed in place.
NdArray ModelTensor(const onnx::TensorProto& t, const std::string& place,
                    const std::shared_ptr<ParsedModel>& parsed) {
  const std::string& raw = t.raw_data();
  if (raw.empty()) return onnx_import::TensorArray(t, place);
  return onnx_import::ViewTensorArray(
      t, place, parsed,
      {reinterpret_cast<const std::byte*>(raw.data()), raw.size()});
}

// The other initializers once the checker and the folding are done with
// them: viewed where the parser put their bytes, not copied.
void ReadInitializers(const onnx::ModelProto& m, const std::string& what,
                      const std::shared_ptr<ParsedModel>& parsed,
                      Converter& c) {
  for (const auto& t : m.graph().initializer()) {
    if (c.ConstantOf(t.name()) != nullptr) continue;  // folded ones
    const std::string place = what + ": tensor '" + Printable(t.name()) + "'";
    c.SetShape(t.name(), Shape(t.dims().begin(), t.dims().end()));
    c.SetConstant(t.name(), ModelTensor(t, place, parsed));
  }
}

void RecordShapes(const onnx::GraphProto& g, Converter& c) {
  for (const auto& v : g.value_info()) RecordShape(c, v);
  for (const auto& v : g.output()) RecordShape(c, v);
  for (const auto& v : g.input()) RecordShape(c, v);
}

// ONNX's shape inference, strict: a node whose shapes it cannot reconcile
// is an error here, not a value left with a shape the rest contradicts.
void Infer(onnx::ModelProto& m) {
  onnx::shape_inference::InferShapes(
      m, onnx::OpSchemaRegistry::Instance(),
      onnx::ShapeInferenceOptions(/*check_type=*/true, /*error_mode=*/1));
}

// Whether some value still lacks the static shape that inference over the
// folded graph may give it.
bool WaitsForShape(const onnx::ModelProto& m, const Converter& c) {
  for (const auto& n : m.graph().node()) {
    for (const std::string& v : n.output()) {
      if (!v.empty() && !c.HasShape(v)) return true;
    }
  }
  return false;
}

// ONNX's checker and shape inference, then rounds of constant folding,
// each followed by shape inference over what is left, until none folds.
void CheckAndFold(onnx::ModelProto& m, const std::string& what, Converter& c) {
  try {
    onnx::checker::check_model(m);
    Infer(m);
    if (onnx_import::LiftOneDimensional(m)) {
      m.mutable_graph()->clear_value_info();
      Infer(m);
    }
    // Shape inference again only while a value waits for its shape.
    for (;;) {
      RecordShapes(m.graph(), c);
      if (onnx_import::FoldConstants(m, c) == 0 || !WaitsForShape(m, c)) break;
      m.mutable_graph()->clear_value_info();
      Infer(m);
    }
  } catch (const FormatError&) {
    throw;
  } catch (const std::exception& e) {
    throw FormatError(what, "", std::string("ONNX's checker: ") + e.what());
  }
}

// Whether an operation that works in any layout is converted in NHWC: its
// activations are 4-D, and one of them is held in NHWC already.
bool PrefersNhwc(const Converter& c, const onnx::NodeProto& n) {
  bool held = false;
  for (const std::string& v : n.input()) {
    if (v.empty()) continue;
    if (const NdArray* k = c.ConstantOf(v)) {
      if (k->ndim() > 4) return false;
      continue;
    }
    if (!c.HasShape(v) || c.OnnxShapeOf(v).size() != 4) return false;
    held = held || c.HasNhwc(v);
  }
  for (const std::string& v : n.output()) {
    if (!c.HasShape(v) || c.OnnxShapeOf(v).size() != 4) return false;
  }
  return held;
}

void ConvertNode(Converter& c, const onnx::NodeProto& n) {
  // Folded or fused into a layer before it already.
  if (c.IsConverted(n.output(0))) return;
  const auto* row = onnx_import::OnnxOp(n.op_type());
  if (row == nullptr) {
    const bool constant = std::all_of(
        n.input().begin(), n.input().end(),
        [&](const auto& v) { return v.empty() || c.ConstantOf(v) != nullptr; });
    static_assert(onnx_import::kMaxFoldedElements == 16'777'216);
    if (constant) {
      c.Fail(n,
             "reads constants only, but its result is not computed at import "
             "(over 16,777,216 elements, an index out of range, or elements "
             "of a type the importer does not read)");
    }
    std::string computed;
    for (const std::string& v : n.input()) {
      if (!v.empty() && c.ConstantOf(v) == nullptr) {
        computed = v;
        break;
      }
    }
    c.Fail(n,
           "is computed at import from constants and static shapes only; "
           "here it reads '" +
               Printable(computed) + "', a value the model computes");
  }
  const bool nhwc = row->any_layout && PrefersNhwc(c, n);
  c.set_nhwc_mode(nhwc);
  std::string result = n.output(0);
  if (onnx_import::FuseAt(c, n, result) == nullptr) row->convert(c, n);
  c.set_nhwc_mode(false);
  if (nhwc && !result.empty()) c.MarkNhwc(result);
}

bool IsImage(const Converter& c, const std::string& v) {
  return c.HasShape(v) && c.OnnxShapeOf(v).size() == 4;
}

void AddInputs(const onnx::GraphProto& g, const std::string& what, bool nhwc_io,
               Converter& c) {
  for (const auto& input : g.input()) {
    const std::string& v = input.name();
    if (c.ConstantOf(v)) continue;
    const auto elem = input.type().tensor_type().elem_type();
    if (elem != onnx::TensorProto::FLOAT) {
      throw FormatError(
          what, "input '" + Printable(v) + "'",
          "is not float32 (ONNX type " + std::to_string(elem) + ")");
    }
    const Shape& s = c.OnnxShapeOf(v);
    if (nhwc_io && s.size() == 4) {
      c.Add(c.NhwcName(v), "external", onnx_import::ToNhwc(s),
            {{"datatype", Value("float32")}}, {});
      c.MarkNhwc(v);
    } else {
      c.Add(v, "external", s, {{"datatype", Value("float32")}}, {});
    }
    c.graph().orig_inputs.push_back(v);
  }
}

void Convert(const onnx::ModelProto& m, const std::string& what, bool nhwc_io,
             const std::shared_ptr<ParsedModel>& parsed, Converter& c) {
  const onnx::GraphProto& g = m.graph();
  c.Index(g);
  if (nhwc_io) {
    for (const auto& v : g.input()) {
      if (IsImage(c, v.name())) c.NameNhwc(v.name());
    }
    for (const auto& v : g.output()) {
      if (IsImage(c, v.name())) c.NameNhwc(v.name());
    }
  }
  AddInputs(g, what, nhwc_io, c);
  // Every Constant first: a fusion looks at constants further on.
  for (const auto& n : g.node()) {
    if (n.op_type() == "Constant") {
      for (const auto& a : n.attribute()) {
        if (a.name() == "value" && a.has_t()) {
          c.SetConstant(
              n.output(0),
              ModelTensor(a.t(), what + ": node '" + Printable(n.name()) + "'",
                          parsed));
          c.SetShape(n.output(0),
                     Shape(a.t().dims().begin(), a.t().dims().end()));
        }
      }
      if (!c.ConstantOf(n.output(0))) c.Fail(n, "holds no tensor value");
    }
  }
  for (const auto& n : g.node()) {
    if (n.op_type() != "Constant") ConvertNode(c, n);
  }
  for (const auto& out : g.output()) {
    const std::string& v = out.name();
    c.graph().orig_outputs.push_back(
        c.Use(nhwc_io && IsImage(c, v) ? c.Nhwc(v) : c.Nchw(v)));
  }
}

}  // namespace

std::unique_ptr<Graph> ImportOnnxBytes(std::span<const std::byte> bytes,
                                       const std::string& folder,
                                       const std::string& what,
                                       const OnnxOptions& options,
                                       std::vector<std::string>* files_read) {
  if (bytes.size() >= kMaxModelBytes) {
    throw FormatError(what, "", "larger than an ONNX model can be");
  }
  auto parsed = std::make_shared<ParsedModel>();
  onnx::ModelProto& m =
      *google::protobuf::Arena::CreateMessage<onnx::ModelProto>(&parsed->arena);
  if (!m.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    throw FormatError(what, "", "not an ONNX model (protobuf cannot read it)");
  }
  auto graph = std::make_unique<Graph>();
  Converter c(*graph, what);
  CheckOpsets(m, what, c);
  FixDims(m, options, what);
  RefuseUnsupported(m.graph(), what);
  CheckWindows(m.graph(), what);
  ReadExternalData(m, folder, what, c, files_read);
  StripExternalData(m);
  CheckAndFold(m, what, c);
  ReadInitializers(m, what, parsed, c);
  Convert(m, what, options.nhwc_io, parsed, c);
  return graph;
}

std::unique_ptr<Graph> ImportOnnx(const std::string& path,
                                  const OnnxOptions& options,
                                  std::vector<std::string>* files_read) {
  const auto file = MappedFile::Open(path, "ONNX model", kMaxModelBytes);
  if (files_read != nullptr) files_read->push_back(path);
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return ImportOnnxBytes(file->bytes(), folder.empty() ? "." : folder, path,
                         options, files_read);
}

bool LooksLikeOnnx(std::span<const std::byte> head) {
  // A ModelProto begins with a field tag; every writer puts ir_version
  // (field 1, a varint: 0x08) first. A graph file begins with "{".
  return !head.empty() && head[0] == std::byte{0x08};
}

}  // namespace sarnic
