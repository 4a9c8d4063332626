// Decoding what a test wrote with the builder: tables finished and checked
// by the FlatBuffers verifier, and their vectors as plain values. Needs only
// the serialize layer.
#ifndef SARNIC_TESTS_TEST_DECODE_H_
#define SARNIC_TESTS_TEST_DECODE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sarnic/builder.h"
#include "sarnic/schema.h"

namespace sarnic::testing {

// Finishes `b` with the table at `root` as root and returns it verified.
template <typename T>
const T* FinishAndDecode(BetterBuilder& b, Offset root) {
  b.Finish(flatbuffers::Offset<T>(root));
  flatbuffers::Verifier verifier(b.GetBufferPointer(), b.GetSize());
  if (!verifier.VerifyBuffer<T>(nullptr)) {
    ADD_FAILURE() << "buffer does not verify";
    return nullptr;
  }
  return flatbuffers::GetRoot<T>(b.GetBufferPointer());
}

inline std::vector<int32_t> Ints(const flatbuffers::Vector<int32_t>* v) {
  return v == nullptr ? std::vector<int32_t>{}
                      : std::vector<int32_t>(v->begin(), v->end());
}
inline std::vector<uint32_t> Ints(const flatbuffers::Vector<uint32_t>* v) {
  return v == nullptr ? std::vector<uint32_t>{}
                      : std::vector<uint32_t>(v->begin(), v->end());
}
inline std::vector<std::string> Names(
    const flatbuffers::Vector<flatbuffers::Offset<snxf::Tensor>>* params) {
  std::vector<std::string> out;
  if (params != nullptr) {
    for (const auto* t : *params) out.push_back(t->name()->str());
  }
  return out;
}
inline std::vector<std::string> Strings(
    const flatbuffers::Vector<flatbuffers::Offset<flatbuffers::String>>* v) {
  std::vector<std::string> out;
  if (v != nullptr) {
    for (const auto* s : *v) out.push_back(s->str());
  }
  return out;
}

}  // namespace sarnic::testing

#endif  // SARNIC_TESTS_TEST_DECODE_H_
