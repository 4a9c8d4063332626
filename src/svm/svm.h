// The SVM classifier head: seven constant layers with the classifier's
// parameters, read from a folder before the model is built, then the
// kernel, decision and probability layers fed by the layer named "output".
#ifndef SARNIC_SVM_SVM_H_
#define SARNIC_SVM_SVM_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sarnic/layers.h"
#include "sarnic/ndarray.h"

namespace sarnic {

// The classifier as its folder holds it: K classes, L support vectors of
// D features, and its seven parameter arrays by key ("alpha", "a", "b",
// "sv", "nsv", "rho", "label", in that order), each viewed in its mapped
// float32 file.
struct SvmHead {
  int64_t k = 0, l = 0, d = 0;
  std::vector<std::pair<std::string, NdArray>> params;
  // The bytes of its parameters, for the builder's reservation.
  uint64_t data_bytes() const;
};

// Reads the folder `svm_dir` ("kld.json" and one float32 .bin file per
// parameter), each file checked against the shape its sizes give.
SvmHead ReadSvmHead(const std::string& svm_dir);

// Appends the head's layers to `layers`.
void export_svm(BetterBuilder& builder, LayerList& layers, const SvmHead& head);

}  // namespace sarnic

#endif  // SARNIC_SVM_SVM_H_
