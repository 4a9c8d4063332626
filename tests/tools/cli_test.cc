// The command-line tools, run as processes on small graph files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iomanip>
#include <nlohmann/json.hpp>
#include <random>

#include "sarnic/analysis.h"
#include "sarnic/checker.h"
#include "sarnic/graph_file.h"
#include "sarnic/model_reader.h"
#include "sarnic/onnx_import.h"
#include "sarnic/reference.h"
#include "test_util.h"
#include "tools/cli_fixture.h"

namespace sarnic {
namespace {

// A file's size in KiB with one decimal, as the device line gives it.
std::string FlashKib(const std::string& path) {
  std::ostringstream o;
  o << std::fixed << std::setprecision(1)
    << static_cast<double>(std::filesystem::file_size(path)) / 1024;
  return o.str();
}

TEST_F(Cli, ExportsPrintsTheDiagnosticsAndTheDeviceLineAndMatchesTheLibrary) {
  const std::string graph = SmallGraph();
  const Result r = Export(graph + " -o " + Path("m.snx"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Used Greedy Planning\nMax Blocks: 2\nMin Blocks: 2\n"
            "Current Blocks: 2\nMemory Saved: 0.00\nPercent Above Min: 0.00\n"
            "flash " +
                FlashKib(Path("m.snx")) +
                " KiB (model), RAM 3.0 KiB (arena: 3 blocks of 1024 bytes, 1 "
                "reserved), 0.0% above the lower bound of 2 blocks\n");
  EXPECT_EQ(r.err, "");
  const std::string bytes = Read("m.snx");
  auto g = LoadGraph(graph);
  std::ostringstream quiet;
  ExportOptions o;
  o.diagnostics = &quiet;
  SarnicExporter e(*g, "small", std::move(o));
  const ModelBuffer lib = e.run();
  EXPECT_EQ(bytes,
            std::string(reinterpret_cast<const char*>(lib.data()), lib.size()));
}

TEST_F(Cli, OptionsReachTheExporter) {
  const std::string graph = SmallGraph();
  Write("labels.txt", "");
  Write("ext.json", R"({"mean": {"__ndarray__": {"weights": "w"}},
                        "std": {"__ndarray__": {"dtype": "int32", "shape": [1], "data": [2]}}})");
  const Result r = Export(
      graph + " -o " + Path("m.snx") + " --name net --no-mem-map --labels " +
      Path("labels.txt") + " --ext-constants " + Path("ext.json") +
      " --input-name image --output-name probs"
      " --normalization imagenet");
  ASSERT_EQ(r.status, 0) << r.err;
  // Without a plan every output but a constant's is a buffer of its own:
  // the constants live in flash, the input [1, 256] and the relu take 1024
  // bytes each.
  EXPECT_EQ(r.out, "flash " + FlashKib(Path("m.snx")) +
                       " KiB (model), RAM 2.0 KiB with no plan (every output "
                       "in a buffer of its own)\n");
  std::vector<uint8_t> storage;
  const snxf::Model& m = ReadModelFile(Path("m.snx"), storage);
  EXPECT_EQ(m.name()->str(), "net");
  EXPECT_FALSE(m.block_count().has_value());
  ASSERT_NE(m.labels(), nullptr);
  EXPECT_EQ(m.labels()->size(), 0u);
  EXPECT_EQ(m.layers()->Get(0)->name()->str(), "mean");
  EXPECT_EQ(m.layers()->Get(1)->name()->str(), "std");
  EXPECT_EQ(m.layers()->Get(2)->name()->str(), "image");
  const auto meta = DescribeModel(m)["meta"];
  EXPECT_EQ(meta[1]["meta"], "imagenet");
  EXPECT_EQ(meta[2]["meta"], "probs");
  EXPECT_EQ(meta[0]["name"], "alias_act");
}

TEST_F(Cli, SaveMapWritesThePictureIntoAFolder) {
  const std::string graph = SmallGraph();
  std::filesystem::create_directories(Path("maps"));
  const Result r =
      Export(graph + " -o " + Path("m.snx") + " --save-map " + Path("maps"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(Path("maps/mem_map.png")));
  EXPECT_NE(r.out.find("Saving Map...\nSaved\n"), std::string::npos);
}

TEST_F(Cli, UnknownOpWarnsAndStillExports) {
  const std::string graph = SmallGraph("frobnicate");
  // The output has no layer then: the export stops, naming it.
  const Result r = Export(graph + " -o " + Path("m.snx") + " --no-mem-map");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "WARNING: unsupported op frobnicate\n");
  EXPECT_NE(r.err.find("error: no layer for 'act'"), std::string::npos);
}

TEST_F(Cli, ErrorsGiveOneLineAndStatusOneAndLeaveTheOutputAlone) {
  const std::string graph = SmallGraph();
  Write("old.snx", "previous model");
  Write("bad.json", "{\"format\":");
  Write(
      "fmt.json",
      R"({"format":"x","version":1,"orig_inputs":[],"orig_outputs":[],"nodes":[],"edges":[]})");
  Write(
      "w.json",
      R"({"format":"snx-graph","version":1,"weights":"w.st","orig_inputs":[],"orig_outputs":[],"nodes":[],"edges":[]})");
  Write("w.st", "short");
  Write("fail.json",
        R"({"format":"snx-graph","version":1,"orig_inputs":[],"orig_outputs":[],
    "nodes":[{"name":"c","attrs":{"op":"constant","output_shape":[1]}}],"edges":[]})");
  const struct {
    const char* what;
    std::string args;
    const char* needle;
  } cases[] = {
      {"missing graph file", Path("none.json"), "cannot read"},
      {"bad JSON", Path("bad.json"), "not valid JSON"},
      {"format violation", Path("fmt.json"), "format: must be"},
      {"weights violation", Path("w.json"), "too short"},
      {"failing export", Path("fail.json"), "tensor_dict has no 'c'"},
      {"missing labels file", graph + " --labels " + Path("none.txt"),
       "cannot read labels file"},
  };
  for (const auto& c : cases) {
    const Result r = Export(c.args + " -o " + Path("old.snx"));
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.needle), std::string::npos)
        << c.what << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.what;
    EXPECT_EQ(Read("old.snx"), "previous model") << c.what;
  }
  // Nothing but the inputs and the untouched output remain.
  for (auto it = std::filesystem::directory_iterator(dir_);
       it != std::filesystem::directory_iterator(); ++it) {
    EXPECT_EQ(it->path().filename().string().find(".snx."), std::string::npos)
        << it->path();
  }
}

TEST_F(Cli, NoOutputReplacesAnInputOrAnotherOutput) {
  const std::string graph = SmallGraph();
  Write("labels.txt", "a\nb\n");
  Write("m.snx", "previous model");
  std::filesystem::create_directory(Path("svm"));
  Write("svm/kld.json", "{}");
  std::filesystem::create_symlink(Path("small.safetensors"),
                                  Path("weights_link"));
  const struct {
    const char* what;
    std::string args;
    const char* needle;
  } cases[] = {
      {"the weights file", "-o " + Path("small.safetensors"),
       "would replace an input file: -o"},
      {"the graph file", "-o " + graph, "would replace an input file"},
      {"the labels, under another spelling",
       "-o " + dir_.string() + "/./labels.txt --labels " + Path("labels.txt"),
       "would replace an input file"},
      {"a file of the SVM folder",
       "-o " + Path("svm/kld.json") + " --svm " + Path("svm/"),
       "would replace an input file"},
      {"the report over the weights",
       "-o " + Path("m.snx") + " --report " + Path("small.safetensors"),
       "--report"},
      {"the report over the model",
       "-o " + Path("m.snx") + " --report " + dir_.string() + "/../" +
           dir_.filename().string() + "/m.snx",
       "Two outputs name the same file: -o and --report"},
  };
  const std::string weights = Read("small.safetensors");
  for (const auto& c : cases) {
    const Result r = Export(graph + " " + c.args);
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_NE(r.err.find(c.needle), std::string::npos)
        << c.what << ": " << r.err;
    EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << c.what;
    EXPECT_EQ(Read("small.safetensors"), weights) << c.what;
    EXPECT_EQ(Read("labels.txt"), "a\nb\n") << c.what;
    EXPECT_EQ(Read("svm/kld.json"), "{}") << c.what;
    EXPECT_EQ(Read("m.snx"), "previous model") << c.what;
  }
  const Result inspect = Inspect(Path("m.snx") + " --html " + Path("m.snx"));
  EXPECT_EQ(inspect.status, 1);
  EXPECT_NE(inspect.err.find("would replace an input file: --html"),
            std::string::npos)
      << inspect.err;
  EXPECT_EQ(Read("m.snx"), "previous model");
  // A symbolic link given as -o is itself replaced: what it names is safe.
  const Result r = Export(graph + " -o " + Path("weights_link"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Read("small.safetensors"), weights);
  EXPECT_FALSE(std::filesystem::is_symlink(Path("weights_link")));
}

TEST_F(Cli, UsageErrorsExitWithTwoAndHelpDocumentsTheOptions) {
  const std::string graph = SmallGraph();
  EXPECT_EQ(Export(graph).status, 2);
  EXPECT_EQ(Export(graph + " -o x.snx --no-such-option").status, 2);
  EXPECT_EQ(Export(graph + " -o x.snx --copy onlyone").status, 2);
  const Result spec = Export(graph + " -o x.snx --planner spec");
  EXPECT_EQ(spec.status, 2);
  EXPECT_NE(spec.err.find("standard"), std::string::npos) << spec.err;
  const Result help = Export("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* opt :
       {"--name", "--no-mem-map", "--no-opt-map", "--save-map", "--save-layer",
        "--copy", "--svm", "--ext-constants", "--labels", "--input-name",
        "--output-name", "--normalization"}) {
    EXPECT_NE(help.out.find(opt), std::string::npos) << opt;
  }
  EXPECT_EQ(Inspect("").status, 2);
}

TEST_F(Cli, InspectShowsTheModelAsTextAndJson) {
  const std::string graph = SmallGraph();
  ASSERT_EQ(Export(graph + " -o " + Path("m.snx")).status, 0);
  const Result text = Inspect(Path("m.snx"));
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("model:       small"), std::string::npos);
  EXPECT_NE(text.out.find("2  relu  act  shape [1, 256]  inputs 0:in"),
            std::string::npos)
      << text.out;
  const Result json = Inspect(Path("m.snx") + " --json --layer act --params");
  ASSERT_EQ(json.status, 0);
  const auto d = nlohmann::json::parse(json.out);
  EXPECT_EQ(d["block_size"], 1024);
  ASSERT_EQ(d["layers"].size(), 1u);
  EXPECT_EQ(d["layers"][0]["type"], "relu");
  EXPECT_EQ(d["outputs"][0]["name"], "act");
  const Result by_index = Inspect(Path("m.snx") + " --json --layer 1 --params");
  const auto w = nlohmann::json::parse(by_index.out)["layers"][0];
  EXPECT_EQ(w["name"], "w");
  EXPECT_EQ(w["params"][0]["preview"], nlohmann::json::parse("[1.0, 2.0]"));
  EXPECT_EQ(Inspect(Path("m.snx") + " --layer nope").status, 1);
}

TEST_F(Cli, InspectRefusesDamagedFilesWithoutCrashing) {
  const std::string graph = SmallGraph();
  ASSERT_EQ(Export(graph + " -o " + Path("m.snx")).status, 0);
  const std::string good = Read("m.snx");
  Write("foreign.snx", std::string(64, 'x'));
  Write("short.snx", good.substr(0, good.size() / 2));
  Write("empty.snx", "");
  EXPECT_NE(Inspect(Path("foreign.snx")).err.find("no SNXF identifier"),
            std::string::npos);
  EXPECT_NE(Inspect(Path("short.snx")).err.find("corrupt or truncated"),
            std::string::npos);
  EXPECT_EQ(Inspect(Path("empty.snx")).status, 1);
  EXPECT_EQ(Inspect(Path("absent.snx")).status, 1);
  // Flipped bits anywhere: either a clean refusal or a readable model.
  std::mt19937 rng(7);
  for (int i = 0; i < 40; ++i) {
    std::string bad = good;
    for (int k = 0; k < 3; ++k) {
      bad[rng() % bad.size()] ^= static_cast<char>(1 << (rng() % 8));
    }
    Write("flip.snx", bad);
    const Result r = Inspect(Path("flip.snx") + " --params");
    EXPECT_TRUE(r.status == 0 || r.status == 1) << "flip " << i;
  }
}

TEST_F(Cli, RepeatableOptionValuesAreNamesExactlyAsTyped) {
  // Node names that look like list syntax.
  testing::TestGraph g;
  g.Add("[in]", "external", {1, 4});
  g.Add("[x]", "relu", {1, 4}, {{"x", Value("[in]")}});
  g.Add("1, 1", "relu", {1, 4}, {{"x", Value("[x]")}});
  g.Add("[a, b]", "relu", {1, 4}, {{"x", Value("1, 1")}});
  g.Edge("[in]", "[x]");
  g.Edge("[x]", "1, 1");
  g.Edge("1, 1", "[a, b]");
  g.Constant("[c, d]", {1, 4}, {0, 0, 0, 0});
  g.orig_inputs = {"[in]"};
  g.orig_outputs = {"[a, b]"};
  SaveGraph(g, Path("g.json"));
  const Result r = Export(Path("g.json") + " -o " + Path("m.snx") +
                          " --save-layer '[x]' --save-layer '1, 1'"
                          " --input-name '[i]' --output-name '[o, p]'"
                          " --copy '[a, b]' '[c, d]'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Unable"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Using default"), std::string::npos) << r.out;
  std::vector<uint8_t> storage;
  const snxf::Model& m = ReadModelFile(Path("m.snx"), storage);
  EXPECT_EQ(m.layers()->Get(0)->name()->str(), "[i]");
  EXPECT_EQ(testing::LayerNamed(&m, "[c, d]")->type(), snxf::Op::variable);
  EXPECT_NE(testing::LayerNamed(&m, "sx_[a, b]_copy"), nullptr);
  const auto meta = DescribeModel(m)["meta"];
  EXPECT_EQ(meta[2]["meta"], "[o, p]");
  // Saved layers keep their blocks to themselves: no other layer shares
  // the start block of "[x]" or "1, 1".
  for (const char* saved : {"[x]", "1, 1"}) {
    const auto block = testing::LayerNamed(&m, saved)->block();
    for (const auto* l : *m.layers()) {
      if (l->name()->str() != saved && l->block()) {
        EXPECT_NE(l->block(), block) << saved << " and " << l->name()->str();
      }
    }
  }
}

TEST_F(Cli, InspectEscapesControlCharactersInText) {
  testing::TestGraph g;
  g.Add("in\x1b[2Jx", "external", {1, 4});
  g.orig_inputs = {"in\x1b[2Jx"};
  g.orig_outputs = {"in\x1b[2Jx"};
  std::ostringstream quiet;
  ExportOptions o = testing::Quiet(quiet);
  o.labels = std::vector<std::string>{"bell\a", "c1\xc2\x9b", "ok \xc3\xa9"};
  o.normalization = "tab\tnul";
  SarnicExporter e(g, "m\r", std::move(o));
  const ModelBuffer model = e.run();
  Write("m.snx",
        std::string(reinterpret_cast<const char*>(model.data()), model.size()));
  const Result text = Inspect(Path("m.snx"));
  ASSERT_EQ(text.status, 0) << text.err;
  for (const char c : text.out) {
    const auto u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u == '\n' || (u >= 0x20 && u != 0x7f)) << int{u};
  }
  for (const char* shown :
       {"model:       m\\u000d", "in\\u001b[2Jx", "bell\\u0007", "c1\\u009b",
        "ok \xc3\xa9", "tab\\tnul"}) {
    EXPECT_NE(text.out.find(shown), std::string::npos) << shown << text.out;
  }
}

TEST_F(Cli, InspectStreamsTheDescriptionThatTheLibraryGives) {
  const std::string dir = SARNIC_EXAMPLES_DIR "/mobilenet";
  ASSERT_EQ(Export(dir + "/mobilenet.json -o " + Path("m.snx")).status, 0);
  std::vector<uint8_t> storage;
  const snxf::Model& m = ReadModelFile(Path("m.snx"), storage);
  const ModelFacts facts = AnalyseModel(m, storage.size());
  for (const bool params : {false, true}) {
    DescribeOptions o;
    o.params = params;
    const auto d = DescribeModel(m, o);
    const std::string flag = params ? " --params" : "";
    auto json = nlohmann::ordered_json::parse(
        Inspect(Path("m.snx") + " --json" + flag).out);
    EXPECT_EQ(json["format"], "snx-model");
    EXPECT_EQ(json["version"], 1);
    EXPECT_EQ(json["summary"], SummaryJson(facts, false));
    EXPECT_EQ(json["layers"][66]["output"]["bytes"], facts.layers[66].bytes);
    EXPECT_EQ(
        json["layers"][66]["output"]["live"],
        nlohmann::json::array({facts.layers[66].first, facts.layers[66].last}));
    for (const char* key : {"format", "version", "summary"}) json.erase(key);
    for (auto& l : json["layers"]) l.erase("output");
    EXPECT_EQ(json, d);
    EXPECT_EQ(Inspect(Path("m.snx") + flag).out,
              FormatDescription(d) + SummaryText(facts));
  }
  // An empty model: no layers at all.
  testing::TestGraph empty;
  std::ostringstream quiet;
  SarnicExporter e(empty, "none", testing::Quiet(quiet));
  const ModelBuffer model = e.run();
  const auto& em = *testing::Decode(model);
  Write("e.snx",
        std::string(reinterpret_cast<const char*>(model.data()), model.size()));
  auto json =
      nlohmann::ordered_json::parse(Inspect(Path("e.snx") + " --json").out);
  for (const char* key : {"format", "version", "summary"}) json.erase(key);
  for (auto& l : json["layers"]) l.erase("output");
  EXPECT_EQ(json, DescribeModel(em));
}

TEST_F(Cli, InspectRefusesAFileTooLargeForAModelFromItsSize) {
  // 3 GiB that take no disk; reading it whole would take seconds and GBs.
  const std::string big = Path("big.snx");
  std::filesystem::resize_file(Write("big.snx", "x"), std::uintmax_t{3} << 30);
  const Result r = Inspect(big);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open model file " + big +
                       ": the file has "
                       "3221225472 bytes, more than"),
            std::string::npos)
      << r.err;
}

TEST_F(Cli, InterruptedExportsLeaveNoTemporaryFile) {
  // 64 MiB of weights, so that the model takes a moment to write.
  testing::TestGraph g;
  g.Add("in", "external", {1, 4});
  g.Constant("w", {int64_t{1} << 24}, std::vector<float>(1u << 24, 0.5f));
  g.orig_inputs = {"in"};
  g.orig_outputs = {"w"};
  SaveGraph(g, Path("big.json"), "big.safetensors");
  for (const int sig : {SIGINT, SIGTERM}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::freopen("/dev/null", "w", stdout);
      ::execl(SNX_EXPORT, SNX_EXPORT, Path("big.json").c_str(), "-o",
              Path("m.snx").c_str(), "--no-mem-map", nullptr);
      ::_exit(127);
    }
    // The signal goes out as soon as the temporary file is there.
    const auto [status, seen] = SignalOnTemporary(pid, ".m.snx.", sig, 200000);
    if (seen) {
      // Ended by the signal, unless the write finished first.
      EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == sig) ||
                  (WIFEXITED(status) && WEXITSTATUS(status) == 0))
          << status;
    }
    ExpectNoTemporaryFiles();
    std::filesystem::remove(Path("m.snx"));
  }
}

// in -> r1 (misspelt op) -> u, with no edge from r1 to u; a reshape that
// changes the element count; a constant whose array disagrees.
void WrongGraph(const std::string& path) {
  testing::TestGraph g;
  g.Add("in", "external", {1, 512});
  g.Add("r1", "rleu", {1, 512}, {{"x", Value("in")}});
  g.Add("u", "relu", {1, 512}, {{"x", Value("r1")}});
  g.Add("r", "reshape", {1, 256}, {{"input", Value("in")}});
  g.Constant("k", {2}, {1, 2}).set("output_shape", Value::IntList({4}));
  g.Edge("in", "r1");
  g.Edge("in", "r");
  g.orig_inputs = {"in"};
  g.orig_outputs = {"u", "r", "k"};
  SaveGraph(g, path);
}

TEST_F(Cli, CheckReportsWrongGraphsOnStandardErrorAndStrictRefusesThem) {
  const std::string wrong = Path("wrong.json");
  WrongGraph(wrong);
  const Result check = Export("--check " + wrong);
  EXPECT_EQ(check.status, 1);
  EXPECT_EQ(check.out, "");
  for (const char* line :
       {"warning: node 'r1' attribute 'op': no operation 'rleu' has an "
        "exporter; did you mean 'relu'?",
        "warning: node 'u' attribute 'x': names 'r1' but the graph has no "
        "edge from 'r1' to 'u'",
        "warning: node 'r' attribute 'output_shape': [1, 256] holds 256",
        "warning: node 'k' attribute 'output_shape': is [4] but"}) {
    EXPECT_NE(check.err.find(line), std::string::npos) << line << check.err;
  }
  // The library's CheckGraph, called with nothing wired in, gives exactly
  // the tool's findings.
  std::string from_library;
  for (const Finding& f : CheckGraph(*LoadGraph(wrong))) {
    from_library += (f.severity == Severity::kError ? "error: " : "warning: ") +
                    FormatFinding(f) + "\n";
  }
  std::string from_tool;
  std::istringstream lines(check.err);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("warning: node") || line.starts_with("error: node")) {
      from_tool += line + "\n";
    }
  }
  EXPECT_EQ(from_tool, from_library);
  EXPECT_EQ(std::count(from_library.begin(), from_library.end(), '\n'), 4);
  EXPECT_FALSE(std::filesystem::exists(Path("m.snx")));
  EXPECT_EQ(Export("--check " + SmallGraph()).status, 0);

  Write("old.snx", "previous model");
  const Result strict = Export(wrong + " -o " + Path("old.snx") + " --strict");
  EXPECT_EQ(strict.status, 1);
  EXPECT_NE(strict.err.find("error: the check found 4 problem(s)"),
            std::string::npos)
      << strict.err;
  EXPECT_EQ(Read("old.snx"), "previous model");

  // Without --strict the export runs; its error names the consumer, the
  // attribute and why the input has no layer, then the findings follow.
  const Result plain = Export(wrong + " -o " + Path("old.snx"));
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.err.rfind("error: node 'u' attribute 'x': no layer for "
                            "'r1': its op 'rleu' has no exporter\n",
                            0),
            0u)
      << plain.err;
  EXPECT_NE(plain.err.find("warning: node 'r1'"), std::string::npos);
}

TEST_F(Cli, FindingsLeaveStandardOutputAndTheModelAsTheyWere) {
  // A reshape to another element count exports, with a warning.
  testing::TestGraph g;
  g.Add("in", "external", {1, 8});
  g.Add("r", "reshape", {1, 4}, {{"input", Value("in")}});
  g.Edge("in", "r");
  g.orig_inputs = {"in"};
  g.orig_outputs = {"r"};
  SaveGraph(g, Path("g.json"));
  const Result r = Export(Path("g.json") + " -o " + Path("m.snx"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("warning"), std::string::npos);
  EXPECT_NE(r.err.find("warning: node 'r' attribute 'output_shape'"),
            std::string::npos);
  std::ostringstream quiet;
  ExportOptions o;
  o.diagnostics = &quiet;
  SarnicExporter e(g, "g", std::move(o));
  const ModelBuffer lib = e.run();
  EXPECT_EQ(Read("m.snx"),
            std::string(reinterpret_cast<const char*>(lib.data()), lib.size()));
}

TEST_F(Cli, TheOperationReference) {
  const Result list = Export("--list-ops");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, ListOperations() +
                          "\nONNX operations imported (snx-export MODEL.onnx, "
                          "snx-import; docs/onnx.md):\n" +
                          ListOnnxOperations());
  const Result one = Export("--describe-op max_pool");
  EXPECT_EQ(one.out, DescribeOperation("max_pool"));
  const Result unknown = Export("--describe-op maxpool");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("did you mean 'max_pool'?"), std::string::npos)
      << unknown.err;
  EXPECT_EQ(Export("").status, 2);  // neither a graph nor a reference flag
}

TEST_F(Cli, HalfPrecisionWeightsAreRefusedNamingTheTensorAndTheFile) {
  Write(
      "w.safetensors",
      testing::Safetensors(
          R"({"kernel":{"dtype":"F16","shape":[2],"data_offsets":[0,4]}})", 4));
  Write(
      "g.json",
      R"({"format":"snx-graph","version":1,"weights":"w.safetensors",)"
      R"("orig_inputs":[],"orig_outputs":["c"],)"
      R"("nodes":[{"name":"c","attrs":{"op":"constant","output_shape":[2]}}],)"
      R"("edges":[],"tensor_dict":{"c":{"__ndarray__":{"weights":"kernel"}}}})");
  const Result r = Export(Path("g.json") + " -o " + Path("m.snx"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Numpy NDArray has unsupported type: float16 (weights "
                       "file " +
                       Path("w.safetensors") +
                       " tensor 'kernel'); convert it to float32"),
            std::string::npos)
      << r.err;
}

// Over a budget nothing is written (the model, the report, the header)
// and the error says by how much and what takes the most; within both the
// export is as without them. A size that is no size is a usage error.
TEST_F(Cli, BudgetsRefuseWithTheirContributorsAndWriteNothing) {
  const std::string graph = SmallGraph();
  const std::string outputs = " -o " + Path("m.snx") + " --report " +
                              Path("r.html") + " --c-array " + Path("m.h");
  const Result over = Export(graph + outputs + " --ram-budget 1K");
  EXPECT_EQ(over.status, 1);
  // One reserved block (the tables of 3 nodes), and 'in' and 'act' live
  // together: 3 blocks.
  EXPECT_EQ(over.err.rfind("error: RAM 3.0 KiB is over the budget of 1.0 KiB "
                           "by 2.0 KiB (2048 bytes); its largest "
                           "contributors:\n",
                           0),
            0u)
      << over.err;
  EXPECT_NE(over.err.find("\n  'in' (input): 1024 bytes, live at the peak "
                          "step\n"),
            std::string::npos)
      << over.err;
  EXPECT_NE(over.err.find("nothing was written"), std::string::npos);
  for (const char* f : {"m.snx", "r.html", "m.h"}) {
    EXPECT_FALSE(std::filesystem::exists(Path(f))) << f;
  }
  const Result flash = Export(graph + outputs + " --flash-budget 100");
  EXPECT_EQ(flash.status, 1);
  EXPECT_NE(flash.err.find("error: flash "), std::string::npos) << flash.err;
  EXPECT_FALSE(std::filesystem::exists(Path("m.snx")));

  const Result within =
      Export(graph + outputs + " --ram-budget 4K --flash-budget 1M");
  ASSERT_EQ(within.status, 0) << within.err;
  EXPECT_TRUE(std::filesystem::exists(Path("m.snx")));
  EXPECT_NE(within.out.find("RAM 3.0 KiB (arena: 3 blocks"), std::string::npos)
      << within.out;
  const Result summary = Inspect(Path("m.snx") + " --summary");
  EXPECT_NE(summary.out.find("flash "), std::string::npos) << summary.out;
  EXPECT_NE(summary.out.find("RAM 3.0 KiB"), std::string::npos) << summary.out;

  const Result bad =
      Export(graph + " -o " + Path("x.snx") + " --ram-budget 2G");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("'2G' is no size"), std::string::npos) << bad.err;
}

TEST_F(Cli, VerifyAndTheHtmlReport) {
  const std::string dir = SARNIC_EXAMPLES_DIR "/mobilenet";
  const Result r = Export(dir + "/mobilenet.json -o " + Path("m.snx") +
                          " --report " + Path("export.html"));
  ASSERT_EQ(r.status, 0) << r.err;
  const Result sound = Inspect("--verify " + Path("m.snx"));
  EXPECT_EQ(sound.status, 0) << sound.out;
  EXPECT_EQ(sound.out, Path("m.snx") + ": sound\n");
  const std::string model = Read("m.snx");
  Write("cut.snx", model.substr(0, model.size() - 8));
  const Result cut = Inspect("--verify " + Path("cut.snx"));
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.out.find("corrupt or truncated"), std::string::npos);
  ASSERT_EQ(Inspect(Path("m.snx") + " --html " + Path("inspect.html")).status,
            0);
  // The same report either way, holding its data and no outside resource.
  const std::string page = Read("inspect.html");
  EXPECT_EQ(page, Read("export.html"));
  EXPECT_NE(page.find("\"format\":\"snx-summary\""), std::string::npos);
  for (const char* outside : {"http://", "https://", "<link", "src="}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
}

TEST_F(Cli, ASkippedPictureSendsTheUserToTheReport) {
  testing::TestGraph g;
  g.Add("l0", "external", {1, 8});
  for (int i = 1; i < 800; ++i) {
    const std::string n = "l" + std::to_string(i);
    g.Add(n, "relu", {1, 8}, {{"x", Value("l" + std::to_string(i - 1))}});
    g.Edge("l" + std::to_string(i - 1), n);
  }
  g.orig_inputs = {"l0"};
  g.orig_outputs = {"l799"};
  SaveGraph(g, Path("long.json"));
  const Result r = Export(Path("long.json") + " -o " + Path("m.snx") +
                          " --save-map " + Path("map.png"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Too many layers to generate the memory map image"),
            std::string::npos);
  EXPECT_NE(r.err.find("note: the memory map picture was not drawn for 800 "
                       "planned layers; --report REPORT.html"),
            std::string::npos)
      << r.err;
}

TEST_F(Cli, OptionsWithNothingToActOnAreNoted) {
  const std::string graph = SmallGraph();
  const struct {
    std::string args;
    const char* note;  // empty: no note
  } rows[] = {
      {"--no-mem-map --save-map " + Path("map.png"),
       "note: --save-map draws the memory plan, and --no-mem-map makes none: "
       "no picture was saved\n"},
      {"--no-mem-map --planner best",
       "note: --planner best took no part: --no-mem-map makes no plan\n"},
      {"--no-opt-map --planner best",
       "note: --planner best took no part: --no-opt-map lays the outputs back "
       "to back\n"},
      {"--planner best", ""},
  };
  for (const auto& r : rows) {
    const Result res = Export(graph + " -o " + Path("m.snx") + " " + r.args);
    EXPECT_EQ(res.status, 0) << r.args << ": " << res.err;
    EXPECT_EQ(res.err, r.note) << r.args;
  }
  EXPECT_FALSE(std::filesystem::exists(Path("map.png")));
}

TEST_F(Cli, CopyAndSvmOptions) {
  const std::string graph = SmallGraph();
  Result r = Export(graph + " -o " + Path("c.snx") + " --copy act in");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> storage;
  {
    const snxf::Model& m = ReadModelFile(Path("c.snx"), storage);
    const auto* copy = testing::LayerNamed(&m, "sx_act_copy");
    EXPECT_EQ(copy->type(), snxf::Op::copy);
    EXPECT_EQ(testing::Ints(copy->inputs()), (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(m.layers()->Get(0)->type(), snxf::Op::variable);
    // The target keeps its blocks to itself over the whole plan.
    EXPECT_NE(m.layers()->Get(0)->block(),
              testing::LayerNamed(&m, "act")->block());
  }
  testing::TestGraph g;
  g.Add("in", "external", {1, 4});
  g.Add("output", "relu", {1, 4}, {{"x", Value("in")}});
  g.orig_outputs = {"output"};
  SaveGraph(g, Path("svm_graph.json"));
  std::filesystem::create_directories(Path("svm"));
  Write("svm/kld.json", R"({"K": 2, "L": 3, "D": 4})");
  for (const auto& [key, n] :
       std::vector<std::pair<std::string, int>>{{"alpha", 3},
                                                {"a", 1},
                                                {"b", 1},
                                                {"sv", 12},
                                                {"nsv", 2},
                                                {"rho", 1},
                                                {"label", 2}}) {
    Write("svm/" + key + ".bin",
          std::string(static_cast<std::size_t>(n) * 4, '\0'));
  }
  r = Export(Path("svm_graph.json") + " -o " + Path("s.snx") + " --svm " +
             Path("svm"));
  ASSERT_EQ(r.status, 0) << r.err;
  const snxf::Model& s = ReadModelFile(Path("s.snx"), storage);
  ASSERT_EQ(s.layers()->size(), 12u);
  EXPECT_EQ(s.layers()->Get(11)->name()->str(), "svm_output");
  EXPECT_EQ(s.layers()->Get(11)->type(), snxf::Op::svm_soft_probability);
}

TEST_F(Cli, BundledExampleExportsWithoutWarnings) {
  const std::string dir = SARNIC_EXAMPLES_DIR "/mobilenet";
  const Result r = Export(dir + "/mobilenet.json -o " + Path("m.snx") +
                          " --labels " + dir + "/labels.txt");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
  std::vector<uint8_t> storage;
  const snxf::Model& m = ReadModelFile(Path("m.snx"), storage);
  EXPECT_EQ(m.labels()->size(), 10u);
  int convs = 0, pools = 0;
  for (const auto* l : *m.layers()) {
    convs += l->type() == snxf::Op::conv2d;
    pools += l->type() == snxf::Op::pool2d;
  }
  EXPECT_EQ(convs, 9);
  EXPECT_EQ(pools, 1);
}

}  // namespace
}  // namespace sarnic
