#include "sarnic/builder.h"

#include <algorithm>
#include <string>

#include "sarnic/errors.h"
#include "sarnic/fb_assert.h"

namespace sarnic {

void FlatBuffersCheckFailed(const char* condition) {
  throw InternalError(std::string("model buffer check failed: ") + condition);
}

BetterBuilder::BetterBuilder(std::size_t initial_size,
                             flatbuffers::Allocator* allocator)
    : flatbuffers::FlatBufferBuilder(initial_size == 0 ? 1 : initial_size,
                                     allocator, /*own_allocator=*/false) {}

void BetterBuilder::EnsureRoom(std::size_t bytes) const {
  // Headroom for the alignment padding and the length field around the data.
  constexpr std::size_t kSlack = 64;
  if (bytes > kMaxModelBytes || GetSize() + bytes + kSlack > kMaxModelBytes) {
    throw ValueError("Model exceeds the 2 GiB limit of the format:",
                     std::to_string(GetSize() + bytes) + " bytes");
  }
}

bool BetterBuilder::IsFinishedLayer(Offset offset) const {
  return std::binary_search(layers_.begin(), layers_.end(), offset);
}

Offset BetterBuilder::CreateString(std::string_view s) {
  EnsureRoom(s.size());
  return flatbuffers::FlatBufferBuilder::CreateString(s.data(), s.size()).o;
}

void BetterBuilder::StartVector(std::size_t elem_size, std::size_t count,
                                std::size_t alignment) {
  if (elem_size != 0 && count > kMaxModelBytes / elem_size) {
    EnsureRoom(kMaxModelBytes);
  }
  EnsureRoom(elem_size * count);
  NotNested();
  nested = true;
  PreAlign<flatbuffers::uoffset_t>(elem_size * count);
  PreAlign(elem_size * count, alignment);
}

Offset BetterBuilder::EndVector(std::size_t count) {
  return flatbuffers::FlatBufferBuilder::EndVector(count);
}

void BetterBuilder::PrependUOffsetTRelative(Offset off) {
  PushElement(flatbuffers::Offset<void>(off));
}

void BetterBuilder::PrependBytes(const void* data, std::size_t length) {
  EnsureRoom(length);
  PushBytes(static_cast<const uint8_t*>(data), length);
}

void BetterBuilder::StartObject() { table_start_ = StartTable(); }

Offset BetterBuilder::EndObject() { return EndTable(table_start_); }

void BetterBuilder::AddOffsetField(flatbuffers::voffset_t field, Offset off) {
  AddOffset(field, flatbuffers::Offset<void>(off));
}

Offset BetterBuilder::FinishWithFileIdentifierx(
    Offset root_table, std::optional<std::string_view> fid) {
  if (!fid.has_value() || fid->size() != 4) {
    throw ValueError("fid must be 4 chars");
  }
  const std::string id(*fid);
  // Alignment for the root offset and the identifier together, then the
  // identifier, then the root offset: the standard identified buffer.
  Finish(flatbuffers::Offset<void>(root_table), id.c_str());
  return GetSize();
}

}  // namespace sarnic
