// The samples of a calibration or validation set, and the calibration run.
#ifndef SARNIC_QUANT_CALIBRATE_H_
#define SARNIC_QUANT_CALIBRATE_H_

#include <chrono>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "quant/observer.h"
#include "quant/rewrite.h"
#include "sarnic/interpreter.h"
#include "sarnic/quantize.h"

namespace sarnic::quant {

// A set checked against the model's inputs: an array for every input and
// no other, of its element type, its samples stacked on the first axis, the
// same number for each input, every value finite; at least one sample. A
// ValueError naming the input otherwise. `what` names the set.
class Samples {
 public:
  Samples(const SampleSet& set, const std::vector<TensorSpec>& inputs,
          const std::string& what);
  int64_t count() const { return count_; }
  // Sample `i` of every input, viewed in the input's shape (no copy).
  std::map<std::string, NdArray> At(int64_t i) const;

 private:
  const SampleSet& set_;
  std::vector<TensorSpec> inputs_;
  int64_t count_ = -1;
};

// A line on `out` ("calibrating: 120/500 samples") redrawn while a pass
// runs for longer than a second; ended by a line break.
class Progress {
 public:
  Progress(std::ostream* out, std::string what, int64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Step(int64_t done);

 private:
  std::ostream* out_;
  std::string what_;
  int64_t total_;
  std::chrono::steady_clock::time_point start_;
  double shown_ = 0;
  bool drawn_ = false;
};

// The range of every float layer output of `model` over the samples.
Ranges Calibrate(const Interpreter& model, const Samples& samples,
                 const QuantizeOptions& options);

}  // namespace sarnic::quant

#endif  // SARNIC_QUANT_CALIBRATE_H_
