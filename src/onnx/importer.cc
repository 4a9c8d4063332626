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
#include "sarnic/files.h"
#include "sarnic/onnx_import.h"

namespace sarnic {

using onnx_import::Converter;

namespace {

constexpr std::size_t kMaxModelBytes = std::size_t{2} << 30;

void CheckOpsets(const onnx::ModelProto& m, const std::string& what,
                 Converter& c) {
  const auto& map =
      onnx::OpSchemaRegistry::DomainToVersionRange::Instance().Map();
  const int64_t newest = map.at("").second;
  for (const auto& o : m.opset_import()) {
    if (o.domain() != "" && o.domain() != "ai.onnx") {
      throw FormatError(what, "",
                        "imports the operator set '" + Printable(o.domain()) +
                            "', which the importer does not read");
    }
    if (o.version() > newest) {
      throw FormatError(what, "",
                        "uses opset " + std::to_string(o.version()) +
                            ", newer than the " + std::to_string(newest) +
                            " this importer reads");
    }
    c.set_opset(o.version());
  }
}

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

// The data of an initializer stored outside the model, viewed in its
// mapped file: only a file inside the model's folder (no absolute path, no
// way out through ".." or a link).
NdArray ExternalData(const onnx::TensorProto& t, const std::string& folder,
                     const std::string& what,
                     std::vector<std::string>* files_read) {
  const std::string place = "tensor '" + Printable(t.name()) + "'";
  std::string location;
  int64_t offset = 0, length = -1;
  for (const auto& e : t.external_data()) {
    if (e.key() == "location") location = e.value();
    if (e.key() != "offset" && e.key() != "length") continue;
    int64_t& field = e.key() == "offset" ? offset : length;
    std::size_t used = 0;
    try {
      field = std::stoll(e.value(), &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != e.value().size()) {
      throw FormatError(what, place,
                        "its external data " + e.key() + " '" +
                            Printable(e.value()) + "' is not a whole number");
    }
  }
  namespace fs = std::filesystem;
  const fs::path rel(location);
  if (folder.empty() || location.empty() || rel.is_absolute()) {
    throw FormatError(what, place,
                      "its external data '" + Printable(location) +
                          "' is not a file inside the model's folder");
  }
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(fs::path(folder), ec);
  const fs::path file = fs::weakly_canonical(fs::path(folder) / rel, ec);
  const auto [b, f] =
      std::mismatch(base.begin(), base.end(), file.begin(), file.end());
  if (ec || b != base.end() || f == file.end()) {
    throw FormatError(what, place,
                      "its external data '" + Printable(location) +
                          "' leads out of the model's folder; refused");
  }
  const auto mapped = MappedFile::Open(file.string(), "external data file");
  if (files_read != nullptr && std::find(files_read->begin(), files_read->end(),
                                         file.string()) == files_read->end()) {
    files_read->push_back(file.string());
  }
  const auto size = static_cast<int64_t>(mapped->size());
  if (offset < 0 || offset > size || (length >= 0 && length > size - offset)) {
    throw FormatError(
        what, place,
        "its external data lies past the end of '" + Printable(location) + "'");
  }
  const std::span<const std::byte> bytes = mapped->bytes().subspan(
      static_cast<std::size_t>(offset),
      static_cast<std::size_t>(length < 0 ? size - offset : length));
  return onnx_import::ViewTensorArray(t, what + ": " + place, mapped, bytes);
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

// The ranks the model states before any inference: its inputs',
// initializers', Constant nodes', outputs' and value_info's. A name stated
// with two ranks is refused: ONNX's shape inference would take one for the
// other and read past the shorter shape.
std::map<std::string, int> StatedRanks(const onnx::GraphProto& g,
                                       const std::string& what) {
  std::map<std::string, int> ranks;
  auto state = [&](const std::string& name, int rank) {
    const auto [it, added] = ranks.emplace(name, rank);
    if (!added && it->second != rank) {
      throw FormatError(what, "value '" + Printable(name) + "'",
                        "is stated with " + std::to_string(it->second) +
                            " dimensions and with " + std::to_string(rank));
    }
  };
  auto state_info = [&](const onnx::ValueInfoProto& v) {
    if (v.type().has_tensor_type() && v.type().tensor_type().has_shape()) {
      state(v.name(), v.type().tensor_type().shape().dim_size());
    }
  };
  for (const auto& t : g.initializer()) state(t.name(), t.dims_size());
  for (const auto& v : g.input()) state_info(v);
  for (const auto& n : g.node()) {
    for (const auto& a : n.attribute()) {
      if (n.op_type() == "Constant" && a.has_t() && n.output_size() == 1) {
        state(n.output(0), a.t().dims_size());
      }
    }
  }
  for (const auto& v : g.value_info()) state_info(v);
  for (const auto& v : g.output()) state_info(v);
  return ranks;
}

// A window's attributes against its input's and filter's ranks, as far
// as the model states them.
std::string WindowProblem(const onnx::NodeProto& n,
                          const std::map<std::string, int>& ranks) {
  auto rank = [&](int i) {
    const auto it = i < n.input_size() ? ranks.find(n.input(i)) : ranks.end();
    return it == ranks.end() ? -1 : it->second;
  };
  const bool filtered = n.op_type() == "Conv" || n.op_type() == "ConvTranspose";
  int spatial = rank(0) >= 0 ? rank(0) - 2 : -1;
  if (filtered && rank(1) >= 0) {
    if (spatial >= 0 && rank(1) != spatial + 2) {
      return "has a filter of " + std::to_string(rank(1)) +
             " dimensions for an input of " + std::to_string(rank(0));
    }
    spatial = rank(1) - 2;
  }
  if (spatial == 0 || spatial < -1)
    return "has an input of fewer than 3 dimensions";
  for (const auto& a : n.attribute()) {
    const bool positive = a.name() == "strides" || a.name() == "dilations" ||
                          a.name() == "kernel_shape" ||
                          a.name() == "output_shape";
    const bool natural = a.name() == "pads" || a.name() == "output_padding";
    for (int64_t v : a.ints()) {
      if ((positive && v < 1) || (natural && v < 0)) {
        return "attribute '" + a.name() + "' holds " + std::to_string(v);
      }
    }
    const int per = a.name() == "pads" ? 2 : 1;
    if ((positive || natural) && spatial > 0 &&
        a.ints_size() != per * spatial) {
      return "attribute '" + a.name() + "' has " +
             std::to_string(a.ints_size()) + " values for " +
             std::to_string(spatial) + " spatial dimensions";
    }
    if (a.name() == "group" && a.i() < 1) {
      return "attribute 'group' holds " + std::to_string(a.i());
    }
  }
  return "";
}

// Convolutions and pooling checked before ONNX's own shape inference,
// which divides by their strides and reads their attributes and filters by
// their input's rank without checking: a zero, or a filter or list of the
// wrong length, would stop the process.
void CheckWindows(const onnx::GraphProto& g, const std::string& what) {
  const std::map<std::string, int> ranks = StatedRanks(g, what);
  for (const auto& n : g.node()) {
    const std::string& op = n.op_type();
    if (op != "Conv" && op != "ConvTranspose" && op != "MaxPool" &&
        op != "AveragePool") {
      continue;
    }
    const std::string problem = WindowProblem(n, ranks);
    if (!problem.empty()) {
      throw FormatError(what, "node '" + Printable(n.name()) + "' (" + op + ")",
                        problem);
    }
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

// Every operation without a row, with its count and first node.
void RefuseUnsupported(const onnx::GraphProto& g, const std::string& what) {
  std::map<std::string, std::pair<int, std::string>> missing;
  for (int i = 0; i < g.node_size(); ++i) {
    const onnx::NodeProto& n = g.node(i);
    if (n.op_type() == "Constant" || onnx_import::OnnxOp(n.op_type()) ||
        onnx_import::FoldsAtImport(n.op_type())) {
      continue;
    }
    auto& [count, first] = missing[n.op_type()];
    if (count++ == 0) first = onnx_import::NodeName(n, i);
  }
  if (missing.empty()) return;
  std::string list;
  for (const auto& [op, seen] : missing) {
    list += (list.empty() ? "" : ", ") + Printable(op) + " (" +
            std::to_string(seen.first) + ", first node " + seen.second + ")";
  }
  throw FormatError(what, "",
                    "has operations the importer does not convert: " + list +
                        " (snx-import --list-ops lists those it does; "
                        "docs/onnx.md, \"When an operation is missing\", says "
                        "what to do about the others)");
}

// External data is read (from inside the folder only) before ONNX's
// checker, which would look for the files itself.
void ReadExternalData(const onnx::ModelProto& m, const std::string& folder,
                      const std::string& what, Converter& c,
                      std::vector<std::string>* files_read) {
  for (const auto& t : m.graph().initializer()) {
    if (t.data_location() != onnx::TensorProto::EXTERNAL) continue;
    c.SetConstant(t.name(), ExternalData(t, folder, what, files_read));
    c.SetShape(t.name(), Shape(t.dims().begin(), t.dims().end()));
  }
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

// Initializers whose data lies outside the model, already read, become
// graph inputs of their type and shape: the checker and shape inference
// see them without looking for their files, and without a copy of them.
void StripExternalData(onnx::ModelProto& m) {
  auto* g = m.mutable_graph();
  auto* inits = g->mutable_initializer();
  for (int i = inits->size() - 1; i >= 0; --i) {
    const onnx::TensorProto& t = inits->Get(i);
    if (t.data_location() != onnx::TensorProto::EXTERNAL) continue;
    onnx::ValueInfoProto* input = g->add_input();
    input->set_name(t.name());
    auto* type = input->mutable_type()->mutable_tensor_type();
    type->set_elem_type(t.data_type());
    for (int64_t d : t.dims())
      type->mutable_shape()->add_dim()->set_dim_value(d);
    inits->DeleteSubrange(i, 1);
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
    c.Fail(n, constant ? "reads constants only, but its result is not computed "
                         "at import (over 16,777,216 elements, an index out "
                         "of range, or elements of a type the importer does "
                         "not read)"
                       : "is computed at import from constants and static "
                         "shapes only; here it reads a value the model "
                         "computes");
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

namespace {

// The bytes of one element of an ONNX tensor type (0 for strings and the
// unknown).
uint64_t OnnxItemBytes(int type) {
  switch (type) {
    case onnx::TensorProto::BOOL:
    case onnx::TensorProto::INT8:
    case onnx::TensorProto::UINT8:
      return 1;
    case onnx::TensorProto::INT16:
    case onnx::TensorProto::UINT16:
    case onnx::TensorProto::FLOAT16:
    case onnx::TensorProto::BFLOAT16:
      return 2;
    case onnx::TensorProto::FLOAT:
    case onnx::TensorProto::INT32:
    case onnx::TensorProto::UINT32:
      return 4;
    case onnx::TensorProto::DOUBLE:
    case onnx::TensorProto::INT64:
    case onnx::TensorProto::UINT64:
      return 8;
    default:
      return 0;
  }
}

std::string TypeText(const onnx::TypeProto& type) {
  if (!type.has_tensor_type()) return "(not a tensor)";
  std::string out = onnx::TensorProto::DataType_Name(
      static_cast<onnx::TensorProto::DataType>(type.tensor_type().elem_type()));
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char ch) { return std::tolower(ch); });
  out += " [";
  const auto& dims = type.tensor_type().shape().dim();
  for (int i = 0; i < dims.size(); ++i) {
    if (i > 0) out += ", ";
    out += dims[i].has_dim_value()       ? std::to_string(dims[i].dim_value())
           : dims[i].dim_param().empty() ? "?"
                                         : Printable(dims[i].dim_param());
  }
  return out + "]";
}

}  // namespace

std::string DescribeOnnxModel(const std::string& path) {
  const auto file = MappedFile::Open(path, "ONNX model", kMaxModelBytes);
  return DescribeOnnxBytes(file->bytes(), path);
}

std::string DescribeOnnxBytes(std::span<const std::byte> bytes,
                              const std::string& what) {
  google::protobuf::Arena arena;
  onnx::ModelProto& m =
      *google::protobuf::Arena::CreateMessage<onnx::ModelProto>(&arena);
  if (bytes.size() >= kMaxModelBytes || !LooksLikeOnnx(bytes) ||
      !m.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    throw FormatError(what, "", "not an ONNX model (protobuf cannot read it)");
  }
  std::ostringstream o;
  o << "ONNX model:  " << Printable(what) << " (" << bytes.size()
    << " bytes; nothing is converted or written)\n";
  o << "producer:    "
    << (m.producer_name().empty() ? std::string("(not named)")
                                  : Printable(m.producer_name()) + " " +
                                        Printable(m.producer_version()))
    << "\nopsets:     ";
  for (const auto& set : m.opset_import()) {
    o << " " << (set.domain().empty() ? "ai.onnx" : Printable(set.domain()))
      << " " << set.version();
  }
  const onnx::GraphProto& g = m.graph();
  std::set<std::string> initializers;
  uint64_t tensors = 0, elements = 0, param_bytes = 0;
  auto add = [&](const onnx::TensorProto& t) {
    uint64_t n = 1;
    for (const int64_t d : t.dims()) {
      n *= static_cast<uint64_t>(std::max<int64_t>(d, 0));
    }
    ++tensors;
    elements += n;
    param_bytes += n * OnnxItemBytes(t.data_type());
  };
  for (const auto& t : g.initializer()) {
    initializers.insert(t.name());
    add(t);
  }
  for (const auto& n : g.node()) {  // weights some exporters keep in nodes
    if (n.op_type() != "Constant") continue;
    for (const auto& a : n.attribute()) {
      if (a.name() == "value" && a.has_t()) add(a.t());
    }
  }
  o << "\ninputs:\n";
  for (const auto& v : g.input()) {
    if (initializers.count(v.name()) != 0) continue;
    o << "  " << Printable(v.name()) << "  " << TypeText(v.type()) << "\n";
  }
  o << "outputs:\n";
  for (const auto& v : g.output()) {
    o << "  " << Printable(v.name()) << "  " << TypeText(v.type()) << "\n";
  }
  o << "parameters:  " << tensors << " tensors, " << elements << " elements, "
    << param_bytes << " bytes\n";
  std::map<std::string, int> ops;
  for (const auto& n : g.node()) ++ops[n.op_type()];
  std::vector<std::string> missing;
  o << "operations:  " << g.node_size() << " nodes\n";
  for (const auto& [op, count] : ops) {
    const bool converts = op == "Constant" || onnx_import::OnnxOp(op) ||
                          onnx_import::FoldsAtImport(op);
    if (!converts) missing.push_back(op);
    o << "  " << Printable(op) << "  " << count
      << (converts ? "" : "  (not converted)") << "\n";
  }
  if (missing.empty()) {
    o << "every operation has a conversion; snx-export --check MODEL.onnx "
         "tries the whole import (fix dynamic dimensions with --dim)\n";
  } else {
    o << missing.size()
      << " operation(s) have no conversion: see docs/onnx.md, \"When an "
         "operation is missing\"\n";
  }
  return o.str();
}

bool LooksLikeOnnx(std::span<const std::byte> head) {
  // A ModelProto begins with a field tag; every writer puts ir_version
  // (field 1, a varint: 0x08) first. A graph file begins with "{".
  return !head.empty() && head[0] == std::byte{0x08};
}

std::string ListOnnxOperations() {
  std::string out;
  for (const auto& row : onnx_import::OnnxOps()) {
    out += std::string(row.op) + "  " + row.becomes + "\n";
  }
  out += "Computed at import when their inputs are constants: " +
         onnx_import::FoldedOpsText() + "\n";
  for (const auto& row : onnx_import::FusionRows()) {
    out += std::string("Fused: ") + row.name + " (at " + row.starts_at + ")\n";
  }
  return out;
}

namespace {

// The fusions' rows as a table.
std::string FusionsMarkdown() {
  std::string out =
      "## Fusions\n\n"
      "Nodes merged into one engine layer as the model is converted, each "
      "exact\nup to float rounding:\n\n"
      "| fusion | tried at | what it does |\n|---|---|---|\n";
  for (const auto& row : onnx_import::FusionRows()) {
    out += std::string("| ") + row.name + " | " + row.starts_at + " | " +
           row.does + " |\n";
  }
  return out + "\n";
}

}  // namespace

std::string OnnxOperationsMarkdown() {
  std::string out =
      "# ONNX operations\n\n"
      "Generated by `snx-import --onnx-markdown` from the importer's own\n"
      "table; `make test` fails when this page is out of date.\n"
      "`snx-import MODEL.onnx -o GRAPH.json` and `snx-export MODEL.onnx`\n"
      "convert these operations; a model with any other is refused with one\n"
      "error that lists every such operation, its count and its first node.\n"
      "Convolutions, pooling and resizing run in NHWC, and the element-wise\n"
      "operations between them follow, so that transposes remain only where\n"
      "an operation needs the model's own order (a reshape, a matmul) and at\n"
      "the boundary: the model's inputs and outputs keep their ONNX shapes,\n"
      "or with `--nhwc-io` its 4-D ones are NHWC. Dynamic dimensions are\n"
      "fixed with `--dim NAME=VALUE` (an unnamed one with\n"
      "`--dim INPUT:AXIS=VALUE`); external data is read only from files\n"
      "inside the model's folder.\n\n"
      "| ONNX operation | becomes |\n|---|---|\n";
  for (const auto& row : onnx_import::OnnxOps()) {
    out += std::string("| ") + row.op + " | " + row.becomes + " |\n";
  }
  return out +
         "\nComputed at import when every input is a constant (Shape: when "
         "its\ninput's shape is static), so that shape computations and "
         "rearranged\nweights become constants: " +
         onnx_import::FoldedOpsText() + ".\n\n" + FusionsMarkdown() +
         "## When an operation is missing\n\n"
         "The error lists every operation the importer does not convert, "
         "with its\ncount and its first node. What usually gets a model "
         "through:\n\n"
         "- Decompose it in the framework into operations above, before "
         "exporting:\n  GELU in its tanh form, 0.5 x (1 + tanh(0.7978846 (x "
         "+ 0.044715 x³))),\n  converts (`torch.nn.GELU(approximate=\"tanh\")`"
         " in PyTorch).\n"
         "- Cut the graph before post-processing the device does not need to "
         "run\n  (ArgMax, TopK, NonMaxSuppression): export the network up to "
         "its scores\n  (`onnx.utils.extract_model` cuts a saved model at "
         "named values) and do\n  the rest in the application.\n"
         "- Export again with another operator set (`opset_version` in "
         "PyTorch): a\n  newer framework may write an operation that an "
         "older set expresses with\n  the ones above, and the importer reads "
         "sets up to 17.\n"
         "- Fold what depends only on constants (`onnxsim` and the like): "
         "what the\n  importer computes itself is listed above.\n";
}

}  // namespace sarnic
