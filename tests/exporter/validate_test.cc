#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sarnic/errors.h"
#include "sarnic/exporter.h"
#include "test_util.h"

namespace sarnic {
namespace {

TEST(ValidateModel, ChecksFinitenessFirstThenSign) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* what;
    Value scale;
    const char* error;  // null: passes
  } cases[] = {
      {"zero is accepted", Value(List{Value(0.5), Value(0.0)}), nullptr},
      {"empty array", NdArray::Zeros(DType::kFloat32, {0}), nullptr},
      {"single number", Value(0.25), nullptr},
      {"negative", Value(List{Value(0.5), Value(-0.1)}),
       "Model contains negative scale values"},
      {"negative single number", Value(-1.0),
       "Model contains negative scale values"},
      {"NaN before a negative",
       NdArray::FromValues<double>(DType::kFloat64, {2}, {-1.0, nan}),
       "Model contains NaN/Inf scale values"},
      {"infinite", Value(List{Value(inf)}),
       "Model contains NaN/Inf scale values"},
  };
  for (const auto& c : cases) {
    testing::TestGraph g;
    g.Add("a", "external", {1});
    g.Add("b", "relu", {1}, {{"quant_scale", c.scale}});
    SarnicExporter e(g, "m");
    if (c.error == nullptr) {
      EXPECT_NO_THROW(e.validate_model()) << c.what;
      continue;
    }
    try {
      e.validate_model();
      ADD_FAILURE() << c.what;
    } catch (const ValueError& err) {
      EXPECT_STREQ(err.what(), c.error) << c.what;
    }
  }
}

TEST(ValidateModel, FirstFailingNodeInNodeOrderDecides) {
  testing::TestGraph g;
  g.Add("a", "relu", {1}, {{"quant_scale", Value(-1.0)}});
  g.Add("b", "relu", {1}, {{"quant_scale", Value(List{Value(std::nan(""))})}});
  SarnicExporter e(g, "m");
  EXPECT_THROW(
      {
        try {
          e.validate_model();
        } catch (const ValueError& err) {
          EXPECT_STREQ(err.what(), "Model contains negative scale values");
          throw;
        }
      },
      ValueError);
}

}  // namespace
}  // namespace sarnic
