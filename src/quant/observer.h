// The range observers of calibration: one per layer output, fed one sample
// at a time, so that memory does not grow with the number of samples.
#ifndef SARNIC_QUANT_OBSERVER_H_
#define SARNIC_QUANT_OBSERVER_H_

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace sarnic::quant {

enum class Method { kMinMax, kPercentile, kEntropy };

// The method named `name` ("minmax", "percentile", "entropy"), or a
// ValueError listing them.
Method MethodNamed(const std::string& name);

class RangeObserver {
 public:
  static constexpr int kBins = 2048;

  explicit RangeObserver(Method method) : method_(method) {}

  // Records the values; false when one is NaN or infinite (nothing is
  // recorded then).
  bool Observe(std::span<const float> values);

  bool empty() const { return count_ == 0; }
  float min() const { return min_; }
  float max() const { return max_; }
  // The calibrated range: the extremes (minmax), the values at `percentile`
  // and 100 − `percentile` percent (percentile), or the clipping that keeps
  // the most information (entropy). Always within [min, max].
  std::pair<float, float> Range(double percentile) const;

  // The histogram (empty until the values have a range of some width): bin
  // b holds the values in [lo + b × width, lo + (b + 1) × width).
  std::span<const uint64_t> bins() const { return bins_; }
  double lo() const { return lo_; }
  double width() const { return width_; }

 private:
  void Widen(double lo, double hi);
  void Add(std::span<const float> values);
  std::pair<float, float> PercentileRange(double percentile) const;
  std::pair<float, float> EntropyRange() const;

  Method method_;
  uint64_t count_ = 0;
  float min_ = 0, max_ = 0;
  std::vector<uint64_t> bins_;
  double lo_ = 0, width_ = 0;
};

}  // namespace sarnic::quant

#endif  // SARNIC_QUANT_OBSERVER_H_
