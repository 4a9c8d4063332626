#include "sarnic/exporter.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <functional>

#include "sarnic/engine.h"
#include "sarnic/errors.h"
#include "serialize/layer_parts.h"
#include "test_util.h"

namespace sarnic {
namespace {

using testing::Decode;
using testing::Ints;
using testing::Quiet;
using testing::Strings;
using testing::TestGraph;

// input -> (external) and two constants, the output a constant too.
void Small(TestGraph& g) {
  g.Add("in", "external", {1, 4});
  g.Constant("w", {2}, {1, 2});
  g.Constant("out", {1}, {3});
  g.Edge("in", "out");
  g.orig_inputs = {"in"};
  g.orig_outputs = {"out"};
}

std::vector<std::string> LayerNames(const snxf::Model* m) {
  std::vector<std::string> out;
  for (const auto* l : *m->layers()) out.push_back(l->name()->str());
  return out;
}

TEST(Constructor, DefaultsAndFreshLists) {
  Graph g;
  SarnicExporter a(g, "m");
  SarnicExporter b(g, "m");
  EXPECT_TRUE(a.options.mem_map);
  EXPECT_TRUE(a.options.opt_map);
  EXPECT_FALSE(a.options.save_map || a.options.svm || a.options.ext_constants ||
               a.options.labels || a.options.input_names ||
               a.options.output_names);
  EXPECT_EQ(a.options.normalization, "none");
  EXPECT_EQ(a.alternate_input_error_message,
            "The alternate input has a value greater than 32768");
  EXPECT_TRUE(a.user_ops.empty());
  a.options.save_layers->push_back("x");
  EXPECT_TRUE(b.options.save_layers->empty());
  EXPECT_NE(a.options.copy_layers, b.options.copy_layers);
}

TEST(Constructor, SharesTheCallersListAndInstantiatesPluginsInOrder) {
  Graph g;
  auto saved = std::make_shared<std::vector<std::string>>();
  std::vector<std::string> seen;
  ExportOptions o;
  o.save_layers = saved;
  o.normalization = "imagenet";
  auto plugin = [&seen](const char* tag) {
    return Plugin{[&seen, tag](SarnicExporter& e) {
      seen.push_back(std::string(tag) + ":" + e.options.normalization + ":" +
                     std::to_string(e.user_ops.size()));
      return std::make_shared<TableUserExporter>();
    }};
  };
  o.user_ops = {plugin("first"), Plugin{}, plugin("third")};
  SarnicExporter e(g, "m", std::move(o));
  EXPECT_EQ(e.options.save_layers, saved);
  EXPECT_EQ(e.user_ops.size(), 2u);
  EXPECT_EQ(seen,
            (std::vector<std::string>{"first:imagenet:0", "third:imagenet:1"}));
}

TEST(Run, DefaultModelFields) {
  TestGraph g;
  Small(g);
  std::ostringstream out;
  ExportOptions o;
  o.diagnostics = &out;
  SarnicExporter e(g, "small", std::move(o));
  const ModelBuffer buf = e.run();
  EXPECT_EQ(g.optimize_calls, 1);
  EXPECT_TRUE(flatbuffers::BufferHasIdentifier(buf.data(), "SNXF"));
  const auto* m = Decode(buf);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(LayerNames(m), (std::vector<std::string>{"in", "w", "out"}));
  EXPECT_EQ(m->name()->str(), "small");
  EXPECT_EQ(m->creator()->str(),
            "SarnicEngine " + engine::version() + " for Python");
  EXPECT_EQ(engine::version(), "0.1.0");
  EXPECT_TRUE(m->block_count().has_value());
  EXPECT_EQ(m->block_size(), 1024u);
  EXPECT_EQ(m->labels(), nullptr);
  ASSERT_EQ(m->meta()->size(), 2u);
  EXPECT_EQ(m->meta()->Get(0)->name()->str(), "image_normalization");
  EXPECT_EQ(m->meta()->Get(0)->meta()->str(), "none");
  EXPECT_EQ(m->meta()->Get(1)->name()->str(), "outputs");
  EXPECT_EQ(m->meta()->Get(1)->meta()->str(), "out");
  EXPECT_EQ(Ints(m->inputs()), (std::vector<uint32_t>{0}));
  EXPECT_EQ(Ints(m->outputs()), (std::vector<uint32_t>{2}));
}

TEST(Run, WithoutMemMapThereAreNoBlockFieldsAndEmptyLabelsAreWritten) {
  TestGraph g;
  Small(g);
  std::ostringstream out;
  ExportOptions o = Quiet(out);
  o.labels = std::vector<std::string>{};
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  const auto* m = Decode(buf);
  EXPECT_FALSE(m->block_count().has_value());
  EXPECT_FALSE(m->block_size().has_value());
  ASSERT_NE(m->labels(), nullptr);
  EXPECT_EQ(m->labels()->size(), 0u);
}

TEST(Run, LabelsInOrderAndNormalizationText) {
  TestGraph g;
  Small(g);
  std::ostringstream out;
  ExportOptions o = Quiet(out);
  o.labels = std::vector<std::string>{"cat", "dog"};
  o.normalization = "mean/std";
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  const auto* m = Decode(buf);
  EXPECT_EQ(Strings(m->labels()), (std::vector<std::string>{"cat", "dog"}));
  EXPECT_EQ(m->meta()->Get(0)->meta()->str(), "mean/std");
}

struct AltCase {
  const char* what;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::string printed;
  std::string outputs_meta;
  std::vector<std::string> layer_names;
  std::size_t aliases;
};

TEST(Run, AlternativeNames) {
  const std::string in_count =
      "Number of alternative input names does not match number of input "
      "nodes in model. Using default.\n";
  const AltCase cases[] = {
      // "out" is a constant: its layer keeps the node name.
      {"both accepted",
       {"image"},
       {"logits"},
       "",
       "logits",
       {"image", "w", "out"},
       1},
      {"count mismatch, then a clash, outputs still aliased",
       {"a", "w"},
       {"logits"},
       in_count + "Alternative input name w already exists in the model. "
                  "Using default.\n",
       "logits",
       {"in", "w", "out"},
       1},
      {"own node name clashes",
       {"in"},
       {},
       "Alternative input name in already exists in the model. Using "
       "default.\n",
       "out",
       {"in", "w", "out"},
       0},
      {"rejected outputs keep graph names, inputs still aliased",
       {"image"},
       {"x", "y"},
       "Number of alternative output names does not match number of output "
       "nodes in model. Using default.\n",
       "out",
       {"image", "w", "out"},
       1},
  };
  for (const AltCase& c : cases) {
    TestGraph g;
    Small(g);
    std::ostringstream out;
    ExportOptions o = Quiet(out);
    o.input_names = c.inputs;
    o.output_names = c.outputs;
    SarnicExporter e(g, "m", std::move(o));
    const ModelBuffer buf = e.run();
    const auto* m = Decode(buf);
    EXPECT_EQ(out.str(), c.printed) << c.what;
    EXPECT_EQ(m->meta()->size(), 2 + c.aliases) << c.what;
    const auto* outputs = m->meta()->Get(m->meta()->size() - 1);
    EXPECT_EQ(outputs->meta()->str(), c.outputs_meta) << c.what;
    EXPECT_EQ(LayerNames(m), c.layer_names) << c.what;
    if (c.aliases == 1) {
      const auto* alias = m->meta()->Get(0);
      EXPECT_EQ(alias->name()->str(), "alias_out") << c.what;
      EXPECT_EQ(Ints(m->outputs()), (std::vector<uint32_t>{2}));
      ASSERT_EQ(alias->data()->size(), 4u);
      EXPECT_EQ(alias->data()->Get(0), 2) << c.what;
    }
    // Rejected names are replaced by the graph's own.
    EXPECT_EQ(*e.options.input_names,
              c.inputs.size() == 1 && c.inputs[0] == "image" ? c.inputs
                                                             : g.orig_inputs)
        << c.what;
  }
}

TEST(Run, AliasesHoldLittleEndianIndicesLastAliasFirst) {
  TestGraph g;
  g.Add("in", "external", {1});
  for (int i = 0; i < 257; ++i) g.Constant("c" + std::to_string(i), {1}, {0});
  g.Constant("o2", {1}, {0});  // position 258
  g.orig_inputs = {"in"};
  g.orig_outputs = {"c0", "o2"};
  std::ostringstream out;
  ExportOptions o = Quiet(out);
  o.input_names = std::vector<std::string>{"image"};
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  const auto* m = Decode(buf);
  ASSERT_EQ(m->meta()->size(), 4u);
  const auto* last = m->meta()->Get(0);
  EXPECT_EQ(last->name()->str(), "alias_o2");
  EXPECT_EQ(std::vector<uint8_t>(last->data()->begin(), last->data()->end()),
            (std::vector<uint8_t>{0x02, 0x01, 0x00, 0x00}));
  EXPECT_EQ(m->meta()->Get(1)->name()->str(), "alias_c0");
  EXPECT_EQ(m->meta()->Get(3)->meta()->str(), "c0\no2");
}

TEST(Run, ConstantOutputWithAlternativeNameKeepsItsNodeName) {
  TestGraph g;
  Small(g);
  std::ostringstream out;
  ExportOptions o = Quiet(out);
  o.output_names = std::vector<std::string>{"logits"};
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  const auto* m = Decode(buf);
  EXPECT_EQ(m->layers()->Get(2)->name()->str(), "out");
  EXPECT_EQ(m->meta()->Get(2)->meta()->str(), "logits");
}

TEST(Run, UnsupportedOpIsSkippedWithAWarning) {
  TestGraph g;
  g.Add("in", "external", {1});
  g.Add("mystery", "frobnicate", {1}, {{"x", Value("in")}});
  g.Constant("c", {1}, {1});
  g.Edge("in", "mystery");
  g.orig_outputs = {"c"};
  std::ostringstream out;
  SarnicExporter e(g, "m", Quiet(out));
  const ModelBuffer buf = e.run();
  EXPECT_EQ(out.str(), "WARNING: unsupported op frobnicate\n");
  const auto* m = Decode(buf);
  EXPECT_EQ(LayerNames(m), (std::vector<std::string>{"in", "c"}));
  EXPECT_EQ(Ints(m->outputs()), (std::vector<uint32_t>{1}));
}

TEST(Run, OutputWithoutLayerStopsTheExportNamingIt) {
  TestGraph g;
  g.Add("in", "external", {1});
  g.Add("mystery", "frobnicate", {1});
  g.orig_outputs = {"mystery"};
  std::ostringstream out;
  SarnicExporter e(g, "m", Quiet(out));
  try {
    e.run();
    FAIL();
  } catch (const KeyError& err) {
    EXPECT_EQ(err.key(), "mystery");
  }
}

// A user exporter that writes an "external" node as a named constant-less
// input layer, to tell it apart from the built-in one.
OpFunction MarkedInput(const std::string& mark) {
  return [mark](BetterBuilder& b, Graph&, const LayerIndex&, const std::string&,
                AttrDict& node, const std::optional<std::string>&) -> Offset {
    const Offset n = b.CreateString(mark);
    const Offset s = WriteOutputShape(b, node);
    snxf::LayerStart(b);
    snxf::LayerAddType(b, snxf::Op::input);
    snxf::LayerAddName(b, n);
    snxf::LayerAddShape(b, s);
    return snxf::LayerEnd(b);
  };
}

TEST(Run, UserExportersComeFirstInPluginOrder) {
  TestGraph g;
  Small(g);
  std::ostringstream out;
  ExportOptions o = Quiet(out);
  auto make = [](const char* mark, const char* op) {
    return Plugin{[mark, op](SarnicExporter&) {
      auto u = std::make_shared<TableUserExporter>();
      u->add(op, MarkedInput(mark));
      return u;
    }};
  };
  o.user_ops = {make("other", "relu"), make("first", "external"),
                make("second", "external")};
  SarnicExporter e(g, "m", std::move(o));
  const ModelBuffer buf = e.run();
  EXPECT_EQ(Decode(buf)->layers()->Get(0)->name()->str(), "first");
}

TEST(Run, ErrorsPropagateAndCycleIsRefused) {
  TestGraph g;
  Small(g);
  g.Edge("out", "in");
  std::ostringstream out;
  SarnicExporter e(g, "m", Quiet(out));
  EXPECT_THROW(e.run(), ValueError);
}

// An option the export refuses is refused before the graph is touched: not
// optimised, no copy node added, no float64 constant converted.
TEST(Run, AnInvalidPlannerIsRefusedBeforeTheGraphChanges) {
  testing::TestGraph g;
  g.Add("x", "external", {1, 4});
  g.Constant("w", {2}, {1, 2});
  g.tensor_dict.set(
      "w", NdArray::FromValues<double>(DType::kFloat64, {2}, {1.0, 2.0}));
  g.Add("y", "relu", {1, 4}, {{"x", Value("x")}});
  g.Edge("x", "y");
  g.orig_inputs = {"x"};
  g.orig_outputs = {"y"};
  std::ostringstream out;
  ExportOptions o = testing::Quiet(out);
  o.planner = "fastest";
  o.copy_layers = std::make_shared<std::vector<CopyPair>>(
      std::vector<CopyPair>{{"y", "w"}});
  SarnicExporter e(g, "m", std::move(o));
  EXPECT_THROW(e.run(), ValueError);
  EXPECT_EQ(g.optimize_calls, 0);
  EXPECT_EQ(g.qm_nx_graph.number_of_nodes(), 3u);
  EXPECT_EQ(g.tensor_dict.find("w")->dtype(), DType::kFloat64);
  EXPECT_EQ(out.str(), "");
}

TEST(Run, PluginResultsMustBeLayersFinishedInThisExport) {
  // What a plug-in returns, given the offsets of a layer and a tensor it
  // finished.
  const struct {
    const char* what;
    std::function<Offset(Offset layer, Offset tensor)> result;
  } rows[] = {
      {"a tensor's offset", [](Offset, Offset t) { return t; }},
      {"no offset", [](Offset, Offset) { return Offset{0}; }},
      {"a junk offset", [](Offset l, Offset) { return l + 4; }},
      {"an offset past the buffer", [](Offset, Offset) { return 1u << 30; }},
  };
  for (const auto& r : rows) {
    TestGraph g;
    Small(g);
    std::ostringstream out;
    ExportOptions o = Quiet(out);
    o.user_ops = {Plugin{[&r](SarnicExporter& e) {
      auto u = std::make_shared<TableUserExporter>();
      u->add("external", [&r, &e](BetterBuilder& b, Graph&, const LayerIndex&,
                                  const std::string& name, AttrDict&,
                                  const std::optional<std::string>&) {
        const Offset tensor = e.export_tensor(b, "t");
        const Offset n = b.CreateString(name);
        snxf::LayerStart(b);
        snxf::LayerAddName(b, n);
        return r.result(snxf::LayerEnd(b), tensor);
      });
      return u;
    }}};
    SarnicExporter e(g, "m", std::move(o));
    try {
      e.run();
      ADD_FAILURE() << r.what << " was accepted";
    } catch (const ValueError& err) {
      EXPECT_EQ(err.message(), "Plug-in did not return a finished layer:");
      EXPECT_NE(err.detail().find("user exporter export_external for node "
                                  "'in' returned "),
                std::string::npos)
          << r.what << ": " << err.detail();
    }
  }
}

// Address space that is never touched, viewed as one float32 array.
class Untouched {
 public:
  explicit Untouched(std::size_t bytes) : bytes_(bytes) {
    void* p = mmap(nullptr, bytes, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    EXPECT_NE(p, MAP_FAILED);
    owner_.reset(
        p, [bytes](const void* q) { munmap(const_cast<void*>(q), bytes); });
  }
  NdArray Array() const {
    const auto n = static_cast<int64_t>(bytes_ / 4);
    return NdArray::View(
        DType::kFloat32, {n}, owner_,
        {static_cast<const std::byte*>(owner_.get()), bytes_ / 4 * 4});
  }

 private:
  std::size_t bytes_;
  std::shared_ptr<const void> owner_;
};

TEST(Run, ModelPastTheFormatLimitIsRefusedBeforeBuilding) {
  // The pages cannot be read (PROT_NONE): an export that began to copy
  // them would crash instead of refusing.
  const struct {
    const char* what;
    std::size_t data;
    const char* detail;
  } rows[] = {
      {"data alone past the limit", std::size_t{9} << 28,
       "2415919104 bytes of tensor data"},
      {"data under the limit, the whole model past it", kMaxModelBytes - 64,
       "at the least, 2147483580 of them tensor data"},
  };
  for (const auto& r : rows) {
    const Untouched memory(r.data);
    TestGraph g;
    g.Add("in", "external", {1});
    g.Add("big", "constant", {static_cast<int64_t>(r.data / 4)});
    g.tensor_dict.set("big", memory.Array());
    std::ostringstream out;
    SarnicExporter e(g, "m", Quiet(out));
    try {
      e.run();
      ADD_FAILURE() << r.what;
    } catch (const ValueError& err) {
      EXPECT_EQ(err.message(), "Model exceeds the 2 GiB limit of the format:");
      EXPECT_NE(err.detail().find(r.detail), std::string::npos)
          << r.what << ": " << err.detail();
    }
  }
}

}  // namespace
}  // namespace sarnic
