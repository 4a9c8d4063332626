// The SVM classifier head: seven constant layers with the classifier's
// parameters, read from a folder, then the kernel, decision and probability
// layers fed by the layer named "output".
#ifndef SARNIC_SVM_SVM_H_
#define SARNIC_SVM_SVM_H_

#include <string>

#include "sarnic/layers.h"

namespace sarnic {

// Appends the head read from the folder `svm_dir` ("kld.json" and one
// float32 .bin file per parameter) to `layers`.
void export_svm(BetterBuilder& builder, LayerList& layers,
                const std::string& svm_dir);

}  // namespace sarnic

#endif  // SARNIC_SVM_SVM_H_
