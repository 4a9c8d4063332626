// Writes the bundled example: a small MobileNet-style image classifier
// (convolutions, depthwise convolutions, batch normalization, ReLU6,
// pooling, a reshape, a dense layer and softmax) with deterministic
// weights, as a graph file, its weights file and a labels file.
//
//   snx-example-gen OUT_DIR
#include <cmath>
#include <fstream>
#include <iostream>

#include "sarnic/errors.h"
#include "sarnic/graph_file.h"

namespace {

using sarnic::DType;
using sarnic::NdArray;
using sarnic::Value;

class Builder {
 public:
  explicit Builder(sarnic::Graph& g) : g_(g) {}

  // Deterministic weights in [-scale, scale).
  NdArray Weights(sarnic::Shape shape, double scale, double bias = 0) {
    NdArray a = NdArray::Zeros(DType::kFloat32, shape);
    auto* f = reinterpret_cast<float*>(a.mutable_data());
    for (int64_t i = 0; i < a.size(); ++i) {
      state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
      const double u = static_cast<double>(state_ >> 11) / 9007199254740992.0;
      f[i] = static_cast<float>(bias + scale * (2 * u - 1));
    }
    return a;
  }

  std::string Constant(const std::string& name, NdArray a) {
    auto& n = g_.qm_nx_graph.add_node(name);
    n.set("op", Value("constant"));
    n.set("output_shape", Value::IntList(a.shape()));
    g_.tensor_dict.set(name, std::move(a));
    return name;
  }

  sarnic::AttrDict& Node(const std::string& name, const std::string& op,
                         const sarnic::Shape& shape,
                         const std::vector<std::string>& inputs) {
    auto& n = g_.qm_nx_graph.add_node(name);
    n.set("op", Value(op));
    n.set("output_shape", Value::IntList(shape));
    for (const auto& in : inputs) g_.qm_nx_graph.add_edge(in, name);
    return n;
  }

  // Convolution (groups == channels for a depthwise one), batch
  // normalization and ReLU6.
  std::string ConvBnRelu6(const std::string& name, const std::string& in,
                          int64_t hw, int64_t cin, int64_t cout, int64_t k,
                          int64_t stride, bool depthwise) {
    const int64_t out_hw = hw / stride;
    const sarnic::Shape out = {1, out_hw, out_hw, cout};
    const std::string w = Constant(
        name + "_w",
        Weights({k, k, depthwise ? 1 : cin, cout},
                std::sqrt(3.0 /
                          static_cast<double>(k * k * (depthwise ? 1 : cin)))));
    const std::string b = Constant(name + "_b", Weights({cout}, 0.05));
    auto& conv = Node(name, "conv", out, {in, w, b});
    conv.set("dilation", Value::IntList({1, 1}));
    conv.set("stride", Value::IntList({stride, stride}));
    conv.set("groups", Value(depthwise ? cin : int64_t{1}));
    if (k > 1) {
      conv.set("head", Value::IntList({0, 1, 1, 0}));
      conv.set("tail", Value::IntList({0, 1, 1, 0}));
    }
    conv.set("input", Value(in));
    conv.set("filter", Value(w));
    conv.set("bias", Value(b));
    const std::string mean = Constant(name + "_mean", Weights({cout}, 0.1));
    const std::string var = Constant(name + "_var", Weights({cout}, 0.2, 1.0));
    const std::string off = Constant(name + "_offset", Weights({cout}, 0.1));
    const std::string sc = Constant(name + "_scale", Weights({cout}, 0.2, 1.0));
    const std::string eps =
        Constant(name + "_eps",
                 NdArray::FromValues<float>(DType::kFloat32, {1}, {1e-3f}));
    auto& bn = Node(name + "_bn", "batch_normalization", out,
                    {name, mean, var, off, sc, eps});
    bn.set("input", Value(name));
    bn.set("mean", Value(mean));
    bn.set("variance", Value(var));
    bn.set("offset", Value(off));
    bn.set("scale", Value(sc));
    bn.set("epsilon", Value(eps));
    auto& act = Node(name + "_relu6", "relu6", out, {name + "_bn"});
    act.set("x", Value(name + "_bn"));
    return name + "_relu6";
  }

 private:
  sarnic::Graph& g_;
  uint64_t state_ = 20261208;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: snx-example-gen OUT_DIR\n";
    return 2;
  }
  const std::string dir = argv[1];
  try {
    sarnic::Graph g;
    Builder b(g);
    auto& in = b.Node("image", "external", {1, 64, 64, 3}, {});
    in.set("datatype", Value("float32"));
    std::string x = b.ConvBnRelu6("conv0", "image", 64, 3, 16, 3, 2, false);
    struct Block {
      int64_t hw, cin, cout, stride;
    };
    const Block blocks[] = {
        {32, 16, 32, 1}, {32, 32, 64, 2}, {16, 64, 128, 2}, {8, 128, 128, 1}};
    int i = 1;
    for (const Block& blk : blocks) {
      const std::string id = std::to_string(i++);
      x = b.ConvBnRelu6("dw" + id, x, blk.hw, blk.cin, blk.cin, 3, blk.stride,
                        true);
      x = b.ConvBnRelu6("pw" + id, x, blk.hw / blk.stride, blk.cin, blk.cout, 1,
                        1, false);
    }
    auto& pool = b.Node("pool", "avg_pool", {1, 1, 1, 128}, {x});
    pool.set("size", Value::IntList({8, 8}));
    pool.set("stride", Value::IntList({8, 8}));
    pool.set("input", Value(x));
    auto& flat = b.Node("flatten", "reshape", {1, 128}, {"pool"});
    flat.set("input", Value("pool"));
    const std::string w = b.Constant("fc_w", b.Weights({128, 10}, 0.15));
    const std::string bias = b.Constant("fc_b", b.Weights({10}, 0.05));
    auto& fc = b.Node("logits", "dense", {1, 10}, {"flatten", w, bias});
    fc.set("A", Value("flatten"));
    fc.set("B", Value(w));
    fc.set("bias", Value(bias));
    auto& sm = b.Node("probs", "softmax", {1, 10}, {"logits"});
    sm.set("x", Value("logits"));
    sm.set("axes", Value::IntList({-1}));
    g.orig_inputs = {"image"};
    g.orig_outputs = {"probs"};
    sarnic::SaveGraph(g, dir + "/mobilenet.json", "mobilenet.safetensors");
    std::ofstream labels(dir + "/labels.txt");
    for (const char* l : {"airplane", "automobile", "bird", "cat", "deer",
                          "dog", "frog", "horse", "ship", "truck"}) {
      labels << l << "\n";
    }
  } catch (const sarnic::Error& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
