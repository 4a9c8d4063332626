// Helpers shared by the tests: graphs built in a few lines, and models and
// tensors decoded through the FlatBuffers verifier and the generated reader.
// Built for a layer's own tests (SARNIC_LAYER_TESTS), a decode stops there;
// in the whole library's tests it also runs the plan verifier and the
// interpreter, which live in layers above the exporter.
#ifndef SARNIC_TESTS_TEST_UTIL_H_
#define SARNIC_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sarnic/exporter.h"
#include "sarnic/schema.h"
#include "test_decode.h"
#ifndef SARNIC_LAYER_TESTS
#include "sarnic/analysis.h"
#include "sarnic/interpreter.h"
#endif

namespace sarnic::testing {

#ifndef SARNIC_LAYER_TESTS

// Inputs for every input of `model`, from a fixed seed: reals in [-1, 1],
// integers in [0, 10).
inline std::map<std::string, NdArray> SeededInputs(const Interpreter& model) {
  std::mt19937 rng(11);
  std::map<std::string, NdArray> inputs;
  for (const TensorSpec& spec : model.inputs()) {
    NdArray a = NdArray::Zeros(spec.dtype, spec.shape);
    for (int64_t i = 0; i < a.size(); ++i) {
      const auto v = static_cast<uint8_t>(rng() % 10);
      if (spec.dtype == DType::kFloat32) {
        const float f = std::uniform_real_distribution<float>(-1, 1)(rng);
        std::memcpy(a.mutable_data() + 4 * i, &f, 4);
      } else {
        std::memcpy(a.mutable_data() + a.itemsize() * i, &v, 1);
      }
    }
    inputs.emplace(spec.name, std::move(a));
  }
  return inputs;
}

// Runs a model the interpreter can run in its planned arena and with a
// buffer per output; every layer's output and every model output must
// agree bit for bit, or the plan lets a layer overwrite what is still read.
// Returns whether the model ran (models with layers the interpreter
// refuses, or shapes it does not accept, are not run).
inline bool ExpectArenaMatchesSeparateBuffers(const uint8_t* data,
                                              std::size_t size) {
  std::optional<Interpreter> model;
  try {
    model = Interpreter::FromBytes(std::vector<uint8_t>(data, data + size));
  } catch (const Error&) {
    return false;
  }
  const auto inputs = SeededInputs(*model);
  for (const bool all : {false, true}) {
    const auto arena = model->Run(inputs, {all, false});
    const auto separate = model->Run(inputs, {all, true});
    EXPECT_EQ(arena.size(), separate.size());
    for (std::size_t i = 0; i < arena.size() && i < separate.size(); ++i) {
      EXPECT_TRUE(arena[i].array == separate[i].array)
          << "'" << arena[i].name << "' differs between the arena and "
          << "separate buffers";
    }
  }
  return true;
}
#endif

// The model in `buffer` after the verifier accepted it; fails the test and
// returns null otherwise. Every model decoded here also goes through the
// plan verifier, which must find nothing in what the exporter wrote, and,
// when the interpreter runs it, the arena against separate buffers.
inline const snxf::Model* Decode(const uint8_t* data, std::size_t size) {
  flatbuffers::Verifier verifier(data, size);
  if (!snxf::VerifyModelBuffer(verifier)) {
    ADD_FAILURE() << "model buffer does not verify";
    return nullptr;
  }
#ifndef SARNIC_LAYER_TESTS
  for (const std::string& v : VerifyModel({data, size})) {
    ADD_FAILURE() << "plan verifier: " << v;
  }
  ExpectArenaMatchesSeparateBuffers(data, size);
#endif
  return snxf::GetModel(data);
}
inline const snxf::Model* Decode(const ModelBuffer& buffer) {
  return Decode(buffer.data(), buffer.size());
}

// A graph assembled node by node.
class TestGraph : public Graph {
 public:
  AttrDict& Add(
      const std::string& name, const std::string& op,
      std::vector<int64_t> shape,
      std::initializer_list<std::pair<std::string, Value>> attrs = {}) {
    AttrDict& node = qm_nx_graph.add_node(name);
    node.set("op", Value(op));
    node.set("output_shape", Value::IntList(shape));
    for (const auto& [k, v] : attrs) node.set(k, v);
    return node;
  }
  // A float32 constant node with data.
  AttrDict& Constant(const std::string& name, std::vector<int64_t> shape,
                     std::vector<float> values) {
    tensor_dict.set(name,
                    NdArray::FromValues<float>(DType::kFloat32, shape, values));
    return Add(name, "constant", std::move(shape));
  }
  void Edge(const std::string& a, const std::string& b) {
    qm_nx_graph.add_edge(a, b);
  }
  int optimize_calls = 0;
  void optimize() override { ++optimize_calls; }
};

// Options that print into `out` and plan no memory unless asked.
inline ExportOptions Quiet(std::ostringstream& out, bool mem_map = false) {
  ExportOptions o;
  o.mem_map = mem_map;
  o.diagnostics = &out;
  return o;
}

inline const snxf::Layer* LayerNamed(const snxf::Model* m,
                                     const std::string& name) {
  for (const auto* l : *m->layers()) {
    if (l->name()->str() == name) return l;
  }
  ADD_FAILURE() << "no layer " << name;
  return nullptr;
}

// A graph whose first nodes are external inputs, one per name given, and an
// export of it without memory planning.
class OpGraph : public TestGraph {
 public:
  explicit OpGraph(std::initializer_list<const char*> inputs) {
    for (const char* n : inputs) Add(n, "external", {1, 4});
  }
  // Exports and returns the layer `name`; the model stays alive in `buffer`.
  const snxf::Layer* Export(const std::string& name) {
    std::ostringstream out;
    SarnicExporter e(*this, "m", Quiet(out));
    buffer = e.run();
    printed = out.str();
    const snxf::Model* m = Decode(buffer);
    return m == nullptr ? nullptr : LayerNamed(m, name);
  }
  ModelBuffer buffer;
  std::string printed;
};

inline const snxf::Tensor* Param(const snxf::Layer* l, unsigned i) {
  return l->params()->Get(i);
}

}  // namespace sarnic::testing

#endif  // SARNIC_TESTS_TEST_UTIL_H_
