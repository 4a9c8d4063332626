#include "onnx/model_checks.h"

#include <algorithm>
#include <map>

#include "onnx/fold.h"
#include "onnx/newer_opsets.h"
#include "onnx/rows.h"
#include "sarnic/value.h"

namespace sarnic::onnx_import {

namespace {

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

}  // namespace

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

void CheckOpsets(onnx::ModelProto& m, const std::string& what, Converter& c) {
  // A node of another operator set is refused by name; importing a set
  // that no node uses is not using it.
  for (const auto& n : m.graph().node()) {
    if (n.domain() != "" && n.domain() != "ai.onnx") {
      throw FormatError(
          what,
          "node '" + Printable(n.name()) + "' (" + Printable(n.op_type()) + ")",
          "is of the operator set '" + Printable(n.domain()) +
              "', which the importer does not read");
    }
  }
  int64_t version = 0;
  for (const auto& o : m.opset_import()) {
    if (o.domain() != "" && o.domain() != "ai.onnx") continue;
    if (o.version() > kNewestOpset) {
      throw FormatError(what, "",
                        "uses opset " + std::to_string(o.version()) +
                            ", newer than the " + std::to_string(kNewestOpset) +
                            " this importer reads");
    }
    version = std::max(version, o.version());
  }
  if (version > kCheckedOpset) {
    LowerToCheckedOpset(m, version, what);
    version = kCheckedOpset;
  }
  c.set_opset(version);
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

}  // namespace sarnic::onnx_import
