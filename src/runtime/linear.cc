// Matrix products (dense, linear, matmul) and the GRU cell: the dense
// layers through the dispatched product (kernels.h), the rest through Eigen.
#include <Eigen/Core>
#include <cmath>
#include <cstdint>
#include <optional>

#include "runtime/kernels.h"
#include "runtime/semantics.h"

namespace sarnic::runtime {

namespace {

using RowMatrix =
    Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using ConstMap = Eigen::Map<const RowMatrix>;
using Map = Eigen::Map<RowMatrix>;

Shape DenseShape(const ShapeContext& c) {
  const Shape &a = c.inputs[0], &b = c.inputs[1];
  if (a.empty() || b.size() != 2 || a.back() != b[0]) {
    c.layer.Fail("cannot multiply A " + ShapeText(a) + " by B " + ShapeText(b) +
                 ": B must be [K, M] for A [..., K]");
  }
  if (Count(c.inputs[2]) != b[1]) {
    c.layer.Fail("its bias holds " + std::to_string(Count(c.inputs[2])) +
                 " values for " + std::to_string(b[1]) + " outputs");
  }
  Shape out = a;
  out.back() = b[1];
  return out;
}

// A constant B [K, N] packed once, at load (from its transpose when the
// layer reads it transposed). Made only for kernels that pack: the
// portable ones read B where it is.
struct PackedB : Prepared {
  std::optional<PackedMatrix> matrix;
};

Preparation PackConstantB(const Tensor& b, bool transposed, uint64_t budget) {
  if (b.data == nullptr || b.shape.size() != 2) return {};
  const int64_t K = b.shape[transposed ? 1 : 0],
                N = b.shape[transposed ? 0 : 1];
  const uint64_t bytes = PackedMatrix::Footprint(ActiveKernels(), K, N);
  if (bytes == 0 || bytes > budget) return {};
  auto made = std::make_unique<PackedB>();
  if (!transposed) {
    made->matrix.emplace(ActiveKernels(), K, N, b.f(), N);
  } else {
    std::vector<float> t(static_cast<std::size_t>(K * N));
    for (int64_t n = 0; n < N; ++n) {
      for (int64_t k = 0; k < K; ++k) t[k * N + n] = b.f()[n * K + k];
    }
    made->matrix.emplace(ActiveKernels(), K, N, t.data(), N);
  }
  return {std::move(made), bytes};
}

Preparation PrepareDense(const PrepareContext& c) {
  return PackConstantB(c.inputs[1], false, c.budget);
}

// The bias and a relu or relu6 are applied where the product is written;
// another activation after it.
void Dense(const KernelContext& c) {
  const Shape& b = c.inputs[1].shape;
  const int64_t rows = c.inputs[0].count() / b[0];
  std::optional<PackedMatrix> here;
  const auto* prepared = static_cast<const PackedB*>(c.prepared);
  if (prepared == nullptr)
    here.emplace(ActiveKernels(), b[0], b[1], c.in(1), b[1]);
  const PackedMatrix& weights = prepared != nullptr ? *prepared->matrix : *here;
  const std::optional<Clamp> clamp = WrittenClamp(c.layer);
  const Epilogue e{c.in(2), clamp.value_or(Clamp::kNone)};
  ParallelFor(c.threads, rows, 16, [&](int64_t begin, int64_t end) {
    weights.Multiply(end - begin, c.in(0) + begin * b[0], b[0],
                     c.out() + begin * b[1], b[1], e);
  });
  if (!clamp.has_value()) ApplyActivation(c.layer, c.out(), c.output.count());
}

struct MatmulForm {
  bool ta, tb;
  int64_t m, k, n;
  Shape batch;
};

MatmulForm Form(const LayerView& v, const Shape& a, const Shape& b) {
  MatmulForm f{v.Has("transpose_a"), v.Has("transpose_b"), 0, 0, 0, {}};
  if (a.size() < 2 || b.size() < 2) {
    v.Fail("multiplies " + ShapeText(a) + " by " + ShapeText(b) +
           ": both operands need 2 dimensions or more");
  }
  const int64_t ar = a[a.size() - 2], ac = a.back();
  const int64_t br = b[b.size() - 2], bc = b.back();
  f.m = f.ta ? ac : ar;
  f.k = f.ta ? ar : ac;
  f.n = f.tb ? br : bc;
  if ((f.tb ? bc : br) != f.k) {
    v.Fail("cannot multiply " + ShapeText(a) + " by " + ShapeText(b) +
           std::string(f.ta ? " (A transposed)" : "") +
           (f.tb ? " (B transposed)" : ""));
  }
  f.batch = BroadcastShapes(v, Shape(a.begin(), a.end() - 2),
                            Shape(b.begin(), b.end() - 2));
  return f;
}

Shape MatmulShape(const ShapeContext& c) {
  const MatmulForm f = Form(c.layer, c.inputs[0], c.inputs[1]);
  Shape out = f.batch;
  out.push_back(f.m);
  out.push_back(f.n);
  return out;
}

// The matrix index of an operand with batch dims `dims` for the output
// batch index `index` (NumPy broadcasting of the batch dimensions).
int64_t BatchOffset(const Shape& dims, const Shape& batch,
                    const std::vector<int64_t>& index) {
  int64_t offset = 0;
  const std::size_t skip = batch.size() - dims.size();
  for (std::size_t d = 0; d < dims.size(); ++d) {
    offset = offset * dims[d] + (dims[d] == 1 ? 0 : index[d + skip]);
  }
  return offset;
}

// A constant 2-D B is packed at load when A is read as it stands.
Preparation PrepareMatmul(const PrepareContext& c) {
  if (c.layer.Has("transpose_a")) return {};
  return PackConstantB(c.inputs[1], c.layer.Has("transpose_b"), c.budget);
}

void Matmul(const KernelContext& c) {
  const Shape &as = c.inputs[0].shape, &bs = c.inputs[1].shape;
  const MatmulForm f = Form(c.layer, as, bs);
  const Shape ab(as.begin(), as.end() - 2), bb(bs.begin(), bs.end() - 2);
  std::vector<int64_t> index(f.batch.size(), 0);
  const int64_t batches = Count(f.batch);
  // One 2-D B read as it stands or transposed, packed at load or here: each
  // batch's A [M, K] times it (the same products either way).
  Preparation here;
  const auto* packed = static_cast<const PackedB*>(c.prepared);
  if (packed == nullptr && !f.ta && bs.size() == 2) {
    here = PackConstantB(c.inputs[1], f.tb, UINT64_MAX);
    packed = static_cast<const PackedB*>(here.prepared.get());
  }
  if (packed != nullptr) {
    for (int64_t i = 0; i < batches; ++i) {
      packed->matrix->Multiply(
          f.m, c.in(0) + BatchOffset(ab, f.batch, index) * f.m * f.k, f.k,
          c.out() + i * f.m * f.n, f.n);
      for (std::size_t d = index.size(); d-- > 0;) {
        if (++index[d] < f.batch[d]) break;
        index[d] = 0;
      }
    }
    return;
  }
  const int64_t a_rows = f.ta ? f.k : f.m, a_cols = f.ta ? f.m : f.k;
  const int64_t b_rows = f.tb ? f.n : f.k, b_cols = f.tb ? f.k : f.n;
  for (int64_t i = 0; i < batches; ++i) {
    ConstMap a(c.in(0) + BatchOffset(ab, f.batch, index) * a_rows * a_cols,
               a_rows, a_cols);
    ConstMap b(c.in(1) + BatchOffset(bb, f.batch, index) * b_rows * b_cols,
               b_rows, b_cols);
    Map out(c.out() + i * f.m * f.n, f.m, f.n);
    if (f.ta && f.tb) {
      out.noalias() = a.transpose() * b.transpose();
    } else if (f.ta) {
      out.noalias() = a.transpose() * b;
    } else if (f.tb) {
      out.noalias() = a * b.transpose();
    } else {
      out.noalias() = a * b;
    }
    for (std::size_t d = index.size(); d-- > 0;) {
      if (++index[d] < f.batch[d]) break;
      index[d] = 0;
    }
  }
}

// x [N, I], h [N, H], w_ir [I + H, 2H], b_ir [2H], w_h [I, H], b_wh [H],
// r_h [H, H], b_rh [H].
Shape GruShape(const ShapeContext& c) {
  const Shape &x = c.inputs[0], &h = c.inputs[1];
  if (x.size() != 2 || h.size() != 2 || x[0] != h[0]) {
    c.layer.Fail("its input " + ShapeText(x) + " and state " + ShapeText(h) +
                 " are not [N, I] and [N, H]");
  }
  const int64_t I = x[1], H = h[1];
  const Shape expected[] = {{I + H, 2 * H}, {2 * H}, {I, H}, {H}, {H, H}, {H}};
  static const char* const kNames[] = {"w_ir", "b_ir", "w_h",
                                       "b_wh", "r_h",  "b_rh"};
  for (std::size_t i = 0; i < 6; ++i) {
    if (Count(c.inputs[i + 2]) != Count(expected[i])) {
      c.layer.Fail(std::string("its ") + kNames[i] + " " +
                   ShapeText(c.inputs[i + 2]) + " is not " +
                   ShapeText(expected[i]));
    }
  }
  return h;
}

float Sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

void Gru(const KernelContext& c) {
  const int64_t N = c.inputs[0].shape[0], I = c.inputs[0].shape[1];
  const int64_t H = c.inputs[1].shape[1];
  RowMatrix xh(N, I + H);
  xh.leftCols(I) = ConstMap(c.in(0), N, I);
  xh.rightCols(H) = ConstMap(c.in(1), N, H);
  RowMatrix gates = xh * ConstMap(c.in(2), I + H, 2 * H);
  gates.rowwise() += Eigen::Map<const Eigen::RowVectorXf>(c.in(3), 2 * H);
  RowMatrix cand_in = ConstMap(c.in(0), N, I) * ConstMap(c.in(4), I, H);
  RowMatrix cand_h = ConstMap(c.in(1), N, H) * ConstMap(c.in(6), H, H);
  const float* h = c.in(1);
  for (int64_t n = 0; n < N; ++n) {
    for (int64_t j = 0; j < H; ++j) {
      const float r = Sigmoid(gates(n, j));
      const float u = Sigmoid(gates(n, H + j));
      const float cand = std::tanh(cand_in(n, j) + c.in(5)[j] +
                                   r * (cand_h(n, j) + c.in(7)[j]));
      c.out()[n * H + j] = u * h[n * H + j] + (1.0f - u) * cand;
    }
  }
}

// Each output element takes K multiply-adds.
double DenseCost(const CostContext& c) {
  return CountOf(c.output) * static_cast<double>(c.inputs[1][0]);
}

double MatmulCost(const CostContext& c) {
  const Shape& a = c.inputs[0];
  const int64_t k = c.layer.Has("transpose_a") ? a[a.size() - 2] : a.back();
  return CountOf(c.output) * static_cast<double>(k);
}

double GruCost(const CostContext& c) {
  double weights = 0;
  for (std::size_t i = 2; i < c.inputs.size(); ++i) {
    weights += CountOf(c.inputs[i]);
  }
  return static_cast<double>(c.inputs[0][0]) * weights;
}

}  // namespace

void AddLinearRows(std::vector<LayerSemantics>& rows) {
  using enum snxf::Op;
  const char* dense_meaning =
      "A [..., K] × B [K, M] + bias [M], then the fused \"activation\"";
  rows.push_back({dense, 3, 3, false, OutputType::kFloat32, Storage::kOwn,
                  DenseShape, Dense, "[A, B, bias]", dense_meaning, DenseCost,
                  nullptr, nullptr, nullptr, PrepareDense});
  rows.push_back({linear, 3, 3, false, OutputType::kFloat32, Storage::kOwn,
                  DenseShape, Dense, "[A, B, bias]", dense_meaning, DenseCost,
                  nullptr, nullptr, nullptr, PrepareDense});
  rows.push_back(
      {matmul, 2, 2, false, OutputType::kFloat32, Storage::kOwn, MatmulShape,
       Matmul, "[A, B]",
       "A [..., M, K] × B [..., K, N], the batch dimensions broadcast as NumPy "
       "broadcasts; a \"transpose_a\" or \"transpose_b\" parameter (its "
       "presence) transposes the last two axes of that operand first",
       MatmulCost, nullptr, nullptr, nullptr, PrepareMatmul});
  rows.push_back(
      {gru, 8, 8, false, OutputType::kFloat32, Storage::kOwn, GruShape, Gru,
       "[input, h, w_ir, b_ir, w_h, b_wh, r_h, b_rh]",
       "one GRU step with the gates over [x, h]: [r, u] = sigmoid([x, h] × "
       "w_ir + b_ir) (w_ir [I + H, 2H]), c = tanh(x × w_h + b_wh + r ⊙ (h × "
       "r_h + b_rh)), h' = u ⊙ h + (1 − u) ⊙ c; input [N, I], h and the "
       "output [N, H]",
       GruCost});
}

}  // namespace sarnic::runtime
