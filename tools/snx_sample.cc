// Exports a small built-in graph (an input, a float64 constant, an int8
// quantized constant, a variable and two external constants) and writes the
// model to the path given as the only argument.
#include <fstream>
#include <iostream>

#include "sarnic/errors.h"
#include "sarnic/exporter.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: snx-sample OUT.snx\n";
    return 2;
  }
  using sarnic::DType;
  using sarnic::NdArray;
  using sarnic::Value;
  try {
    sarnic::Graph g;
    auto& in = g.qm_nx_graph.add_node("input");
    in.set("op", "external");
    in.set("output_shape", Value::IntList({1, 4}));
    in.set("datatype", "float32");
    auto& w = g.qm_nx_graph.add_node("weights");
    w.set("op", "constant");
    w.set("output_shape", Value::IntList({4, 2}));
    g.tensor_dict.set("weights", NdArray::FromValues<double>(
                                     DType::kFloat64, {4, 2},
                                     {0.5, -1, 2, 0.25, 1, 1, -0.5, 3}));
    auto& q = g.qm_nx_graph.add_node("qweights");
    q.set("op", "constant");
    q.set("output_shape", Value::IntList({2}));
    q.set("quant_scale", sarnic::List{Value(0.02)});
    q.set("zero_point", NdArray::FromValues<int32_t>(DType::kInt32, {1}, {0}));
    q.set("quant_axis", 0);
    g.tensor_dict.set("qweights",
                      NdArray::FromValues<int8_t>(DType::kInt8, {2}, {12, -7}));
    auto& state = g.qm_nx_graph.add_node("state");
    state.set("op", "variable");
    state.set("output_shape", Value::IntList({1, 2}));
    g.tensor_dict.set("state", NdArray::Zeros(DType::kFloat32, {1, 2}));
    g.orig_inputs = {"input"};
    g.orig_outputs = {"state"};

    sarnic::ExportOptions options;
    options.ext_constants.emplace();
    options.ext_constants->set(
        "mean", NdArray::FromValues<int32_t>(DType::kInt32, {3, 1}, {1, 2, 3}));
    options.ext_constants->set(
        "std", NdArray::FromValues<float>(DType::kFloat32, {1}, {255.0f}));
    sarnic::SarnicExporter exporter(g, "sample", std::move(options));
    const sarnic::ModelBuffer model = exporter.run();
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(model.data()),
              static_cast<std::streamsize>(model.size()));
    if (!out) throw sarnic::IoError(std::string("cannot write ") + argv[1]);
    std::cout << "wrote " << argv[1] << " (" << model.size() << " bytes)\n";
  } catch (const sarnic::Error& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
