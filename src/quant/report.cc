// The report: errors of the int8 model against the float model, in real
// units and in quantisation steps, and its text and JSON forms.
#include "quant/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "sarnic/errors.h"

namespace sarnic::quant {
namespace {

using fixed_point::QuantParams;

// An array's elements as doubles; int8 ones dequantised by `p`.
std::vector<double> Reals(const NdArray& a, const QuantParams* p) {
  std::vector<double> v(static_cast<std::size_t>(a.size()));
  for (int64_t i = 0; i < a.size(); ++i) {
    const double x = a.GetDouble(i);
    v[static_cast<std::size_t>(i)] =
        p != nullptr && a.dtype() == DType::kInt8
            ? static_cast<double>(p->scale) * (x - p->zero_point)
            : x;
  }
  return v;
}

struct Accumulator {
  double max_abs = 0, sum_abs = 0, dot = 0, ff = 0, qq = 0, err2 = 0;
  int64_t count = 0, top1 = 0, clipped = 0;

  void Add(const std::vector<double>& f, const std::vector<double>& q) {
    for (std::size_t i = 0; i < f.size() && i < q.size(); ++i) {
      const double e = std::fabs(f[i] - q[i]);
      max_abs = std::max(max_abs, e);
      sum_abs += e;
      dot += f[i] * q[i];
      ff += f[i] * f[i];
      qq += q[i] * q[i];
      err2 += e * e;
      ++count;
    }
  }
};

// An output whose elements are classes: one axis longer than 1.
bool HasClassAxis(const Shape& shape) {
  int long_axes = 0;
  for (const int64_t d : shape) long_axes += d > 1 ? 1 : 0;
  return long_axes == 1;
}

std::size_t ArgMax(const std::vector<double>& v) {
  return static_cast<std::size_t>(std::max_element(v.begin(), v.end()) -
                                  v.begin());
}

}  // namespace

void Compare(const Interpreter& float_model, const Interpreter& int8_model,
             const Rewritten& rewritten, const Samples& samples,
             const std::string& set, const QuantizeOptions& options,
             QuantReport& report) {
  const bool layers = set == "calibration";
  // Float outputs of the layers that have an int8 counterpart, this sample.
  std::map<std::string, std::vector<double>> float_out;
  std::set<std::string> watched;
  for (const auto& [now, was] : rewritten.int8_of) watched.insert(was);
  RunOptions float_run;
  if (layers) {
    float_run.observe = [&](const std::string& layer, const NdArray& out) {
      if (watched.count(layer)) float_out[layer] = Reals(out, nullptr);
    };
  }
  std::map<std::string, Accumulator> layer_acc;
  RunOptions int8_run;
  if (layers) {
    int8_run.observe = [&](const std::string& layer, const NdArray& out) {
      const auto it = rewritten.int8_of.find(layer);
      if (it == rewritten.int8_of.end() || out.dtype() != DType::kInt8) return;
      const auto f = float_out.find(it->second);
      if (f == float_out.end()) return;
      const QuantParams& p = rewritten.params.at(layer);
      Accumulator& a = layer_acc[layer];
      a.Add(f->second, Reals(out, &p));
      const double lo = p.scale * (-128.5 - p.zero_point);
      const double hi = p.scale * (127.5 - p.zero_point);
      for (const double x : f->second) a.clipped += x < lo || x > hi ? 1 : 0;
    };
  }
  const std::vector<TensorSpec>& outs = float_model.outputs();
  std::vector<Accumulator> out_acc(outs.size());
  Progress progress(options.progress, "comparing on the " + set + " set",
                    samples.count());
  for (int64_t i = 0; i < samples.count(); ++i) {
    const auto sample = samples.At(i);
    const std::vector<NamedArray> f = float_model.Run(sample, float_run);
    // An int8 model input takes the sample by the quant rule.
    std::map<std::string, NdArray> int8_sample;
    for (const TensorSpec& spec : int8_model.inputs()) {
      const NdArray& x = sample.at(spec.name);
      if (spec.dtype != DType::kInt8) {
        int8_sample.emplace(spec.name, x);
        continue;
      }
      const QuantParams& p = rewritten.params.at(spec.name);
      NdArray q = NdArray::Zeros(DType::kInt8, spec.shape);
      auto* d = reinterpret_cast<int8_t*>(q.mutable_data());
      for (int64_t k = 0; k < x.size(); ++k) {
        const double r = std::nearbyint(x.GetDouble(k) / p.scale);
        d[k] = static_cast<int8_t>(std::clamp(r + p.zero_point, -128.0, 127.0));
      }
      int8_sample.emplace(spec.name, std::move(q));
    }
    const std::vector<NamedArray> q = int8_model.Run(int8_sample, int8_run);
    for (std::size_t k = 0; k < outs.size() && k < q.size(); ++k) {
      const auto p = rewritten.params.find(q[k].name);
      const std::vector<double> fv = Reals(f[k].array, nullptr);
      const std::vector<double> qv =
          Reals(q[k].array, p != rewritten.params.end() ? &p->second : nullptr);
      out_acc[k].Add(fv, qv);
      out_acc[k].top1 += ArgMax(fv) == ArgMax(qv) ? 1 : 0;
    }
    progress.Step(i + 1);
  }
  for (std::size_t k = 0; k < outs.size(); ++k) {
    const Accumulator& a = out_acc[k];
    OutputError e;
    e.output = outs[k].name;
    e.set = set;
    e.samples = samples.count();
    e.max_abs = a.max_abs;
    e.mean_abs = a.count ? a.sum_abs / static_cast<double>(a.count) : 0;
    e.cosine = a.ff > 0 && a.qq > 0 ? a.dot / std::sqrt(a.ff * a.qq)
               : a.ff == a.qq       ? 1
                                    : 0;
    e.sqnr_db = a.err2 > 0 ? 10 * std::log10(a.ff / a.err2)
                           : std::numeric_limits<double>::infinity();
    // The output's own steps: its int8 layer inside the model.
    for (const auto& [now, was] : rewritten.int8_of) {
      if (was == outs[k].name) {
        e.max_steps = a.max_abs / rewritten.params.at(now).scale;
      }
    }
    if (HasClassAxis(outs[k].shape)) {
      e.top1_agreement =
          static_cast<double>(a.top1) / static_cast<double>(samples.count());
    }
    report.outputs.push_back(e);
  }
  for (const auto& [layer, a] : layer_acc) {
    LayerError e;
    e.layer = layer;
    const Value* op = rewritten.graph->qm_nx_graph.node(layer).find("op");
    e.op = op != nullptr && op->is_text() ? op->as_text() : "";
    e.max_abs = a.max_abs;
    e.mean_abs = a.count ? a.sum_abs / static_cast<double>(a.count) : 0;
    e.clipped =
        a.count ? static_cast<double>(a.clipped) / static_cast<double>(a.count)
                : 0;
    report.layers.push_back(e);
  }
}

namespace {

std::string Fixed(double v, int digits) {
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::string KiB(uint64_t bytes) {
  return Fixed(static_cast<double>(bytes) / 1024.0, 1) + " KiB";
}

}  // namespace

}  // namespace sarnic::quant

namespace sarnic {

std::string QuantReport::Text() const {
  using quant::Fixed;
  using quant::KiB;
  std::ostringstream o;
  o << "int8 quantisation: " << method << " ranges from " << calibration_samples
    << " calibration samples";
  if (validation_samples > 0) {
    o << ", " << validation_samples << " validation samples";
  }
  o << "\n";
  for (const OutputError& e : outputs) {
    o << "  output '" << Printable(e.output) << "' on the " << e.set
      << " set: max |error| " << Fixed(e.max_abs, 5);
    if (e.max_steps) o << " (" << Fixed(*e.max_steps, 2) << " steps)";
    o << ", mean |error| " << Fixed(e.mean_abs, 5) << ", cosine "
      << Fixed(e.cosine, 6) << ", SQNR " << Fixed(e.sqnr_db, 1) << " dB";
    if (e.top1_agreement) {
      o << ", top-1 agreement " << Fixed(*e.top1_agreement * 100, 2) << "%";
    }
    o << "\n";
  }
  const auto ratio = [](uint64_t a, uint64_t b) {
    return b > 0 ? Fixed(static_cast<double>(a) / static_cast<double>(b), 2) +
                       "x smaller"
                 : std::string("-");
  };
  o << "  flash " << KiB(float_flash) << " float, " << KiB(int8_flash)
    << " int8 (" << ratio(float_flash, int8_flash) << "); RAM "
    << KiB(float_ram) << " float, " << KiB(int8_ram) << " int8 ("
    << ratio(float_ram, int8_ram) << ")\n";
  const auto against = [&](const char* what, std::optional<uint64_t> budget,
                           uint64_t f, uint64_t q) {
    if (!budget) return;
    const auto verdict = [&](uint64_t v) {
      return v <= *budget ? "within" : "over";
    };
    o << "  " << what << " budget " << KiB(*budget) << ": float " << verdict(f)
      << ", int8 " << verdict(q) << "\n";
  };
  against("flash", flash_budget, float_flash, int8_flash);
  against("RAM", ram_budget, float_ram, int8_ram);
  for (const auto& island : float_islands) {
    o << "  float island (no integer rule, or kept in float): ";
    for (std::size_t i = 0; i < island.size(); ++i) {
      o << (i ? ", " : "") << "'" << Printable(island[i]) << "'";
    }
    o << "\n";
  }
  if (!layers.empty()) {
    // The layers that lose the most first.
    std::vector<const LayerError*> sorted;
    for (const LayerError& l : layers) sorted.push_back(&l);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const LayerError* a, const LayerError* b) {
                       return a->max_abs > b->max_abs;
                     });
    o << "  int8 layers against float, largest error first (calibration "
         "set):\n    max |error|  mean |error|  clipped  layer\n";
    for (const LayerError* l : sorted) {
      char line[96];
      std::snprintf(line, sizeof line, "    %11s  %12s  %6s%%  ",
                    Fixed(l->max_abs, 5).c_str(), Fixed(l->mean_abs, 5).c_str(),
                    Fixed(l->clipped * 100, 2).c_str());
      o << line << "'" << Printable(l->layer) << "' (" << l->op << ")\n";
    }
  }
  for (const std::string& n : notes) o << "  note: " << Printable(n) << "\n";
  return o.str();
}

std::string QuantReport::Json() const {
  using nlohmann::json;
  const auto number = [](double v) {
    return std::isfinite(v) ? json(v) : json(nullptr);
  };
  json doc = {
      {"format", "snx-quant-report"},
      {"version", 1},
      {"method", method},
      {"calibration_samples", calibration_samples},
      {"validation_samples", validation_samples},
      {"flash",
       {{"float", float_flash},
        {"int8", int8_flash},
        {"budget", flash_budget ? json(*flash_budget) : json(nullptr)}}},
      {"ram",
       {{"float", float_ram},
        {"int8", int8_ram},
        {"budget", ram_budget ? json(*ram_budget) : json(nullptr)}}},
      {"float_islands", float_islands},
      {"notes", notes},
      {"warnings", warnings}};
  json outs = json::array();
  for (const OutputError& e : outputs) {
    outs.push_back(
        {{"output", e.output},
         {"set", e.set},
         {"samples", e.samples},
         {"max_abs_error", number(e.max_abs)},
         {"max_error_steps",
          e.max_steps ? number(*e.max_steps) : json(nullptr)},
         {"mean_abs_error", number(e.mean_abs)},
         {"cosine", number(e.cosine)},
         {"sqnr_db", number(e.sqnr_db)},
         {"top1_agreement",
          e.top1_agreement ? number(*e.top1_agreement) : json(nullptr)}});
  }
  doc["outputs"] = outs;
  json ls = json::array();
  for (const LayerError& l : layers) {
    ls.push_back({{"layer", l.layer},
                  {"op", l.op},
                  {"max_abs_error", number(l.max_abs)},
                  {"mean_abs_error", number(l.mean_abs)},
                  {"clipped", number(l.clipped)}});
  }
  doc["layers"] = ls;
  return doc.dump(2) + "\n";
}

}  // namespace sarnic
