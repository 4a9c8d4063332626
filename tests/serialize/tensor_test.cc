#include "serialize/tensor.h"

#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "test_decode.h"

namespace sarnic {
namespace {

using testing::FinishAndDecode;
using testing::Ints;

class ExportTensor : public ::testing::Test {
 protected:
  const snxf::Tensor* Make(const std::optional<Shape>& shape,
                           const Value& data) {
    const Offset t = export_tensor(builder_, "t", shape, data);
    return FinishAndDecode<snxf::Tensor>(builder_, t);
  }
  BetterBuilder builder_{0};
};

// Which data field a tensor carries.
std::string Field(const snxf::Tensor* t) {
  std::string f;
  if (t->data_str()) f += "str";
  if (t->data_raw()) f += "raw";
  if (t->data_i8()) f += "i8";
  if (t->data_i16()) f += "i16";
  if (t->data_i32()) f += "i32";
  if (t->data_f32()) f += "f32";
  return f;
}

TEST_F(ExportTensor, NameOnlyAndNameWithShape) {
  const auto* t = Make(std::nullopt, Value());
  EXPECT_EQ(t->name()->str(), "t");
  EXPECT_EQ(t->shape(), nullptr);
  EXPECT_EQ(Field(t), "");
}

TEST_F(ExportTensor, ShapeWithoutData) {
  const auto* t = Make(Shape{0, 2, 1}, Value());
  EXPECT_EQ(Ints(t->shape()), (std::vector<int32_t>{0, 2, 1}));
  EXPECT_EQ(Field(t), "");
}

TEST_F(ExportTensor, ScalarAndSequenceKinds) {
  struct Case {
    const char* what;
    Value data;
    std::vector<int32_t> shape;
    std::string field;
  };
  const Case cases[] = {
      {"text", Value("linear"), {1}, "str"},
      {"boolean", Value(true), {1}, "i16"},
      {"integer", Value(-7), {1}, "i16"},
      {"real", Value(1e-5), {1}, "f32"},
      {"integer list", Value::IntList({3, 1, 2}), {3}, "i16"},
      {"real list", Value(List{Value(0.5), Value(2.0)}), {2}, "f32"},
      {"text list", Value::TextList({"a", "b"}), {2}, "str"},
      {"empty list", Value(List{}), {0}, "str"},
      {"booleans count as integers",
       Value(List{Value(true), Value(2)}),
       {2},
       "i16"},
  };
  for (const Case& c : cases) {
    BetterBuilder b(0);
    // A shape given with such data is written but not referenced.
    const Offset off = export_tensor(b, "t", Shape{9, 9}, c.data);
    const auto* t = FinishAndDecode<snxf::Tensor>(b, off);
    ASSERT_NE(t, nullptr) << c.what;
    EXPECT_EQ(Ints(t->shape()), c.shape) << c.what;
    EXPECT_EQ(Field(t), c.field) << c.what;
  }
}

TEST_F(ExportTensor, ScalarValuesAreEncodedAsTheirKindSays) {
  const auto* t = Make(std::nullopt, Value(true));
  EXPECT_EQ(t->data_i16()->Get(0), 1);
  BetterBuilder b(0);
  const auto* r = FinishAndDecode<snxf::Tensor>(
      b, export_tensor(b, "eps", std::nullopt, Value(1e-5)));
  EXPECT_EQ(r->data_f32()->Get(0), 1e-5f);
  BetterBuilder b2(0);
  const auto* s = FinishAndDecode<snxf::Tensor>(
      b2, export_tensor(b2, "act", std::nullopt, Value("relu6")));
  EXPECT_EQ(s->data_str()->Get(0)->str(), "relu6");
}

TEST_F(ExportTensor, ArraysKeepTheirBytesAndTakeTheGivenShape) {
  const NdArray a =
      NdArray::FromValues<float>(DType::kFloat32, {2, 3}, {1, 2, 3, 4, 5, 6});
  const auto* t = Make(std::nullopt, a);
  EXPECT_EQ(Ints(t->shape()), (std::vector<int32_t>{2, 3}));
  ASSERT_EQ(Field(t), "f32");
  EXPECT_EQ(t->data_f32()->size(), 6u);
  EXPECT_EQ(t->data_f32()->Get(3), 4.0f);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(t->data_f32()->data()) % 4, 0u);

  BetterBuilder b(0);
  const auto* r =
      FinishAndDecode<snxf::Tensor>(b, export_tensor(b, "t", Shape{6}, a));
  EXPECT_EQ(Ints(r->shape()), (std::vector<int32_t>{6}));
  EXPECT_EQ(r->data_f32()->Get(5), 6.0f);
}

TEST_F(ExportTensor, ArrayElementTypesPickTheirField) {
  const struct {
    DType dtype;
    std::string field;
  } cases[] = {{DType::kUint8, "raw"},
               {DType::kInt8, "i8"},
               {DType::kInt16, "i16"},
               {DType::kInt32, "i32"},
               {DType::kFloat32, "f32"}};
  for (const auto& c : cases) {
    BetterBuilder b(0);
    const auto* t = FinishAndDecode<snxf::Tensor>(
        b, export_tensor(b, "t", std::nullopt, NdArray::Zeros(c.dtype, {2})));
    EXPECT_EQ(Field(t), c.field) << DTypeName(c.dtype);
  }
  const auto* z = Make(std::nullopt, NdArray::Zeros(DType::kInt32, {}));
  EXPECT_EQ(z->shape()->size(), 0u);  // zero-dimensional: empty shape
  EXPECT_EQ(z->data_i32()->size(), 1u);
}

TEST_F(ExportTensor, Failures) {
  const struct {
    const char* what;
    Value data;
    const char* message;
  } cases[] = {
      {"mixed sequence", Value(List{Value(1), Value(2.5)}),
       "Sequence has inconsistent or unsupported data:"},
      {"nested sequence", Value(List{Value(List{})}),
       "Sequence has inconsistent or unsupported data:"},
      {"mapping", Value(Dict{}), "Unsupported data type:"},
      {"float64 array", NdArray::Zeros(DType::kFloat64, {2}),
       "Tensor data is unsupported:"},
      {"uint16 array", NdArray::Zeros(DType::kUint16, {2}),
       "Tensor data is unsupported:"},
      {"float16 array", NdArray::Zeros(DType::kFloat16, {2}),
       "Numpy NDArray has unsupported type:"},
      {"bool array", NdArray::Zeros(DType::kBool, {2}),
       "Numpy NDArray has unsupported type:"},
      {"integer beyond 16 bits", Value(40000),
       "Integer does not fit in 16 bits:"},
      {"list item beyond 16 bits", Value::IntList({1, -40000}),
       "Integer does not fit in 16 bits:"},
  };
  for (const auto& c : cases) {
    BetterBuilder b(0);
    try {
      export_tensor(b, "t", std::nullopt, c.data);
      ADD_FAILURE() << c.what;
    } catch (const ValueError& e) {
      EXPECT_EQ(e.message(), c.message) << c.what;
      EXPECT_FALSE(e.detail().empty()) << c.what;
    }
  }
}

TEST_F(ExportTensor, Float16IsRefusedBeforeItsDataIsWritten) {
  BetterBuilder b(0);
  const auto before = b.GetSize();
  EXPECT_THROW(
      export_tensor(b, "", std::nullopt, NdArray::Zeros(DType::kFloat16, {64})),
      ValueError);
  EXPECT_LT(b.GetSize() - before, 64u);
}

}  // namespace
}  // namespace sarnic
