// Recurrent layers over a sequence of fixed length (LSTM, GRU), unrolled
// step by step into the engine's layers. The input projections of every
// step are one dense layer over the whole sequence; each step then reads
// its rows. A GRU whose gates match the engine's cell (linear_before_reset
// 1, as PyTorch exports it) becomes one gru layer per step.
#include "onnx/recurrent.h"

#include <string>
#include <vector>

#include "onnx/converter.h"
#include "onnx/decompose.h"
#include "onnx/rows.h"

namespace sarnic::onnx_import {

namespace {

using namespace recurrent;  // NOLINT(build/namespaces)

// ONNX LSTM, gates in the order i, o, f, c: per step
// g = x W^T + h R^T + b; c' = f ⊙ c + i ⊙ tanh(g_c); h' = o ⊙ tanh(c').
void Lstm(Converter& c, const onnx::NodeProto& n) {
  const Sizes s = Check(c, n, 4, {"Sigmoid", "Tanh", "Tanh"});
  if (IntAttr(n, "input_forget", 0) != 0) {
    c.Fail(n, "couples its input and forget gates, which is not converted");
  }
  if (const NdArray* p = OptionalConstant(c, n, 7, "peepholes P")) {
    if (!AllZero(*p)) c.Fail(n, "has peepholes, which are not converted");
  }
  const NdArray& r = *c.ConstantOf(n.input(2));
  const std::string rows = Rows(c, n, s);
  const int64_t H = s.H, N = s.N;
  std::vector<std::vector<std::string>> hs(static_cast<std::size_t>(s.D)),
      cs(hs.size());
  for (int64_t d = 0; d < s.D; ++d) {
    const std::string gx = Projection(c, n, rows, s, d, 4);
    const std::string rt = c.AddConstant(
        Name(c, n, "d" + std::to_string(d) + "/R"), Transposed(r, d, 0, 4 * H));
    std::string h = InitialState(c, n, 5, s, d, "h");
    std::string cell = InitialState(c, n, 6, s, d, "c");
    for (int64_t k = 0; k < s.T; ++k) {
      const int64_t t = Reversed(n, d) ? s.T - 1 - k : k;
      const auto at = [&](const char* what) { return Step(c, n, d, t, what); };
      std::string g = Cut(c, at("x_gates"), gx, 0, t * N, (t + 1) * N, 4 * H);
      if (!h.empty()) {
        const std::string hr = Product(c, at("h_gates"), h, rt, {N, 4 * H});
        g = Binary(c, at("gates"), "add", g, hr, {N, 4 * H});
      }
      const std::string iof =
          Unary(c, at("iof"), "sigmoid",
                Cut(c, at("iof_in"), g, 1, 0, 3 * H, N), {N, 3 * H});
      const std::string cand =
          Unary(c, at("candidate"), "tanh",
                Cut(c, at("c_in"), g, 1, 3 * H, 4 * H, N), {N, H});
      const std::string i = Cut(c, at("i"), iof, 1, 0, H, N);
      const std::string o = Cut(c, at("o"), iof, 1, H, 2 * H, N);
      std::string next = Binary(c, at("ic"), "mul", i, cand, {N, H});
      if (!cell.empty()) {
        const std::string f = Cut(c, at("f"), iof, 1, 2 * H, 3 * H, N);
        const std::string fc = Binary(c, at("fc"), "mul", f, cell, {N, H});
        next = Binary(c, at("c"), "add", fc, next, {N, H});
      }
      cell = next;
      const std::string tc = Unary(c, at("tanh_c"), "tanh", cell, {N, H});
      h = Binary(c, at("h"), "mul", o, tc, {N, H});
      hs[static_cast<std::size_t>(d)].push_back(h);
      cs[static_cast<std::size_t>(d)].push_back(cell);
    }
  }
  Gather(c, n, 0, s, hs);
  Gather(c, n, 1, s, hs);
  Gather(c, n, 2, s, cs);
}

// ONNX GRU, gates z, r, h. With linear_before_reset 1 the engine's cell
// computes it: [r, u] over [x, h] with u = z, the candidate's recurrent
// product inside the reset. With 0 the reset applies to h before its
// product, and the step is unrolled.
void Gru(Converter& c, const onnx::NodeProto& n) {
  const Sizes s = Check(c, n, 3, {"Sigmoid", "Tanh"});
  const NdArray& w = *c.ConstantOf(n.input(1));
  const NdArray& r = *c.ConstantOf(n.input(2));
  const NdArray* b = OptionalConstant(c, n, 3, "biases B");
  const bool cell = IntAttr(n, "linear_before_reset", 0) != 0;
  const std::string rows = Rows(c, n, s);
  const int64_t H = s.H, N = s.N, I = s.I;
  std::vector<std::vector<std::string>> hs(static_cast<std::size_t>(s.D));
  for (int64_t d = 0; d < s.D; ++d) {
    const std::string p = "d" + std::to_string(d) + "/";
    std::string h = InitialState(c, n, 5, s, d, "h");
    const auto vector = [&](const char* what, int64_t from) {
      std::vector<float> v(static_cast<std::size_t>(H));
      for (int64_t j = 0; j < H; ++j) {
        v[static_cast<std::size_t>(j)] =
            static_cast<float>(Bias(b, d, from + j));
      }
      return c.AddConstant(Name(c, n, p + what),
                           NdArray::FromValues<float>(DType::kFloat32, {H}, v));
    };
    if (cell) {
      // w_ir [I + H, 2H]: the columns r then u (= z), x rows over h rows.
      const auto gate = [&](int64_t row, int64_t col) {
        const int64_t g = col < H ? H + col : col - H;  // r, then z
        return row < I ? w.GetDouble((d * 3 * H + g) * I + row)
                       : r.GetDouble((d * 3 * H + g) * H + row - I);
      };
      const std::string wir =
          c.AddConstant(Name(c, n, p + "w_ir"), Matrix(I + H, 2 * H, gate));
      std::vector<float> bir(static_cast<std::size_t>(2 * H));
      for (int64_t j = 0; j < 2 * H; ++j) {
        const int64_t g = j < H ? H + j : j - H;
        bir[static_cast<std::size_t>(j)] =
            static_cast<float>(Bias(b, d, g) + Bias(b, d, 3 * H + g));
      }
      const std::string bir_node = c.AddConstant(
          Name(c, n, p + "b_ir"),
          NdArray::FromValues<float>(DType::kFloat32, {2 * H}, bir));
      const std::string wh =
          c.AddConstant(Name(c, n, p + "w_h"), Transposed(w, d, 2 * H, H));
      const std::string rh =
          c.AddConstant(Name(c, n, p + "r_h"), Transposed(r, d, 2 * H, H));
      const std::string bwh = vector("b_wh", 2 * H);
      const std::string brh = vector("b_rh", 5 * H);
      if (h.empty()) {
        h = c.AddConstant(Name(c, n, p + "h"),
                          NdArray::Zeros(DType::kFloat32, {N, H}));
      }
      for (int64_t k = 0; k < s.T; ++k) {
        const int64_t t = Reversed(n, d) ? s.T - 1 - k : k;
        const std::string xt =
            Cut(c, Step(c, n, d, t, "x"), rows, 0, t * N, (t + 1) * N, I);
        const std::string next = Step(c, n, d, t, "h");
        c.Add(next, "cudnn_gru", {N, H},
              {{"input", Value(xt)},
               {"h", Value(h)},
               {"w_ir", Value(wir)},
               {"b_ir", Value(bir_node)},
               {"w_h", Value(wh)},
               {"b_wh", Value(bwh)},
               {"r_h", Value(rh)},
               {"b_rh", Value(brh)}},
              {xt, h, wir, bir_node, wh, bwh, rh, brh});
        h = next;
        hs[static_cast<std::size_t>(d)].push_back(h);
      }
      continue;
    }
    // Unrolled: the recurrent biases of z and r join the input ones, and
    // the candidate's too (it is added outside the reset here).
    const std::string gx = Projection(c, n, rows, s, d, 3);
    const std::string rzr =
        c.AddConstant(Name(c, n, p + "R_zr"), Transposed(r, d, 0, 2 * H));
    const std::string rh =
        c.AddConstant(Name(c, n, p + "R_h"), Transposed(r, d, 2 * H, H));
    for (int64_t k = 0; k < s.T; ++k) {
      const int64_t t = Reversed(n, d) ? s.T - 1 - k : k;
      const auto at = [&](const char* what) { return Step(c, n, d, t, what); };
      const std::string g =
          Cut(c, at("x_gates"), gx, 0, t * N, (t + 1) * N, 3 * H);
      std::string zr = Cut(c, at("zr_in"), g, 1, 0, 2 * H, N);
      std::string cand = Cut(c, at("h_in"), g, 1, 2 * H, 3 * H, N);
      if (!h.empty()) {
        const std::string hzr = Product(c, at("h_zr"), h, rzr, {N, 2 * H});
        zr = Binary(c, at("zr_sum"), "add", zr, hzr, {N, 2 * H});
      }
      zr = Unary(c, at("zr"), "sigmoid", zr, {N, 2 * H});
      const std::string z = Cut(c, at("z"), zr, 1, 0, H, N);
      if (!h.empty()) {
        const std::string reset = Cut(c, at("r"), zr, 1, H, 2 * H, N);
        const std::string rh_in = Binary(c, at("rh"), "mul", reset, h, {N, H});
        const std::string hh = Product(c, at("h_h"), rh_in, rh, {N, H});
        cand = Binary(c, at("cand_sum"), "add", cand, hh, {N, H});
      }
      cand = Unary(c, at("candidate"), "tanh", cand, {N, H});
      // h' = z ⊙ h + (1 − z) ⊙ cand = cand + z ⊙ (h − cand).
      if (h.empty()) {
        const std::string zc = Binary(c, at("zc"), "mul", z, cand, {N, H});
        h = Binary(c, at("h"), "sub", cand, zc, {N, H});
      } else {
        const std::string diff = Binary(c, at("diff"), "sub", h, cand, {N, H});
        const std::string zd = Binary(c, at("zd"), "mul", z, diff, {N, H});
        h = Binary(c, at("h"), "add", cand, zd, {N, H});
      }
      hs[static_cast<std::size_t>(d)].push_back(h);
    }
  }
  Gather(c, n, 0, s, hs);
  Gather(c, n, 1, s, hs);
}

}  // namespace

void AddRecurrentRows(std::vector<OnnxOpRow>& rows) {
  rows.push_back(
      {"LSTM", Lstm,
       "unrolled over its fixed sequence: the input projections of all steps "
       "one dense; per step matmul, add, sigmoid, tanh, mul, add on slices "
       "of the gates; forward, reverse or bidirectional, initial states "
       "given or zero; no peepholes, clip, batch-first layout or "
       "sequence_lens shorter than the sequence"});
  rows.push_back(
      {"GRU", Gru,
       "linear_before_reset 1 (as PyTorch exports it): one gru layer per "
       "step; 0: unrolled like LSTM; directions, states and refusals as "
       "LSTM's"});
}

}  // namespace sarnic::onnx_import
