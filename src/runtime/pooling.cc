// Pooling over the height and width of NHWC activations, in float and in
// int8.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "runtime/integer.h"
#include "runtime/semantics.h"
#include "runtime/windows.h"
#include "sarnic/value.h"

namespace sarnic::runtime {

namespace {

struct PoolGeometry {
  Pair window, stride;
  Pads pads;
  bool average = false;
};

PoolGeometry PoolSettings(const LayerView& v) {
  PoolGeometry g;
  g.window = Setting(v, "ksize", true);
  g.stride = Setting(v, "strides", true);
  g.pads = ReadPads(v);
  RequirePositive(v, g.window, "window");
  RequirePositive(v, g.stride, "stride");
  const std::string kind = v.Text("pooling");
  if (kind != "MAXIMUM" && kind != "AVERAGE") {
    v.Fail("pools by \"" + Printable(kind) + "\", neither MAXIMUM nor AVERAGE");
  }
  g.average = kind == "AVERAGE";
  return g;
}

Shape PoolShape(const ShapeContext& c) {
  const Shape& x = c.inputs[0];
  Require4D(c.layer, x, "input");
  const PoolGeometry g = PoolSettings(c.layer);
  return {x[0],
          OutputSize(c.layer, x[1], g.pads.head.h, g.pads.tail.h, g.window.h,
                     g.stride.h),
          OutputSize(c.layer, x[2], g.pads.head.w, g.pads.tail.w, g.window.w,
                     g.stride.w),
          x[3]};
}

// Averages over windows larger than this are running sums, whose cost does
// not grow with the window; smaller ones (and every maximum) are summed
// window by window.
constexpr int64_t kLargestSummedWindow = 64;

bool SumsRunning(const PoolGeometry& g) {
  return g.average && g.window.h * g.window.w > kLargestSummedWindow;
}

// Average pooling by running sums in double precision: each input row's
// sums over the window's columns (from its prefix sums), then the sums of
// those over the window's rows.
void RunningAveragePool(const KernelContext& c, const PoolGeometry& g) {
  const Shape& xs = c.inputs[0].shape;
  const int64_t H = xs[1], W = xs[2], C = xs[3];
  const int64_t OH = c.output.shape[1], OW = c.output.shape[2];
  auto columns = [&](int64_t ox) {
    const int64_t x0 = ox * g.stride.w - g.pads.head.w;
    return std::pair{std::clamp<int64_t>(x0, 0, W),
                     std::clamp<int64_t>(x0 + g.window.w, 0, W)};
  };
  std::vector<double> prefix((W + 1) * C, 0.0);
  // rows[(y + 1) × OW × C + ...]: the sums of input rows 0..y per output
  // column, so a window's rows are a difference of two.
  std::vector<double> rows((H + 1) * OW * C, 0.0);
  for (int64_t n = 0; n < xs[0]; ++n) {
    for (int64_t y = 0; y < H; ++y) {
      const float* in = c.in(0) + (n * H + y) * W * C;
      for (int64_t x = 0; x < W; ++x) {
        for (int64_t ch = 0; ch < C; ++ch) {
          prefix[(x + 1) * C + ch] = prefix[x * C + ch] + in[x * C + ch];
        }
      }
      for (int64_t ox = 0; ox < OW; ++ox) {
        const auto [xa, x1] = columns(ox);
        double* r = &rows[((y + 1) * OW + ox) * C];
        const double* above = &rows[(y * OW + ox) * C];
        for (int64_t ch = 0; ch < C; ++ch) {
          r[ch] = above[ch] + prefix[x1 * C + ch] - prefix[xa * C + ch];
        }
      }
    }
    for (int64_t oy = 0; oy < OH; ++oy) {
      const int64_t y0 = oy * g.stride.h - g.pads.head.h;
      const int64_t ya = std::clamp<int64_t>(y0, 0, H),
                    y1 = std::clamp<int64_t>(y0 + g.window.h, 0, H);
      for (int64_t ox = 0; ox < OW; ++ox) {
        const auto [xa, x1] = columns(ox);
        const int64_t cells = (y1 - ya) * (x1 - xa);
        float* o = c.out() + ((n * OH + oy) * OW + ox) * C;
        const double* top = &rows[(ya * OW + ox) * C];
        const double* bottom = &rows[(y1 * OW + ox) * C];
        for (int64_t ch = 0; ch < C; ++ch) {
          o[ch] = cells <= 0 ? 0.0f
                             : static_cast<float>((bottom[ch] - top[ch]) /
                                                  static_cast<double>(cells));
        }
      }
    }
  }
}

void Pool(const KernelContext& c) {
  const PoolGeometry g = PoolSettings(c.layer);
  if (SumsRunning(g)) return RunningAveragePool(c, g);
  const Shape& xs = c.inputs[0].shape;
  const int64_t H = xs[1], W = xs[2], C = xs[3];
  const int64_t OH = c.output.shape[1], OW = c.output.shape[2];
  std::vector<float> acc(C);
  for (int64_t n = 0; n < xs[0]; ++n) {
    for (int64_t oy = 0; oy < OH; ++oy) {
      for (int64_t ox = 0; ox < OW; ++ox) {
        const int64_t y0 = oy * g.stride.h - g.pads.head.h;
        const int64_t x0 = ox * g.stride.w - g.pads.head.w;
        const int64_t y1 = std::min(y0 + g.window.h, H),
                      x1 = std::min(x0 + g.window.w, W);
        const int64_t ya = std::max<int64_t>(y0, 0),
                      xa = std::max<int64_t>(x0, 0);
        std::fill(acc.begin(), acc.end(),
                  g.average ? 0.0f : -std::numeric_limits<float>::infinity());
        for (int64_t y = ya; y < y1; ++y) {
          for (int64_t xx = xa; xx < x1; ++xx) {
            const float* in = c.in(0) + ((n * H + y) * W + xx) * C;
            for (int64_t ch = 0; ch < C; ++ch) {
              acc[ch] =
                  g.average ? acc[ch] + in[ch] : std::max(acc[ch], in[ch]);
            }
          }
        }
        const int64_t cells = std::max<int64_t>((y1 - ya) * (x1 - xa), 0);
        float* o = c.out() + ((n * OH + oy) * OW + ox) * C;
        for (int64_t ch = 0; ch < C; ++ch) {
          o[ch] = cells == 0  ? 0.0f
                  : g.average ? acc[ch] / float(cells)
                              : acc[ch];
        }
      }
    }
  }
}

double PoolCost(const CostContext& c) {
  const PoolGeometry g = PoolSettings(c.layer);
  const Shape& x = c.inputs[0];
  if (SumsRunning(g)) {
    // The prefix sums, the rows' sums per output column, the outputs.
    return 2 * CountOf(x) +
           2 * CountOf({x[0], x[1], c.output[2], c.output[3]}) +
           CountOf(c.output);
  }
  const double window = static_cast<double>(std::min(g.window.h, x[1])) *
                        static_cast<double>(std::min(g.window.w, x[2]));
  return CountOf(c.output) * std::max(window, 1.0);
}

// a / b to the nearest integer, halves away from zero (b > 0).
int64_t RoundedDivide(int64_t a, int64_t b) {
  return a >= 0 ? (2 * a + b) / (2 * b) : -((-2 * a + b) / (2 * b));
}

}  // namespace

const char kInt8PoolMeaning[] =
    "MAXIMUM: the largest q of the window's unpadded positions; AVERAGE: "
    "their int32 sum divided by their count, halves away from zero; the "
    "output keeps its input's scale and zero point (a window with no "
    "unpadded position gives the zero point)";

void Int8Pool(const KernelContext& c) {
  const PoolGeometry g = PoolSettings(c.layer);
  const Shape& xs = c.inputs[0].shape;
  const int64_t H = xs[1], W = xs[2], C = xs[3];
  const int64_t OH = c.output.shape[1], OW = c.output.shape[2];
  const int32_t zero = TensorParams(c.layer, c.layer.layer()).zero_point;
  const auto* x = reinterpret_cast<const int8_t*>(c.inputs[0].data);
  auto* y = reinterpret_cast<int8_t*>(c.output.data);
  std::vector<int64_t> acc(static_cast<std::size_t>(C));
  for (int64_t n = 0; n < xs[0]; ++n) {
    for (int64_t oy = 0; oy < OH; ++oy) {
      for (int64_t ox = 0; ox < OW; ++ox) {
        const int64_t y0 = oy * g.stride.h - g.pads.head.h;
        const int64_t x0 = ox * g.stride.w - g.pads.head.w;
        const int64_t y1 = std::min(y0 + g.window.h, H);
        const int64_t x1 = std::min(x0 + g.window.w, W);
        const int64_t ya = std::max<int64_t>(y0, 0);
        const int64_t xa = std::max<int64_t>(x0, 0);
        std::fill(acc.begin(), acc.end(), g.average ? 0 : -128);
        for (int64_t iy = ya; iy < y1; ++iy) {
          for (int64_t ix = xa; ix < x1; ++ix) {
            const int8_t* in = x + ((n * H + iy) * W + ix) * C;
            for (int64_t ch = 0; ch < C; ++ch) {
              acc[ch] = g.average ? acc[ch] + in[ch]
                                  : std::max<int64_t>(acc[ch], in[ch]);
            }
          }
        }
        const int64_t cells = std::max<int64_t>((y1 - ya) * (x1 - xa), 0);
        int8_t* o = y + ((n * OH + oy) * OW + ox) * C;
        for (int64_t ch = 0; ch < C; ++ch) {
          o[ch] =
              static_cast<int8_t>(cells == 0  ? zero
                                  : g.average ? RoundedDivide(acc[ch], cells)
                                              : acc[ch]);
        }
      }
    }
  }
}

void AddPoolingRows(std::vector<LayerSemantics>& rows) {
  using enum snxf::Op;
  rows.push_back(
      {pool2d, 1, 1, false, OutputType::kFloat32, Storage::kOwn, PoolShape,
       Pool, "[input]",
       "\"pooling\" MAXIMUM or AVERAGE over the \"ksize\" window moved by "
       "\"strides\" (each [h, w] or [1, h, w, 1]) with \"head\"/\"tail\" "
       "pads; padded positions take no part: an average divides by the "
       "number of unpadded elements in the window (over a window of more "
       "than 64 elements, the sum is taken in double precision from running "
       "sums, so its cost does not grow with the window)",
       PoolCost});
}

}  // namespace sarnic::runtime
