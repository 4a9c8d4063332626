#include "io/safetensors.h"

#include <gtest/gtest.h>

#include "sarnic/errors.h"
#include "temp_dir.h"

namespace sarnic {
namespace {

using Weights = testing::TempDir;
using testing::Safetensors;

TEST_F(Weights, ViewsTheMappedTensorsInHeaderOrder) {
  const std::string path = Write(
      "w.safetensors",
      Safetensors(R"({"__metadata__":{"k":"v"},"b":{"dtype":"F32","shape":[2],)"
                  R"("data_offsets":[4,12]},"a":{"dtype":"I16","shape":[2],)"
                  R"("data_offsets":[0,4]}})",
                  12));
  const WeightsFile w = ReadWeights(path);
  std::vector<std::string> names;
  for (const auto& [k, v] : w.tensors) names.push_back(k);
  EXPECT_EQ(names, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(w.tensors.at("b").dtype(), DType::kFloat32);
  EXPECT_EQ(w.tensors.at("a").shape(), (Shape{2}));
  EXPECT_EQ(w.tensors.at("a").GetInt(0), 0x0101);
}

TEST_F(Weights, RoundTripsThroughTheWriter) {
  const NdArray a =
      NdArray::FromValues<float>(DType::kFloat32, {2, 2}, {1, 2, 3, 4});
  const NdArray b = NdArray::Zeros(DType::kUint8, {0});
  WriteWeights(Path("w.st"), {{"a", a}, {"empty", b}});
  const WeightsFile w = ReadWeights(Path("w.st"));
  EXPECT_EQ(w.tensors.at("a"), a);
  EXPECT_EQ(w.tensors.at("empty"), b);
  // The header is padded so that the data starts 8-byte aligned.
  const std::string bytes = Read("w.st");
  uint64_t n = 0;
  std::memcpy(&n, bytes.data(), 8);
  EXPECT_EQ((8 + n) % 8, 0u);
}

TEST_F(Weights, RefusesEveryViolationNamingFileAndTensor) {
  const auto entry = [](const std::string& name, const std::string& body) {
    return "\"" + name + "\":{" + body + "}";
  };
  const struct {
    const char* what;
    std::string file;
    const char* needle;
  } cases[] = {
      {"empty file", "", "too short"},
      {"header length past the end", Safetensors("{}", 0).substr(0, 8) + "{",
       "past the end"},
      {"huge header length", std::string("\xff\xff\xff\xff\x00\x00\x00\x00", 8),
       "exceeds 100000000"},
      {"header not JSON", Safetensors("{nope", 0), "not a JSON object"},
      {"header not an object", Safetensors("[1]", 0), "not a JSON object"},
      {"unknown dtype",
       Safetensors(
           "{" +
               entry("t", R"("dtype":"Q8","shape":[1],"data_offsets":[0,1])") +
               "}",
           1),
       "tensor 't' has unknown dtype"},
      {"missing shape",
       Safetensors(
           "{" + entry("t", R"("dtype":"U8","data_offsets":[0,1])") + "}", 1),
       "tensor 't' lacks a 'shape'"},
      {"negative dimension",
       Safetensors(
           "{" +
               entry("t", R"("dtype":"U8","shape":[-1],"data_offsets":[0,1])") +
               "}",
           1),
       "tensor 't' has a bad shape"},
      {"byte size overflow",
       Safetensors(
           "{" +
               entry(
                   "t",
                   R"("dtype":"F64","shape":[4294967296,4294967296],"data_offsets":[0,8])") +
               "}",
           8),
       "overflows"},
      {"range of the wrong length",
       Safetensors(
           "{" +
               entry("t", R"("dtype":"F32","shape":[2],"data_offsets":[0,4])") +
               "}",
           4),
       "tensor 't' has data_offsets [0, 4] for 8 bytes"},
      {"overlapping ranges",
       Safetensors(
           "{" +
               entry("a", R"("dtype":"U8","shape":[4],"data_offsets":[0,4])") +
               "," +
               entry("b", R"("dtype":"U8","shape":[4],"data_offsets":[2,6])") +
               "}",
           6),
       "tensor 'b' starts at 2"},
      {"hole between ranges",
       Safetensors(
           "{" +
               entry("a", R"("dtype":"U8","shape":[2],"data_offsets":[0,2])") +
               "," +
               entry("b", R"("dtype":"U8","shape":[2],"data_offsets":[3,5])") +
               "}",
           5),
       "tensor 'b' starts at 3"},
      {"data past the ranges",
       Safetensors(
           "{" +
               entry("a", R"("dtype":"U8","shape":[2],"data_offsets":[0,2])") +
               "}",
           3),
       "holds 3 bytes"},
      {"range outside the data",
       Safetensors(
           "{" +
               entry("a", R"("dtype":"U8","shape":[4],"data_offsets":[0,4])") +
               "}",
           2),
       "holds 2 bytes"},
      {"metadata that is not text",
       Safetensors(R"({"__metadata__":{"k":1}})", 0), "__metadata__ 'k'"},
  };
  for (const auto& c : cases) {
    const std::string path = Write("bad.safetensors", c.file);
    try {
      ReadWeights(path);
      ADD_FAILURE() << c.what;
    } catch (const FormatError& e) {
      EXPECT_NE(e.problem().find(c.needle), std::string::npos)
          << c.what << ": " << e.what();
      EXPECT_EQ(e.file(), path) << c.what;
    }
  }
  EXPECT_THROW(ReadWeights(Path("missing.safetensors")), IoError);
}

TEST_F(Weights, Bf16IsReadableButRefusedWhereUsed) {
  const WeightsFile w = ReadWeights(Write(
      "w.st",
      Safetensors(R"({"h":{"dtype":"BF16","shape":[2],"data_offsets":[0,4]}})",
                  4)));
  try {
    w.Get("h", "node 'n'");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("BF16"), std::string::npos);
  }
  EXPECT_THROW(w.Get("zz", "node 'n'"), ValueError);
}

}  // namespace
}  // namespace sarnic
