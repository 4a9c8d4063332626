#include "sarnic/model_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

ModelBuffer Model(const std::string& layer_name, bool rename = true) {
  testing::TestGraph g;
  g.Add(layer_name, "external", {1, 2});
  g.Constant("w", {2}, {1, 2});
  g.orig_inputs = {layer_name};
  g.orig_outputs = {"w"};
  std::ostringstream out;
  ExportOptions o = testing::Quiet(out);
  o.labels = std::vector<std::string>{"cat"};
  if (rename) o.input_names = std::vector<std::string>{"image"};
  SarnicExporter e(g, "m", std::move(o));
  return e.run();
}

TEST(ModelReader, DescribesHeaderResourcesAndLayers) {
  const ModelBuffer buf = Model("in");
  const auto& m = ReadModel({buf.data(), buf.size()}, "m.snx");
  const auto d = DescribeModel(m);
  EXPECT_EQ(d["labels"], nlohmann::json::parse(R"(["cat"])"));
  EXPECT_EQ(d["meta"][0]["name"], "alias_w");
  EXPECT_EQ(d["meta"][0]["layer"]["index"], 1);
  EXPECT_EQ(d["layers"][0]["name"], "image");
  EXPECT_EQ(d["layers"][1]["datatype"], "F32");
  const std::string text = FormatDescription(d);
  EXPECT_NE(text.find("resource:    alias_w -> layer 1 (w)"),
            std::string::npos);
}

TEST(ModelReader, RefusesForeignAndTruncatedBytes) {
  const ModelBuffer buf = Model("in");
  EXPECT_THROW(ReadModel({buf.data(), 7}, "x"), ValueError);
  EXPECT_THROW(ReadModel({buf.data(), buf.size() - 16}, "x"), ValueError);
  std::vector<uint8_t> foreign(buf.data(), buf.data() + buf.size());
  foreign[4] = 'Z';
  EXPECT_THROW(ReadModel(foreign, "x"), ValueError);
}

TEST(ModelReader, NamesThatAreNotUtf8StillDescribe) {
  // Found by fuzzing: text from the file went into JSON unchecked.
  const ModelBuffer buf = Model("in\xff\xfe", false);
  const auto& m = ReadModel({buf.data(), buf.size()}, "m.snx");
  DescribeOptions o;
  o.params = true;
  const auto d = DescribeModel(m, o);
  EXPECT_EQ(d["layers"][0]["name"], "in\xff\xfe");
  EXPECT_NO_THROW(FormatDescription(d));
  EXPECT_NO_THROW(
      d.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

// JSON has no NaN or infinities: the preview writes them as the strings
// "NaN", "Infinity" and "-Infinity", and the text as nan, inf and -inf
// (they were null in both).
TEST(ModelReader, NonFiniteWeightsPreviewAsTheyAre) {
  testing::TestGraph g;
  g.Add("in", "external", {1, 2});
  const float inf = std::numeric_limits<float>::infinity();
  g.Constant("w", {4}, {std::nanf(""), inf, -inf, 1.5f});
  g.orig_inputs = {"in"};
  g.orig_outputs = {"w"};
  std::ostringstream out;
  SarnicExporter e(g, "m", testing::Quiet(out));
  const ModelBuffer buf = e.run();
  const auto& m = ReadModel({buf.data(), buf.size()}, "m.snx");
  DescribeOptions o;
  o.params = true;
  const auto d = DescribeModel(m, o);
  bool found = false;
  for (const auto& p : d["layers"][1]["params"]) {
    if (p["data"] != "f32" || p["count"] != 4) continue;
    EXPECT_EQ(p["preview"], nlohmann::ordered_json::parse(
                                R"(["NaN", "Infinity", "-Infinity", 1.5])"));
    found = true;
  }
  EXPECT_TRUE(found) << d.dump(2);
  EXPECT_NE(FormatDescription(d).find("[nan, inf, -inf, 1.5]"),
            std::string::npos)
      << FormatDescription(d);
}

}  // namespace
}  // namespace sarnic
