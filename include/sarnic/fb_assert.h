// FlatBuffers' internal checks, kept in every build type. The runtime checks
// its invariants with FLATBUFFERS_ASSERT (among them the format's 2 GiB
// limit); with NDEBUG those checks would vanish and a violation would corrupt
// the buffer. The build points FLATBUFFERS_ASSERT here, so a violation raises
// a project error instead.
#ifndef SARNIC_FB_ASSERT_H_
#define SARNIC_FB_ASSERT_H_

namespace sarnic {
[[noreturn]] void FlatBuffersCheckFailed(const char* condition);
}  // namespace sarnic

#define SARNIC_FLATBUFFERS_ASSERT(condition) \
  ((condition) ? static_cast<void>(0)        \
               : ::sarnic::FlatBuffersCheckFailed(#condition))

#endif  // SARNIC_FB_ASSERT_H_
