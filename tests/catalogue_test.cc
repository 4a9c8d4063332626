// The catalogue of bad inputs: every row is an input the tools must refuse,
// with the error it must give. Each row runs snx-export as a process over
// an existing output file, which must be left exactly as it was.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "io/temp_dir.h"
#include "sarnic/errors.h"
#include "test_util.h"

namespace sarnic {
namespace {

// A graph document around `nodes` (a JSON list) with an input "in".
std::string Doc(const std::string& nodes, const std::string& edges = "[]",
                const std::string& outputs = R"(["in"])",
                const std::string& extra = "") {
  return R"({"format":"snx-graph","version":1,"orig_inputs":["in"],)"
         R"("orig_outputs":)" +
         outputs +
         R"(,"nodes":[)"
         R"({"name":"in","attrs":{"op":"external","output_shape":[1,4]}})" +
         (nodes.empty() ? "" : "," + nodes) + R"(],"edges":)" + edges + extra +
         "}";
}

// One node named "n" with the given attributes, exported as the output.
std::string Node(const std::string& attrs) {
  return Doc(R"({"name":"n","attrs":)" + attrs + "}", R"([["in","n"]])",
             R"(["n"])");
}

std::string Weights(const std::string& header, std::size_t data) {
  return testing::Safetensors(header, data);
}

struct Row {
  const char* what;
  std::string graph;    // graph file text
  std::string weights;  // w.safetensors, when not empty
  std::string args;     // extra command-line arguments
  const char* message;  // expected in the error line
};

class Catalogue : public testing::TempDir {
 protected:
  void Check(const Row& r) {
    Write("g.json", r.graph);
    if (!r.weights.empty()) Write("w.safetensors", r.weights);
    Write("out.snx", "existing model");
    // A run that blocks is killed, and fails the row, instead of the suite.
    const std::string cmd = "timeout -k 5 60 " + std::string(SNX_EXPORT) + " " +
                            Path("g.json") + " -o " + Path("out.snx") + " " +
                            r.args + " >" + Path("stdout") + " 2>" +
                            Path("stderr");
    const int raw = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(raw)) << r.what << ": killed by a signal";
    EXPECT_EQ(WEXITSTATUS(raw), 1) << r.what;
    const std::string err = Read("stderr");
    EXPECT_EQ(err.rfind("error: ", 0), 0u) << r.what << ": " << err;
    EXPECT_NE(err.find(r.message), std::string::npos) << r.what << ": " << err;
    EXPECT_EQ(Read("out.snx"), "existing model") << r.what;
    std::filesystem::remove(Path("w.safetensors"));
  }
};

TEST_F(Catalogue, GraphFiles) {
  const std::string huge = std::string(200, '[') + std::string(200, ']');
  const Row rows[] = {
      {"empty file", "", "", "", "not valid JSON"},
      {"truncated JSON", Doc("").substr(0, 40), "", "", "not valid JSON"},
      {"deep JSON",
       Node(R"({"op":"relu","x":"in","output_shape":[1,4],"deep":)" + huge +
            "}"),
       "", "", "nest too deeply"},
      {"empty node name", Doc(R"({"name":"","attrs":{}})"), "", "",
       "must not be empty"},
      {"NUL in a node name", Doc(R"({"name":"a\u0000","attrs":{}})"), "", "",
       "NUL"},
      {"duplicate node", Doc(R"({"name":"in","attrs":{}})"), "", "",
       "used twice"},
      {"edge to an unknown node", Doc("", R"([["in","ghost"]])"), "", "",
       "'ghost' is no node"},
      {"shape whose byte size overflows",
       Node(
           R"({"op":"relu","q":{"__ndarray__":{"dtype":"float64","shape":[65536,65536,65536,65536],"data":[]}}})"),
       "", "", "overflows"},
      {"data that disagrees with its shape",
       Node(
           R"({"op":"relu","q":{"__ndarray__":{"dtype":"float32","shape":[2,2],"data":[1,2,3]}}})"),
       "", "", "3 elements for shape of 4"},
      {"unknown datatype", Node(R"({"op":"relu","datatype":"float128"})"), "",
       "", "must name an element type"},
      {"weights header length beyond the file",
       Doc("", "[]", R"(["in"])", R"(,"weights":"w.safetensors")"),
       std::string("\x40\x00\x00\x00\x00\x00\x00\x00{}", 10), "",
       "past the end"},
      {"weights ranges overlapping",
       Doc("", "[]", R"(["in"])", R"(,"weights":"w.safetensors")"),
       Weights(R"({"a":{"dtype":"U8","shape":[4],"data_offsets":[0,4]},)"
               R"("b":{"dtype":"U8","shape":[2],"data_offsets":[2,4]}})",
               4),
       "", "tensor 'b' starts at 2"},
      {"weights range outside the data",
       Doc("", "[]", R"(["in"])", R"(,"weights":"w.safetensors")"),
       Weights(R"({"a":{"dtype":"U8","shape":[8],"data_offsets":[0,8]}})", 4),
       "", "holds 4 bytes"},
      {"reference to a missing weights tensor",
       Doc("", "[]", R"(["in"])",
           R"(,"weights":"w.safetensors","tensor_dict":{"x":{"__ndarray__":{"weights":"nope"}}})"),
       Weights("{}", 0), "", "no tensor 'nope'"},
      {"missing weights file",
       Doc("", "[]", R"(["in"])", R"(,"weights":"w.safetensors")"), "", "",
       "cannot open weights file"},
      {"integer literal beyond 64 bits",
       Node(R"({"op":"relu","x":"in","n":99999999999999999999999999})"), "", "",
       "integer 99999999999999999999999999 does not fit 64 bits"},
      {"negative integer literal beyond 64 bits",
       Node(R"({"op":"relu","x":"in","n":-99999999999999999999})"), "", "",
       "integer -99999999999999999999 does not fit 64 bits"},
      {"weights path with a NUL",
       Doc("", "[]", R"(["in"])", R"(,"weights":"w.safetensors\u0000.x")"),
       Weights("{}", 0), "", "weights: the path"},
  };
  for (const Row& r : rows) Check(r);
}

// Inputs that are FIFOs or devices: refused at once, naming the path; no
// read blocks or runs on without end.
TEST_F(Catalogue, InputsThatAreNotRegularFiles) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0644), 0);
  std::filesystem::create_directories(Path("svm"));
  const std::string relu =
      Node(R"({"op":"relu","x":"in","output_shape":[1,4]})");
  const std::string weighted =
      Doc("", "[]", R"(["in"])", R"(,"weights":"fifo")");
  const std::string svm_graph = Doc(
      R"({"name":"output","attrs":{"op":"relu","x":"in","output_shape":[1,4]}})",
      R"([["in","output"]])");
  for (const std::string& device : {Path("fifo"), std::string("/dev/zero")}) {
    const std::string svm = "--svm " + Path("svm");
    std::filesystem::remove(Path("svm/kld.json"));
    std::filesystem::create_symlink(device, Path("svm/kld.json"));
    const Row rows[] = {
        {"labels", relu, "", "--labels " + device, "cannot read labels file"},
        {"external constants", relu, "", "--ext-constants " + device,
         "cannot read constants file"},
        {"SVM sizes", svm_graph, "", svm, "cannot read SVM file"},
    };
    for (const Row& r : rows) {
      Check(r);
      const std::string err = Read("stderr");
      EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
    }
  }
  // A weights file named from inside the graph file.
  Check({"weights", weighted, "", "", "weights file"});
  EXPECT_NE(Read("stderr").find("fifo: not a regular file"), std::string::npos);
  // An SVM parameter file: its size must be what kld.json implies.
  std::filesystem::remove(Path("svm/kld.json"));
  Write("svm/kld.json", R"({"K":2,"L":2,"D":2})");
  for (const char* key : {"alpha", "nsv", "label"}) {
    Write(std::string("svm/") + key + ".bin", std::string(8, '\0'));
  }
  for (const char* key : {"a", "b", "rho"}) {
    Write(std::string("svm/") + key + ".bin", std::string(4, '\0'));
  }
  std::filesystem::create_symlink("/dev/zero", Path("svm/sv.bin"));
  Check({"SVM parameters", svm_graph, "", "--svm " + Path("svm"),
         "sv.bin: not a regular file"});
  // The graph file itself.
  const std::string cmd = "timeout -k 5 60 " + std::string(SNX_EXPORT) + " " +
                          Path("fifo") + " -o " + Path("out.snx") + " 2>" +
                          Path("stderr");
  const int raw = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 1);
  EXPECT_NE(Read("stderr").find("cannot read graph file " + Path("fifo") +
                                ": not a regular file"),
            std::string::npos);
}

// The output: only a regular file is replaced; a FIFO, socket or folder
// stays as it was, and no temporary file is left.
TEST_F(Catalogue, OutputsThatAreNotRegularFiles) {
  Write("g.json", Node(R"({"op":"relu","x":"in","output_shape":[1,4]})"));
  ASSERT_EQ(::mkfifo(Path("out.fifo").c_str(), 0644), 0);
  std::filesystem::create_directories(Path("out.dir"));
  for (const char* target : {"out.fifo", "out.dir"}) {
    const std::string cmd = "timeout -k 5 60 " + std::string(SNX_EXPORT) + " " +
                            Path("g.json") + " -o " + Path(target) +
                            " >/dev/null 2>" + Path("stderr");
    const int raw = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(raw)) << target;
    EXPECT_EQ(WEXITSTATUS(raw), 1) << target;
    EXPECT_NE(Read("stderr").find("not a regular file"), std::string::npos)
        << Read("stderr");
  }
  struct stat st {};
  ASSERT_EQ(::lstat(Path("out.fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_TRUE(std::filesystem::is_directory(Path("out.dir")));
  for (const auto& e : std::filesystem::directory_iterator(dir_)) {
    EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
  }
}

TEST_F(Catalogue, Exports) {
  const std::string conv =
      R"("op":"conv","input":"in","filter":"in","groups":1,"output_shape":[1,4,4,2])";
  const Row rows[] = {
      {"a cycle",
       Doc(R"({"name":"a","attrs":{"op":"relu","x":"b","output_shape":[1]}},)"
           R"({"name":"b","attrs":{"op":"relu","x":"a","output_shape":[1]}})",
           R"([["a","b"],["b","a"]])"),
       "", "", "graph contains a cycle"},
      {"missing attribute", Node(R"({"op":"relu","output_shape":[1,4]})"), "",
       "", "node 'n' has no 'x'"},
      {"input without a layer",
       Node(R"({"op":"relu","x":"ghost","output_shape":[1,4]})"), "", "",
       "no layer for 'ghost'"},
      {"integer beyond 16 bits",
       Node(
           R"({"op":"leaky_relu","x":"in","alpha":40000,"output_shape":[1,4]})"),
       "", "", "Integer does not fit in 16 bits: 40000"},
      {"mixed sequence",
       Node(
           R"({"op":"leaky_relu","x":"in","alpha":[1,2.5],"output_shape":[1,4]})"),
       "", "", "Sequence has inconsistent or unsupported data: list"},
      {"mapping as data",
       Node(
           R"({"op":"leaky_relu","x":"in","alpha":{"a":1},"output_shape":[1,4]})"),
       "", "", "Unsupported data type: dict"},
      {"NaN scale",
       Node(
           R"({"op":"relu","x":"in","output_shape":[1,4],"quant_scale":{"__ndarray__":{"dtype":"float32","shape":[1],"data":["nan"]}}})"),
       "", "", "Model contains NaN/Inf scale values"},
      {"negative scale",
       Node(
           R"({"op":"relu","x":"in","output_shape":[1,4],"quant_scale":[-0.5]})"),
       "", "", "Model contains negative scale values"},
      {"zero point that is not finite",
       Node(
           R"({"op":"relu","x":"in","output_shape":[1,4],"quant_scale":[0.5],"zero_point":{"__ndarray__":{"dtype":"float64","shape":[1],"data":["inf"]}}})"),
       "", "", "Zero point does not fit in int32"},
      {"block beyond its field",
       Node(
           R"({"op":"relu","x":"in","output_shape":[1,4],"block":4294967296})"),
       "", "--no-mem-map", "does not fit in unsigned 32 bits"},
      {"quantization axis beyond its field",
       Node(
           R"({"op":"relu","x":"in","output_shape":[1,4],"quant_axis":2147483648})"),
       "", "", "does not fit in 32 bits"},
      {"float64 variable",
       Doc(R"({"name":"v","attrs":{"op":"variable","output_shape":[1]}})", "[]",
           R"(["in"])",
           R"(,"tensor_dict":{"v":{"__ndarray__":{"dtype":"float64","shape":[1],"data":[1.0]}}})"),
       "", "", "Tensor data is unsupported: ndarray of float64"},
      {"float16 constant",
       Doc(R"({"name":"c","attrs":{"op":"constant","output_shape":[1]}})", "[]",
           R"(["in"])",
           R"(,"tensor_dict":{"c":{"__ndarray__":{"dtype":"float16","shape":[1],"data":[1.0]}}})"),
       "", "", "Numpy NDArray has unsupported type: float16"},
      {"constant without data",
       Doc(R"({"name":"c","attrs":{"op":"constant","output_shape":[1]}})"), "",
       "", "tensor_dict has no 'c'"},
      {"dilation too short",
       Node("{" + conv + R"(,"dilation":[1],"stride":[1,1]})"), "", "",
       "attribute 'dilation' has 1 entries"},
      {"stride that is no integer",
       Node("{" + conv + R"(,"dilation":[1,1],"stride":["a",1]})"), "", "",
       "does not convert to an integer"},
      {"axes that are not integers",
       Node(
           R"({"op":"sum_reduce","input":"in","axes":[1,"x"],"output_shape":[1]})"),
       "", "", "Expected a sequence of integers"},
      {"concat axis that is no number",
       Node(
           R"({"op":"concat","values":["in"],"axis":"x","output_shape":[1,4]})"),
       "", "", "does not convert to an integer"},
      {"zero dimension with planning",
       Node(R"({"op":"relu","x":"in","output_shape":[1,0]})"), "", "",
       "Found negative value for output shape in node n."},
      {"output size that overflows",
       Node(
           R"({"op":"relu","x":"in","output_shape":[4294967296,4294967296,4]})"),
       "", "", "Output size overflows 64 bits in node n"},
      {"reshapes in a loop",
       Doc(R"({"name":"r1","attrs":{"op":"reshape","input":"r2","output_shape":[4]}},)"
           R"({"name":"r2","attrs":{"op":"reshape","input":"r1","output_shape":[4]}})"),
       "", "", "Reshape inputs form a loop at reshape"},
      {"reshape of no node",
       Doc(R"({"name":"r","attrs":{"op":"reshape","input":"ghost","output_shape":[4]}})"),
       "", "", "reshape input 'ghost' names no node"},
      {"unwritable memory map picture",
       Node(R"({"op":"relu","x":"in","output_shape":[1,4]})"), "",
       "--save-map /nonexistent/dir/map.png", "cannot write the memory map"},
  };
  for (const Row& r : rows) Check(r);
}

TEST_F(Catalogue, SvmDirectories) {
  const std::string graph = Doc(
      R"({"name":"output","attrs":{"op":"relu","x":"in","output_shape":[1,4]}})",
      R"([["in","output"]])");
  std::filesystem::create_directories(Path("svm"));
  const auto files = [&](const std::string& kld, int sv_values) {
    Write("svm/kld.json", kld);
    // K = 2, L = 2: one class pair, two classes, alpha of 1 x 2.
    for (const char* key : {"alpha", "nsv", "label"}) {
      Write(std::string("svm/") + key + ".bin", std::string(8, '\0'));
    }
    for (const char* key : {"a", "b", "rho"}) {
      Write(std::string("svm/") + key + ".bin", std::string(4, '\0'));
    }
    Write("svm/sv.bin",
          std::string(static_cast<std::size_t>(sv_values) * 4, '\0'));
  };
  const struct {
    const char* what;
    std::string kld;
    int sv_values;
    const char* message;
  } rows[] = {
      {"K missing", R"({"L":2,"D":2})", 4, "kld.json lacks the member K"},
      {"L not an integer", R"({"K":2,"L":"2","D":2})", 4,
       "member is not an integer: L"},
      {"K below two", R"({"K":1,"L":2,"D":2})", 4, "out of range: K = 1"},
      {"sv.bin of the wrong count", R"({"K":2,"L":2,"D":2})", 5,
       "expected 4, found 5"},
  };
  for (const auto& r : rows) {
    files(r.kld, r.sv_values);
    Check({r.what, graph, "", "--svm " + Path("svm"), r.message});
  }
  Check({"SVM directory missing", graph, "", "--svm " + Path("none"),
         "cannot read SVM file"});
}

// Rows the tools cannot reach: the library's own callers.
TEST(CatalogueLibrary, RefusalsOfTheLibraryInterface) {
  {
    testing::TestGraph g;
    g.Add("in", "external", {1});
    ExportOptions o;
    std::ostringstream out;
    o.diagnostics = &out;
    o.copy_layers =
        std::make_shared<std::vector<CopyPair>>(std::vector<CopyPair>{{"in"}});
    SarnicExporter e(g, "m", std::move(o));
    EXPECT_THROW(e.run(), IndexError);
  }
  {
    BetterBuilder b(0);
    snxf::ResourceStart(b);
    EXPECT_THROW(b.FinishWithFileIdentifierx(snxf::ResourceEnd(b), "SNX"),
                 ValueError);
  }
}

}  // namespace
}  // namespace sarnic
