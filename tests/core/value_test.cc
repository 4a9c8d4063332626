#include "sarnic/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace sarnic {
namespace {

TEST(PythonRealRepr, MatchesPythonsShortestRepr) {
  const struct {
    double d;
    const char* text;
  } cases[] = {
      {1.0, "1.0"},
      {1e-05, "1e-05"},
      {0.0001, "0.0001"},
      {100000.0, "100000.0"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {-2.5, "-2.5"},
      {1e16, "1e+16"},
      {1234567890123456.0, "1234567890123456.0"},
      {1.5e300, "1.5e+300"},
      {5e-324, "5e-324"},
      {-0.0, "-0.0"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"},
  };
  for (const auto& c : cases) EXPECT_EQ(PythonRealRepr(c.d), c.text) << c.text;
}

TEST(Value, StrIsPythonsStr) {
  EXPECT_EQ(Value().str(), "None");
  EXPECT_EQ(Value(true).str(), "True");
  EXPECT_EQ(Value(false).str(), "False");
  EXPECT_EQ(Value(-42).str(), "-42");
  EXPECT_EQ(Value(3.0).str(), "3.0");
  EXPECT_EQ(Value("conv1").str(), "conv1");
  EXPECT_EQ(Value(List{Value(1), Value("a"), Value(), Value(2.5)}).str(),
            "[1, 'a', None, 2.5]");
  EXPECT_EQ(Value(List{Value("it's")}).str(), "[\"it's\"]");
  Dict d;
  d.set("k", Value(List{}));
  EXPECT_EQ(Value(d).str(), "{'k': []}");
}

TEST(Value, ArraysPrintInNestedBrackets) {
  EXPECT_EQ(Value(NdArray::FromValues<uint64_t>(DType::kUint64, {2},
                                                {~uint64_t{0}, 1}))
                .str(),
            "[18446744073709551615 1]");
  EXPECT_EQ(Value(NdArray::FromValues<float>(DType::kFloat32, {2, 2},
                                             {1, 0.5f, -2, 3}))
                .str(),
            "[[1.0 0.5] [-2.0 3.0]]");
  EXPECT_EQ(Value(NdArray::FromValues<int8_t>(DType::kInt8, {}, {-3})).str(),
            "-3");
}

TEST(Value, IntegersIncludeBooleansAndTruthIsPythons) {
  EXPECT_TRUE(Value(true).is_integer());
  EXPECT_EQ(Value(true).as_int(), 1);
  EXPECT_FALSE(Value(1.0).is_integer());
  EXPECT_FALSE(Value("").truthy());
  EXPECT_FALSE(Value(0.0).truthy());
  EXPECT_FALSE(Value(List{}).truthy());
  EXPECT_TRUE(Value("False").truthy());
  EXPECT_THROW(Value("x").as_int(), TypeError);
}

TEST(OrderedMap, KeepsInsertionOrderAndNamesOwnerOnMissingKey) {
  Dict d;
  d.set_owner("node 'conv1'");
  d.set("b", Value(1));
  d.set("a", Value(2));
  d.set("b", Value(3));  // keeps its place
  std::vector<std::string> keys;
  for (const auto& [k, v] : d) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(d.at("b"), Value(3));
  try {
    d.at("stride");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "stride");
    EXPECT_STREQ(e.what(), "node 'conv1' has no 'stride'");
  }
}

// Small maps are searched by scanning, larger ones through an index: every
// lookup must give the same answer on either side of the change, and after
// erasures that cross it back.
TEST(OrderedMap, FindsEveryKeyAsItGrowsAndShrinks) {
  Dict d;
  std::vector<std::string> keys;
  for (int i = 0; i < 20; ++i) {
    keys.push_back("k" + std::to_string(i));
    d.set(keys.back(), Value(i));
    for (int j = 0; j <= i; ++j) {
      ASSERT_EQ(d.at(keys[static_cast<std::size_t>(j)]), Value(j)) << i;
    }
    EXPECT_FALSE(d.contains("k" + std::to_string(i + 1)));
  }
  d.set("k3", Value(-3));  // an overwrite keeps its place and adds nothing
  EXPECT_EQ(d.size(), 20u);
  EXPECT_EQ(d.begin()[3].second, Value(-3));
  d.set("k3", Value(3));
  // Erase from the front down to a few items: positions shift each time.
  for (int i = 0; i < 17; ++i) {
    d.erase(keys[static_cast<std::size_t>(i)]);
    EXPECT_FALSE(d.contains(keys[static_cast<std::size_t>(i)]));
    for (int j = i + 1; j < 20; ++j) {
      ASSERT_EQ(d.at(keys[static_cast<std::size_t>(j)]), Value(j)) << i;
    }
    EXPECT_EQ(d.begin()->first, keys[static_cast<std::size_t>(i + 1)]);
  }
  d.erase("absent");
  EXPECT_EQ(d.size(), 3u);
  d.set("k0", Value(0));  // back at the end
  EXPECT_EQ((d.end() - 1)->first, "k0");
  EXPECT_EQ(d.at("k19"), Value(19));
}

}  // namespace
}  // namespace sarnic
