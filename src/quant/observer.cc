// Range observers: the extremes of every value seen and, for the methods
// that clip, a histogram of 2,048 bins that widens by merging whole bins as
// the range grows.
#include "quant/observer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "sarnic/errors.h"

namespace sarnic::quant {

Method MethodNamed(const std::string& name) {
  if (name == "minmax") return Method::kMinMax;
  if (name == "percentile") return Method::kPercentile;
  if (name == "entropy") return Method::kEntropy;
  throw ValueError(
      "calibration method must be \"minmax\", \"percentile\" or "
      "\"entropy\", not \"" +
      name + "\"");
}

bool RangeObserver::Observe(std::span<const float> values) {
  if (values.empty()) return true;
  float lo = values[0], hi = values[0];
  for (const float v : values) {
    if (!std::isfinite(v)) return false;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  const uint64_t before = count_;
  const float earlier = min_;  // every value before, while there are no bins
  min_ = before == 0 ? lo : std::min(min_, lo);
  max_ = before == 0 ? hi : std::max(max_, hi);
  count_ += values.size();
  if (method_ == Method::kMinMax) return true;
  if (bins_.empty()) {
    if (min_ == max_) return true;  // no width yet: every value is min_
    Widen(min_, max_);
    if (before > 0) {
      const auto b = std::clamp<int64_t>(
          static_cast<int64_t>(std::floor((earlier - lo_) / width_)), 0,
          kBins - 1);
      bins_[static_cast<std::size_t>(b)] += before;
    }
  } else if (min_ < lo_ || max_ >= lo_ + width_ * kBins) {
    Widen(min_, max_);
  }
  Add(values);
  return true;
}

void RangeObserver::Add(std::span<const float> values) {
  for (const float v : values) {
    const auto b = std::clamp<int64_t>(
        static_cast<int64_t>(std::floor((v - lo_) / width_)), 0, kBins - 1);
    ++bins_[static_cast<std::size_t>(b)];
  }
}

// Covers [lo, hi]: the first time with kBins bins of equal width; later by
// moving the start down by whole bins and merging every k neighbours into
// one, so that no count is split between bins.
void RangeObserver::Widen(double lo, double hi) {
  if (bins_.empty()) {
    bins_.assign(kBins, 0);
    lo_ = lo;
    width_ = (hi - lo) / kBins * (1 + 1e-6);
    if (!(width_ > 0)) width_ = std::numeric_limits<float>::min();
    return;
  }
  // The bins above the largest value seen are empty, so the new bins need
  // only reach `hi` (max_ already holds every value so far).
  const double shift = lo < lo_ ? std::ceil((lo_ - lo) / width_) : 0.0;
  const double start = lo_ - shift * width_;
  const double k =
      std::max(1.0, std::ceil((hi - start) / (width_ * kBins) * (1 + 1e-9)));
  std::vector<uint64_t> merged(kBins, 0);
  if (k <= static_cast<double>(kBins) * kBins) {
    const auto j = static_cast<int64_t>(shift);
    const auto kk = static_cast<int64_t>(k);
    // Bins past the new top are empty (above max_): the clamp moves none.
    for (int64_t b = 0; b < kBins; ++b) {
      const int64_t to = std::min<int64_t>((b + j) / kk, kBins - 1);
      merged[static_cast<std::size_t>(to)] +=
          bins_[static_cast<std::size_t>(b)];
    }
    lo_ = start;
    width_ *= k;
  } else {
    // The old range is far below one new bin: its counts fall in the bin of
    // its middle.
    const double middle = lo_ + width_ * kBins / 2;
    uint64_t all = 0;
    for (const uint64_t c : bins_) all += c;
    lo_ = lo;
    width_ = (hi - lo) / kBins * (1 + 1e-6);
    const auto b = std::clamp<int64_t>(
        static_cast<int64_t>(std::floor((middle - lo_) / width_)), 0,
        kBins - 1);
    merged[static_cast<std::size_t>(b)] = all;
  }
  bins_ = std::move(merged);
}

std::pair<float, float> RangeObserver::Range(double percentile) const {
  if (method_ == Method::kMinMax || bins_.empty()) return {min_, max_};
  return method_ == Method::kPercentile ? PercentileRange(percentile)
                                        : EntropyRange();
}

namespace {

float Within(double v, float lo, float hi) {
  return std::clamp(static_cast<float>(v), lo, hi);
}

}  // namespace

std::pair<float, float> RangeObserver::PercentileRange(
    double percentile) const {
  const double total = static_cast<double>(count_);
  const double below = (100.0 - percentile) / 100.0 * total;
  const double upto = percentile / 100.0 * total;
  double cum = 0;
  int lo_bin = 0;
  for (; lo_bin < kBins; ++lo_bin) {
    cum += static_cast<double>(bins_[static_cast<std::size_t>(lo_bin)]);
    if (cum > below) break;
  }
  cum = 0;
  int hi_bin = 0;
  for (; hi_bin < kBins - 1; ++hi_bin) {
    cum += static_cast<double>(bins_[static_cast<std::size_t>(hi_bin)]);
    if (cum >= upto) break;
  }
  return {Within(lo_ + lo_bin * width_, min_, max_),
          Within(lo_ + (hi_bin + 1) * width_, min_, max_)};
}

// The clipping [a, b) of the histogram, each side of the bin of 0 shrunk
// on its own, whose 255-level quantisation is nearest to the clipped
// distribution (the values beyond it counted in its end bins), by
// Kullback-Leibler divergence.
std::pair<float, float> RangeObserver::EntropyRange() const {
  constexpr int kLevels = 255, kSteps = 24;
  const int zero = static_cast<int>(
      std::clamp<double>(std::floor((0.0 - lo_) / width_), 0, kBins - 1));
  double total = 0;
  std::vector<double> cum(kBins + 1, 0);  // cum[i]: the counts below bin i
  for (int i = 0; i < kBins; ++i) {
    total += static_cast<double>(bins_[static_cast<std::size_t>(i)]);
    cum[static_cast<std::size_t>(i) + 1] = total;
  }
  double best = std::numeric_limits<double>::infinity();
  std::pair<int, int> best_window{0, kBins};
  std::vector<double> p, q;
  for (int left = 0; left <= kSteps; ++left) {
    for (int right = 0; right <= kSteps; ++right) {
      const int a = zero - static_cast<int>(std::lround(
                               static_cast<double>(zero) * left / kSteps));
      const int b =
          zero + 1 +
          static_cast<int>(std::lround(static_cast<double>(kBins - 1 - zero) *
                                       right / kSteps));
      const int n = b - a;
      p.assign(bins_.begin() + a, bins_.begin() + b);
      q.assign(static_cast<std::size_t>(n), 0);
      const int levels = std::min(kLevels, n);
      for (int g = 0; g < levels; ++g) {
        const int from = static_cast<int>(int64_t{g} * n / levels);
        const int to = static_cast<int>(int64_t{g + 1} * n / levels);
        double mass = 0;
        int nonzero = 0;
        for (int i = from; i < to; ++i) {
          mass += p[static_cast<std::size_t>(i)];
          nonzero += p[static_cast<std::size_t>(i)] > 0 ? 1 : 0;
        }
        for (int i = from; i < to; ++i) {
          if (p[static_cast<std::size_t>(i)] > 0) {
            q[static_cast<std::size_t>(i)] = mass / nonzero;
          }
        }
      }
      p.front() += cum[static_cast<std::size_t>(a)];
      p.back() += total - cum[static_cast<std::size_t>(b)];
      double kl = 0;
      for (int i = 0; i < n; ++i) {
        const double pi = p[static_cast<std::size_t>(i)] / total;
        if (pi <= 0) continue;
        const double qi =
            std::max(q[static_cast<std::size_t>(i)] / total, 1e-12);
        kl += pi * std::log(pi / qi);
      }
      // Ties go to the narrower window, whose steps are finer.
      if (kl < best - 1e-12) {
        best = kl;
        best_window = {a, b};
      }
    }
  }
  return {Within(lo_ + best_window.first * width_, min_, max_),
          Within(lo_ + best_window.second * width_, min_, max_)};
}

}  // namespace sarnic::quant
