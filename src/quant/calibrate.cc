// Calibration: the samples checked against the model's inputs, and the
// float model run over them one at a time with an observer per layer.
#include "quant/calibrate.h"

#include <chrono>
#include <cmath>

#include "sarnic/errors.h"
#include "sarnic/npy.h"
#include "sarnic/shapes.h"

namespace sarnic::quant {

Samples::Samples(const SampleSet& set, const std::vector<TensorSpec>& inputs,
                 const std::string& what)
    : set_(set) {
  for (const TensorSpec& spec : inputs) {
    const auto it = set.find(spec.name);
    const std::string place =
        "the " + what + " set's input '" + Printable(spec.name) + "'";
    if (it == set.end()) {
      throw ValueError("the " + what +
                       " set has no array for the model's "
                       "input '" +
                       Printable(spec.name) + "' (" + ShapeText(spec.shape) +
                       ")");
    }
    const NdArray& a = it->second;
    if (a.dtype() != spec.dtype) {
      throw ValueError(place + " holds " + std::string(DTypeName(a.dtype())) +
                       " data; the input takes " +
                       std::string(DTypeName(spec.dtype)) +
                       " (numpy: .astype(np.float32))");
    }
    const int64_t per = spec.shape.empty() ? 1 : spec.shape[0];
    Shape rest(spec.shape.begin() + (spec.shape.empty() ? 0 : 1),
               spec.shape.end());
    Shape got_rest(a.shape().begin() + (a.ndim() > 0 ? 1 : 0), a.shape().end());
    if (spec.shape.empty() || a.ndim() != static_cast<int>(spec.shape.size()) ||
        got_rest != rest || per <= 0 || a.shape()[0] % per != 0) {
      Shape want = spec.shape;
      if (!want.empty()) want[0] = -1;
      throw ValueError(place + " is " + ShapeText(a.shape()) +
                       "; the input is " + ShapeText(spec.shape) +
                       ", so its samples are stacked as [N" +
                       (rest.empty() ? "" : ", ") + ShapeText(rest).substr(1));
    }
    const int64_t n = a.shape()[0] / per;
    if (count_ >= 0 && n != count_) {
      throw ValueError("the " + what + " set holds " + std::to_string(count_) +
                       " samples for one input and " + std::to_string(n) +
                       " for '" + Printable(spec.name) +
                       "'; every input takes the same number");
    }
    count_ = n;
    if (a.dtype() == DType::kFloat32) {
      const auto* v = reinterpret_cast<const float*>(a.data());
      const int64_t each = a.size() / std::max<int64_t>(n, 1);
      for (int64_t i = 0; i < a.size(); ++i) {
        if (!std::isfinite(v[i])) {
          throw ValueError(place + " holds " +
                           (std::isnan(v[i]) ? "NaN" : "infinity") +
                           " in sample " + std::to_string(i / each) +
                           "; a sample is finite");
        }
      }
    }
    inputs_.push_back(spec);
  }
  for (const auto& [name, array] : set) {
    bool known = false;
    for (const TensorSpec& s : inputs) known = known || s.name == name;
    if (!known) {
      throw ValueError("the " + what + " set holds an array '" +
                       Printable(name) + "', which is no input of the model");
    }
  }
  if (count_ <= 0) {
    throw ValueError("the " + what + " set holds no samples");
  }
}

std::map<std::string, NdArray> Samples::At(int64_t i) const {
  std::map<std::string, NdArray> sample;
  for (const TensorSpec& spec : inputs_) {
    const NdArray& a = set_.at(spec.name);
    const std::size_t bytes = a.nbytes() / static_cast<std::size_t>(count_);
    sample.emplace(
        spec.name,
        NdArray::View(
            a.dtype(), spec.shape, a.owner(),
            a.bytes().subspan(static_cast<std::size_t>(i) * bytes, bytes)));
  }
  return sample;
}

Progress::Progress(std::ostream* out, std::string what, int64_t total)
    : out_(out),
      what_(std::move(what)),
      total_(total),
      start_(std::chrono::steady_clock::now()) {}

void Progress::Step(int64_t done) {
  if (out_ == nullptr) return;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_)
          .count();
  if (elapsed < 1.0 || elapsed - shown_ < 0.25) return;
  shown_ = elapsed;
  *out_ << "\r" << what_ << ": " << done << "/" << total_ << " samples"
        << std::flush;
  drawn_ = true;
}

Progress::~Progress() {
  if (drawn_) *out_ << "\n" << std::flush;
}

Ranges Calibrate(const Interpreter& model, const Samples& samples,
                 const QuantizeOptions& options) {
  const Method method = MethodNamed(options.method);
  if (method == Method::kPercentile &&
      !(options.percentile > 50 && options.percentile <= 100)) {
    throw ValueError("the percentile must be above 50 and at most 100, not " +
                     std::to_string(options.percentile));
  }
  std::map<std::string, RangeObserver> observers;
  int64_t i = 0;
  RunOptions run;
  run.observe = [&](const std::string& layer, const NdArray& out) {
    if (out.dtype() != DType::kFloat32) return;
    RangeObserver& o = observers.try_emplace(layer, method).first->second;
    const std::span<const float> values(
        reinterpret_cast<const float*>(out.data()),
        static_cast<std::size_t>(out.size()));
    if (!o.Observe(values)) {
      throw ValueError("layer '" + Printable(layer) +
                       "' computes NaN or infinity on calibration sample " +
                       std::to_string(i) + ": its range cannot be calibrated");
    }
  };
  Progress progress(options.progress, "calibrating", samples.count());
  for (; i < samples.count(); ++i) {
    model.Run(samples.At(i), run);
    progress.Step(i + 1);
  }
  Ranges ranges;
  for (const auto& [layer, o] : observers) {
    if (!o.empty()) ranges[layer] = o.Range(options.percentile);
  }
  return ranges;
}

}  // namespace sarnic::quant
