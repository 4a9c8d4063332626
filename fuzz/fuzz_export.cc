// Graph to model: a small graph decoded from the input (operations,
// attributes of every value kind, options), checked by every checker rule
// and exported with planning on. The only acceptable outcomes are a
// verified model or a project error; the checker never throws.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "check/checker_rules.h"
#include "sarnic/errors.h"
#include "sarnic/exporter.h"

namespace {

const char* const kOps[] = {"external",
                            "constant",
                            "variable",
                            "abs",
                            "sqr",
                            "rsqrt",
                            "add",
                            "add_n",
                            "leaky_relu",
                            "swish",
                            "conv",
                            "transpose_conv",
                            "avg_pool",
                            "max_pool",
                            "sum_reduce",
                            "reshape",
                            "transpose",
                            "slice",
                            "pad",
                            "concat",
                            "resize",
                            "softmax",
                            "dense",
                            "matmul",
                            "batch_normalization",
                            "cudnn_gru",
                            "copy",
                            "plugged",
                            "unknown"};
const char* const kKeys[] = {"x",
                             "y",
                             "input",
                             "filter",
                             "bias",
                             "values",
                             "axes",
                             "axis",
                             "mode",
                             "stride",
                             "dilation",
                             "groups",
                             "size",
                             "head",
                             "tail",
                             "alpha",
                             "hard",
                             "beta",
                             "begin",
                             "end",
                             "value",
                             "fusible",
                             "A",
                             "B",
                             "transposeA",
                             "transposeB",
                             "epsilon",
                             "mean",
                             "variance",
                             "offset",
                             "scale",
                             "h",
                             "activation",
                             "datatype",
                             "quant_scale",
                             "zero_point",
                             "quant_axis",
                             "panel",
                             "block",
                             "target",
                             "align_corners",
                             "half_pixel_centers"};

using sarnic::DType;
using sarnic::NdArray;
using sarnic::Value;

Value RandomValue(FuzzedDataProvider& in, int nodes, int depth) {
  switch (in.ConsumeIntegralInRange(0, depth > 2 ? 6 : 8)) {
    case 0:
      return Value();
    case 1:
      return Value(in.ConsumeBool());
    case 2:
      return Value(in.ConsumeIntegralInRange<int64_t>(-70000, 70000));
    case 3:
      return Value(in.ConsumeFloatingPoint<double>());
    case 4:
      return Value("n" + std::to_string(in.ConsumeIntegralInRange(0, nodes)));
    case 5:
      return Value(in.ConsumeRandomLengthString(8));
    case 6: {
      const int n = in.ConsumeIntegralInRange(0, 3);
      const auto dtype = static_cast<DType>(in.ConsumeIntegralInRange(0, 11));
      NdArray a = NdArray::Zeros(dtype, {n});
      const std::string raw = in.ConsumeBytesAsString(a.nbytes());
      std::copy(raw.begin(), raw.end(),
                reinterpret_cast<char*>(a.mutable_data()));
      return Value(a);
    }
    case 7: {
      sarnic::List l;
      const int n = in.ConsumeIntegralInRange(0, 5);
      for (int i = 0; i < n; ++i)
        l.push_back(RandomValue(in, nodes, depth + 1));
      return Value(std::move(l));
    }
    default: {
      sarnic::Dict d;
      d.set("k", RandomValue(in, nodes, depth + 1));
      return Value(std::move(d));
    }
  }
}

// A plug-in whose exporter does what the input says: writes a proper
// layer, leaves a table open, returns a tensor's offset or any integer, or
// fails. Whatever it returns, the export must refuse or produce a model
// that verifies.
std::shared_ptr<sarnic::UserExporter> FuzzedPlugin(
    FuzzedDataProvider& in, const sarnic::SarnicExporter& e) {
  auto user = std::make_shared<sarnic::TableUserExporter>();
  auto fn = [&in, &e](sarnic::BetterBuilder& b, sarnic::Graph&,
                      const sarnic::LayerIndex&, const std::string& name,
                      sarnic::AttrDict&,
                      const std::optional<std::string>&) -> sarnic::Offset {
    const sarnic::Offset tensor =
        e.export_tensor(b, "t", std::nullopt, Value(int64_t{1}));
    const sarnic::Offset layer_name = b.CreateString(name);
    snxf::LayerStart(b);
    snxf::LayerAddType(b, snxf::Op::relu);
    snxf::LayerAddName(b, layer_name);
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0:
        return snxf::LayerEnd(b);
      case 1:
        return tensor;  // the table is left open
      case 2:
        snxf::LayerEnd(b);
        return tensor;
      case 3:
        snxf::LayerEnd(b);
        return in.ConsumeIntegral<sarnic::Offset>();
      default:
        throw sarnic::ValueError("plug-in failure");
    }
  };
  user->add("plugged", fn);
  if (in.ConsumeBool()) user->add(in.PickValueInArray(kOps), fn);
  return user;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  sarnic::Graph g;
  const int nodes = in.ConsumeIntegralInRange(1, 8);
  for (int i = 0; i < nodes; ++i) {
    const std::string name = "n" + std::to_string(i);
    auto& node = g.qm_nx_graph.add_node(name);
    const char* op = in.PickValueInArray(kOps);
    node.set("op", Value(op));
    sarnic::List shape;
    const int rank = in.ConsumeIntegralInRange(0, 4);
    for (int d = 0; d < rank; ++d) {
      shape.push_back(Value(in.ConsumeIntegralInRange<int64_t>(-1, 9)));
    }
    node.set("output_shape", Value(shape));
    const int attrs = in.ConsumeIntegralInRange(0, 6);
    for (int a = 0; a < attrs; ++a) {
      node.set(in.PickValueInArray(kKeys), RandomValue(in, nodes, 0));
    }
    if (in.ConsumeBool()) {
      g.tensor_dict.set(name, RandomValue(in, nodes, 3).is_array()
                                  ? NdArray::Zeros(DType::kFloat32, {2})
                                  : NdArray::Zeros(DType::kInt8, {1}));
    }
    if (i > 0 && in.ConsumeBool()) {
      g.qm_nx_graph.add_edge(
          "n" + std::to_string(in.ConsumeIntegralInRange(0, i - 1)), name);
    }
  }
  g.orig_inputs = {"n0"};
  g.orig_outputs = {"n" + std::to_string(nodes - 1)};
  std::ostringstream out;
  sarnic::ExportOptions o;
  o.diagnostics = &out;
  o.opt_map = in.ConsumeBool();
  if (in.ConsumeBool()) o.labels = std::vector<std::string>{"a", "b"};
  if (in.ConsumeBool()) o.output_names = std::vector<std::string>{"renamed"};
  if (in.ConsumeBool()) {
    o.copy_layers = std::make_shared<std::vector<sarnic::CopyPair>>(
        std::vector<sarnic::CopyPair>{
            {"n" + std::to_string(in.ConsumeIntegralInRange(0, nodes)),
             "n" + std::to_string(in.ConsumeIntegralInRange(0, nodes))}});
  }
  if (in.ConsumeBool()) {
    o.save_layers =
        std::make_shared<std::vector<std::string>>(std::vector<std::string>{
            "n" + std::to_string(in.ConsumeIntegralInRange(0, nodes))});
  }
  if (in.ConsumeBool()) {
    o.user_ops.push_back(sarnic::Plugin{
        [&in](sarnic::SarnicExporter& e) { return FuzzedPlugin(in, e); }});
  }
  // Every checker rule on the graph as the export receives it: a rule never
  // throws, whatever the attributes hold (an exception here is a crash).
  sarnic::checker::RunRules(g, /*contain_faults=*/false);
  try {
    sarnic::SarnicExporter e(g, "fuzz", std::move(o));
    const sarnic::ModelBuffer model = e.run();
    flatbuffers::Verifier verifier(model.data(), model.size());
    if (!snxf::VerifyModelBuffer(verifier)) std::abort();
  } catch (const sarnic::Error&) {
  }
  return 0;
}
