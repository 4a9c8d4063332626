// The one FlatBuffers builder of an export, with the builder operations the
// exporter and plug-ins call, in the call pattern of a back-to-front builder:
// every string and vector is finished before the table that refers to it is
// opened, and vectors are written by prepending their elements last to first.
// Offsets are plain integers (positions counted from the buffer's end).
#ifndef SARNIC_BUILDER_H_
#define SARNIC_BUILDER_H_

#include <flatbuffers/flatbuffers.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace sarnic {

using Offset = flatbuffers::uoffset_t;

// The largest buffer the format can address.
inline constexpr std::size_t kMaxModelBytes = FLATBUFFERS_MAX_BUFFER_SIZE;

class BetterBuilder : public flatbuffers::FlatBufferBuilder {
 public:
  // `initial_size` bytes are reserved at the first write, so a builder sized
  // from the model's data never grows by copying.
  // `allocator` (not owned; null for the default) provides the memory the
  // model is built in, so that a host can build it in memory of its own.
  explicit BetterBuilder(std::size_t initial_size = 1024,
                         flatbuffers::Allocator* allocator = nullptr);

  Offset CreateString(std::string_view s);

  // Opens a vector of `count` elements of `elem_size` bytes, aligned to
  // `alignment`. Refuses a vector that would take the buffer past the
  // format's limit.
  void StartVector(std::size_t elem_size, std::size_t count,
                   std::size_t alignment);
  Offset EndVector(std::size_t count);

  void PrependByte(int8_t v) { PushElement(v); }
  void PrependUint8(uint8_t v) { PushElement(v); }
  void PrependInt16(int16_t v) { PushElement(v); }
  void PrependInt32(int32_t v) { PushElement(v); }
  void PrependUint32(uint32_t v) { PushElement(v); }
  void PrependFloat32(float v) { PushElement(v); }
  void PrependUOffsetTRelative(Offset off);
  void PrependSOffsetTRelative(Offset off) { PrependUOffsetTRelative(off); }

  // Inside an open vector: prepends raw element bytes as they are in memory.
  void PrependBytes(const void* data, std::size_t length);

  // Tables: one is open at a time.
  void StartObject();
  Offset EndObject();
  template <typename T>
  void AddScalarField(flatbuffers::voffset_t field, T value) {
    AddElement<T>(field, value);
  }
  template <typename T>
  void AddScalarField(flatbuffers::voffset_t field, T value, T def) {
    AddElement<T>(field, value, def);
  }
  void AddOffsetField(flatbuffers::voffset_t field, Offset off);

  // Writes the 4-character file identifier and finishes the buffer with
  // `root_table` as its root. Raises "fid must be 4 chars" for an absent
  // identifier or one of another length, leaving the builder unchanged.
  Offset FinishWithFileIdentifierx(Offset root_table,
                                   std::optional<std::string_view> fid);

  // Refuses `bytes` more bytes when they would pass the format's limit.
  void EnsureRoom(std::size_t bytes) const;

  // The Layer tables finished in this builder (LayerEnd records them), so
  // that an offset handed back by a plug-in can be checked.
  void RecordLayer(Offset layer) { layers_.push_back(layer); }
  bool IsFinishedLayer(Offset offset) const;

 private:
  flatbuffers::uoffset_t table_start_ = 0;
  // Increasing: the buffer grows towards its front.
  std::vector<Offset> layers_;
};

}  // namespace sarnic

#endif  // SARNIC_BUILDER_H_
