// The tools where users and attackers found them wanting: failed writes
// reported as success, modes that ignored each other, names that reached
// the terminal raw, and the checker failing exports it should only advise.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "sarnic/exporter.h"
#include "sarnic/files.h"
#include "sarnic/graph_file.h"
#include "sarnic/npy.h"
#include "test_util.h"
#include "tools/cli_fixture.h"

namespace sarnic {
namespace {

// A concat whose axis is a real number outside the output's rank: the
// export accepts it (3.0 reads as 3), and the checker only advises.
TEST_F(Cli, TheCheckerNeverFailsAnExportItOnlyAdvises) {
  testing::TestGraph g;
  g.Add("a", "external", {1, 4});
  g.Add("b", "external", {1, 4});
  g.Add("c", "concat", {1, 8},
        {{"values", Value::TextList({"a", "b"})}, {"axis", Value(3.0)}});
  g.Edge("a", "c");
  g.Edge("b", "c");
  g.orig_inputs = {"a", "b"};
  g.orig_outputs = {"c"};
  SaveGraph(g, Path("g.json"));
  const Result r = Export(Path("g.json") + " -o " + Path("m.snx"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "warning: node 'c' attribute 'axis': 3.0 is outside the 2 "
            "dimensions of the output\n");
  EXPECT_TRUE(std::filesystem::exists(Path("m.snx")));
  EXPECT_EQ(Export("--check " + Path("g.json")).status, 1);
}

TEST_F(Cli, AFailedWriteToStandardOutputIsAnError) {
  const std::string graph = SmallGraph();
  ASSERT_EQ(Export(graph + " -o " + Path("m.snx")).status, 0);
  const std::string full = " >/dev/full";
  for (const std::string& cmd :
       {std::string(SNX_EXPORT) + " --list-ops" + full,
        std::string(SNX_EXPORT) + " --describe-op conv" + full,
        std::string(SNX_EXPORT) + " --ops-markdown" + full,
        std::string(SNX_EXPORT) + " " + graph + " -o " + Path("n.snx") + full,
        std::string(SNX_INSPECT) + " " + Path("m.snx") + full,
        std::string(SNX_INSPECT) + " --json " + Path("m.snx") + full,
        std::string(SNX_INSPECT) + " --verify " + Path("m.snx") + full,
        std::string(SNX_INSPECT) + " --summary " + Path("m.snx") + full}) {
    const Result r = Shell(cmd);
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_EQ(r.err,
              "error: could not write to standard output; what was printed "
              "is incomplete\n")
        << cmd;
  }
}

TEST_F(Cli, WhatTheExportRefusesTheCheckReportsAsAnError) {
  testing::TestGraph g;
  g.Add("in", "external", {1, 8});
  g.Add("a", "relu", {1, 8}, {{"x", Value("b")}});
  g.Add("b", "relu", {1, 8}, {{"x", Value("a")}});
  g.Add("self", "relu", {1, 8}, {{"x", Value("self")}});
  g.Add("huge", "relu", {65536, 65536, 512}, {{"x", Value("in")}});
  g.Edge("a", "b");
  g.Edge("b", "a");
  g.Edge("in", "huge");
  g.orig_inputs = {"in"};
  g.orig_outputs = {"huge"};
  SaveGraph(g, Path("g.json"));
  const Result r = Export("--check " + Path("g.json"));
  EXPECT_EQ(r.status, 1);
  // Without a plan the size of an output is no refusal.
  const Result unplanned = Export("--check --no-mem-map " + Path("g.json"));
  EXPECT_EQ(unplanned.err.find("needs more blocks"), std::string::npos)
      << unplanned.err;
  for (const char* line :
       {"error: node 'self' attribute 'x': names the node itself as its "
        "input\n",
        "error: node 'huge' attribute 'output_shape': [65536, 65536, 512] "
        "needs more blocks",
        "lies on a cycle of edges"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  }
}

TEST_F(Cli, ModesThatWouldIgnoreEachOtherAreRefused) {
  const std::string graph = SmallGraph();
  struct Case {
    std::string args;
    const char* first;
    const char* second;
  };
  const Case cases[] = {
      {"--list-ops " + graph + " -o " + Path("m.snx"), "--list-ops",
       "a graph file"},
      {"--ops-markdown --check " + graph, "--ops-markdown", "a graph file"},
      {"--list-ops --describe-op conv", "--list-ops", "--describe-op"},
      {"--check " + graph + " -o " + Path("m.snx"), "--check", "-o"},
  };
  for (const Case& c : cases) {
    const Result r = Export(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    const std::string first_line = r.err.substr(0, r.err.find('\n'));
    EXPECT_NE(first_line.find(c.first), std::string::npos) << r.err;
    EXPECT_NE(first_line.find(c.second), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << c.args;
  }
  EXPECT_FALSE(std::filesystem::exists(Path("m.snx")));
}

// A node name holding a line break and an escape sequence: every message
// that names it stays one line, with the control characters escaped.
TEST_F(Cli, NamesFromTheGraphAreEscapedInEveryMessage) {
  testing::TestGraph g;
  const std::string evil = "x\nerror: forged\x1b[2J";
  g.Add("in", "external", {1, 8});
  g.Add(evil, "relu", {1, 8}, {{"x", Value("ghost")}});
  g.orig_inputs = {"in"};
  g.orig_outputs = {evil};
  SaveGraph(g, Path("g.json"));
  for (const std::string& args :
       {Path("g.json") + " -o " + Path("m.snx"), "--check " + Path("g.json")}) {
    const Result r = Export(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = r.err.find('\n', at)) != std::string::npos;
         ++at) {
      const std::size_t start = r.err.rfind('\n', at - 1);
      const std::string line =
          r.err.substr(start == std::string::npos ? 0 : start + 1,
                       at - (start == std::string::npos ? 0 : start + 1));
      EXPECT_TRUE(line.rfind("error: ", 0) == 0 ||
                  line.rfind("warning: ", 0) == 0)
          << line;
      ++lines;
    }
    EXPECT_NE(r.err.find("x\\nerror: forged\\u001b[2J"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("\nerror: forged"), std::string::npos);
    EXPECT_GE(lines, 1u);
  }
}

// Every option of one value reaches the command line from its row.
TEST_F(Cli, EveryValueOptionHasItsFlag) {
  const Result help = Export("--help");
  ASSERT_EQ(help.status, 0);
#define SARNIC_EXPECT_FLAG(Type, name, default_value, flag, choices, text) \
  EXPECT_NE(help.out.find(flag), std::string::npos) << flag;
  SARNIC_VALUE_OPTIONS(SARNIC_EXPECT_FLAG)
#undef SARNIC_EXPECT_FLAG
  EXPECT_EQ(
      Export(SmallGraph() + " -o " + Path("m.snx") + " --planner fast").status,
      2);
}

TEST_F(Cli, InspectGivesVerificationAsJsonAndTheSummaryAlone) {
  const std::string graph = SmallGraph();
  ASSERT_EQ(Export(graph + " -o " + Path("m.snx")).status, 0);
  const Result v = Inspect("--json --verify " + Path("m.snx"));
  EXPECT_EQ(v.status, 0);
  const auto doc = nlohmann::json::parse(v.out);
  EXPECT_EQ(doc["format"], "snx-verification");
  EXPECT_EQ(doc["sound"], true);
  EXPECT_TRUE(doc["violations"].empty());

  Write("bad.snx", Read("m.snx").substr(0, 40));
  const Result bad = Inspect("--json --verify " + Path("bad.snx"));
  EXPECT_EQ(bad.status, 1);
  const auto bad_doc = nlohmann::json::parse(bad.out);
  EXPECT_EQ(bad_doc["sound"], false);
  EXPECT_FALSE(bad_doc["violations"].empty());

  const Result all = Inspect(Path("m.snx"));
  const Result summary = Inspect("--summary " + Path("m.snx"));
  ASSERT_EQ(summary.status, 0) << summary.err;
  EXPECT_EQ(summary.out.rfind("summary:\n", 0), 0u) << summary.out;
  ASSERT_GT(all.out.size(), summary.out.size());
  EXPECT_EQ(all.out.substr(all.out.size() - summary.out.size()), summary.out);
  const auto json =
      nlohmann::json::parse(Inspect("--summary --json " + Path("m.snx")).out);
  EXPECT_EQ(json["format"], "snx-summary");
  EXPECT_EQ(Inspect("--summary --layer 0 " + Path("m.snx")).status, 2);
  EXPECT_NE(Inspect("--help " + Path("m.snx")).out.find("--summary"),
            std::string::npos);
}

}  // namespace
}  // namespace sarnic

namespace sarnic {
namespace {

// snx-inspect --html writes its report through a temporary file: SIGTERM
// or SIGINT while it is there leaves nothing behind.
TEST_F(Cli, InterruptedReportsLeaveNoTemporaryFile) {
  testing::TestGraph g;
  g.Add("l0", "external", {1, 256});
  for (int i = 1; i < 60000; ++i) {
    const std::string name = "l" + std::to_string(i);
    g.Add(name, "relu", {1, 256}, {{"x", Value("l" + std::to_string(i - 1))}});
    g.Edge("l" + std::to_string(i - 1), name);
  }
  g.orig_inputs = {"l0"};
  g.orig_outputs = {"l59999"};
  std::ostringstream out;
  SarnicExporter e(g, "m", testing::Quiet(out, /*mem_map=*/true));
  const ModelBuffer model = e.run();
  Write("m.snx",
        std::string(reinterpret_cast<const char*>(model.data()), model.size()));
  int interrupted = 0;
  for (const int sig : {SIGTERM, SIGINT, SIGTERM, SIGINT}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl(SNX_INSPECT, SNX_INSPECT, Path("m.snx").c_str(), "--html",
              Path("r.html").c_str(), nullptr);
      ::_exit(127);
    }
    const auto [status, seen] =
        SignalOnTemporary(pid, ".r.html.", sig, 2000000);
    interrupted += seen && WIFSIGNALED(status) && WTERMSIG(status) == sig;
    ExpectNoTemporaryFiles();
    std::filesystem::remove(Path("r.html"));
  }
  // The race is the operating system's; on any machine some attempts land.
  RecordProperty("interrupted", interrupted);
}

// A model whose plan puts two layers live at once in the same blocks still
// runs (it shows what the device would compute), with a warning that names
// the fault; a sound plan runs without a word.
TEST_F(Cli, SnxRunWarnsOfAnUnsoundPlan) {
  testing::TestGraph g;
  g.Add("in", "external", {1, 256});
  g.Add("a", "relu", {1, 256}, {{"x", Value("in")}});
  g.Add("b", "sigmoid", {1, 256}, {{"x", Value("a")}});
  g.Add("c", "add", {1, 256}, {{"x", Value("a")}, {"y", Value("b")}});
  g.Edge("in", "a");
  g.Edge("a", "b");
  g.Edge("a", "c");
  g.Edge("b", "c");
  g.orig_inputs = {"in"};
  g.orig_outputs = {"c"};
  SarnicExporter e(g, "m");
  ModelBuffer model = e.run();
  WriteFileAtomically(Path("sound.snx"), model.data(), model.size());
  const NdArray x = NdArray::Zeros(DType::kFloat32, {1, 256});
  const std::string npy = NpyBytes(x);
  WriteFileAtomically(Path("x.npy"), npy.data(), npy.size());
  const Result sound =
      Run(SNX_RUN, Path("sound.snx") + " --input " + Path("x.npy"));
  EXPECT_EQ(sound.status, 0) << sound.err;
  EXPECT_EQ(sound.err, "");
  // Layer 2 ('b') moved onto layer 1's blocks: both are read by 'c'.
  const snxf::Model* m = snxf::GetModel(model.data());
  auto* layers = reinterpret_cast<
      const flatbuffers::Vector<flatbuffers::Offset<flatbuffers::Table>>*>(
      m->layers());
  auto* a = const_cast<flatbuffers::Table*>(layers->Get(1));
  auto* b = const_cast<flatbuffers::Table*>(layers->Get(2));
  const uint32_t a_block = a->GetField<uint32_t>(snxf::Layer::VT_BLOCK, 0);
  ASSERT_TRUE(b->SetField<uint32_t>(snxf::Layer::VT_BLOCK, a_block, 0));
  WriteFileAtomically(Path("unsound.snx"), model.data(), model.size());
  const Result unsound =
      Run(SNX_RUN, Path("unsound.snx") + " --input " + Path("x.npy"));
  EXPECT_EQ(unsound.status, 0) << unsound.err;
  EXPECT_EQ(unsound.err.rfind("warning: " + Path("unsound.snx") +
                                  ": the plan is unsound: layers 1 'a' and 2 "
                                  "'b' are live at step",
                              0),
            0u)
      << unsound.err;
}

}  // namespace
}  // namespace sarnic
