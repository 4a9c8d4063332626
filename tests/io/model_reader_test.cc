#include "sarnic/model_reader.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace sarnic
