#include "sarnic/ndarray.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sarnic/errors.h"

namespace sarnic {
namespace {

TEST(NdArray, ConvertsFloat64ToFloat32AndRealsToIntegersByTruncation) {
  const NdArray d = NdArray::FromValues<double>(DType::kFloat64, {2, 2},
                                                {1.7, -2.2, 1e300, 0.5});
  const NdArray f = d.AsType(DType::kFloat32);
  EXPECT_EQ(f.dtype(), DType::kFloat32);
  EXPECT_EQ(f.shape(), (Shape{2, 2}));
  EXPECT_FLOAT_EQ(static_cast<float>(f.GetDouble(0)), 1.7f);
  EXPECT_TRUE(std::isinf(f.GetDouble(2)));  // beyond float range

  const NdArray small =
      NdArray::FromValues<double>(DType::kFloat64, {2}, {1.7, -2.2});
  const NdArray i = small.AsType(DType::kInt32);
  EXPECT_EQ(i.GetInt(0), 1);
  EXPECT_EQ(i.GetInt(1), -2);
}

TEST(NdArray, RefusesRealsThatDoNotFitAnIntegerTarget) {
  for (double bad :
       {std::nan(""), std::numeric_limits<double>::infinity(), 3e9, -129.0}) {
    const NdArray a = NdArray::FromValues<double>(DType::kFloat64, {1}, {bad});
    const DType target = bad == -129.0 ? DType::kInt8 : DType::kInt32;
    EXPECT_THROW(a.AsType(target), ValueError) << bad;
  }
}

TEST(NdArray, IntegerConversionsWrapLikeNumpy) {
  const NdArray a = NdArray::FromValues<int32_t>(DType::kInt32, {2}, {300, -1});
  const NdArray u = a.AsType(DType::kUint8);
  EXPECT_EQ(u.GetInt(0), 44);
  EXPECT_EQ(u.GetInt(1), 255);
}

TEST(NdArray, HalfPrecisionRoundTrips) {
  for (float f :
       {0.0f, 1.0f, -2.5f, 65504.0f, 6.1035156e-05f, 5.9604645e-08f}) {
    EXPECT_EQ(HalfToFloat(FloatToHalf(f)), f) << f;
  }
  EXPECT_TRUE(std::isinf(HalfToFloat(FloatToHalf(1e6f))));
}

TEST(NdArray, ViewChecksTheByteLengthAndSharesStorage) {
  auto bytes = std::make_shared<std::vector<std::byte>>(8);
  const std::span<const std::byte> span(bytes->data(), bytes->size());
  const NdArray v = NdArray::View(DType::kFloat32, {2}, bytes, span);
  EXPECT_EQ(v.data(), bytes->data());
  EXPECT_THROW(NdArray::View(DType::kFloat32, {3}, bytes, span), ValueError);
  NdArray copy = v;
  EXPECT_THROW(copy.mutable_data(), TypeError);
}

TEST(ElementCount, RefusesNegativeDimensionsAndOverflow) {
  EXPECT_EQ(ElementCount({}), 1);
  EXPECT_EQ(ElementCount({3, 0, 5}), 0);
  EXPECT_THROW(ElementCount({-1, 2}), ValueError);
  EXPECT_THROW(ElementCount({1LL << 40, 1LL << 40}), ValueError);
  EXPECT_THROW(ByteSize(DType::kFloat64, 1LL << 62), ValueError);
}

}  // namespace
}  // namespace sarnic
