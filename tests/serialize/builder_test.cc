#include "sarnic/builder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sarnic/errors.h"
#include "sarnic/schema.h"
#include "test_decode.h"

namespace sarnic {
namespace {

Offset OneResource(BetterBuilder& b) {
  const Offset n = b.CreateString("r");
  snxf::ResourceStart(b);
  snxf::ResourceAddName(b, n);
  return snxf::ResourceEnd(b);
}

TEST(FinishWithFileIdentifierx, WritesIdentifierAfterRootOffset) {
  BetterBuilder b(0);
  const Offset root = OneResource(b);
  b.FinishWithFileIdentifierx(root, "SNXF");
  const uint8_t* p = b.GetBufferPointer();
  EXPECT_EQ(std::memcmp(p + 4, "SNXF", 4), 0);
  uint32_t root_offset;
  std::memcpy(&root_offset, p, 4);
  // The root offset points at the table, whose first field is the vtable
  // offset: reading the table through it gives back the name.
  const auto* r = flatbuffers::GetRoot<snxf::Resource>(p);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(r), p + root_offset);
  EXPECT_EQ(r->name()->str(), "r");
  EXPECT_TRUE(flatbuffers::BufferHasIdentifier(p, "SNXF"));
  EXPECT_EQ(b.GetSize() % 4, 0u);
}

TEST(FinishWithFileIdentifierx, LengthIsAMultipleOfTheLargestAlignment) {
  BetterBuilder b(0);
  const Offset n = b.CreateString("x");
  b.StartVector(8, 1, 8);  // one 8-byte element
  b.PushElement<int64_t>(7);
  const Offset v = b.EndVector(1);
  snxf::ResourceStart(b);
  snxf::ResourceAddName(b, n);
  snxf::ResourceAddData(b, v);
  b.FinishWithFileIdentifierx(snxf::ResourceEnd(b), "SNXF");
  EXPECT_EQ(b.GetSize() % 8, 0u);
}

TEST(FinishWithFileIdentifierx, RefusesIdentifiersNotOfFourCharacters) {
  for (std::optional<std::string_view> fid :
       {std::optional<std::string_view>("SNX"),
        std::optional<std::string_view>("SNXFF"),
        std::optional<std::string_view>()}) {
    BetterBuilder b(0);
    const Offset root = OneResource(b);
    const auto size = b.GetSize();
    try {
      b.FinishWithFileIdentifierx(root, fid);
      FAIL();
    } catch (const ValueError& e) {
      EXPECT_STREQ(e.what(), "fid must be 4 chars");
    }
    EXPECT_EQ(b.GetSize(), size);               // nothing written
    b.FinishWithFileIdentifierx(root, "SNXF");  // still usable
  }
}

TEST(BetterBuilder, RefusesVectorsPastTheFormatLimit) {
  BetterBuilder b(0);
  EXPECT_THROW(b.StartVector(4, (std::size_t{1} << 31), 4), ValueError);
  EXPECT_THROW(b.StartVector(8, (std::size_t{1} << 61) + 1, 8), ValueError);
}

TEST(BetterBuilder, RuntimeChecksRaiseInsteadOfAborting) {
  BetterBuilder b(0);
  // Ending a vector that was never started trips a runtime check.
  EXPECT_THROW(b.EndVector(1), Error);
}

}  // namespace
}  // namespace sarnic
