// snx-inspect: shows what an SNX model file holds, verifies its plan, and
// writes its HTML report.
#include <CLI/CLI.hpp>
#include <iostream>

#include "sarnic/analysis.h"
#include "sarnic/errors.h"
#include "sarnic/files.h"
#include "sarnic/model_reader.h"

namespace {

// The plan verifier: one line per violation; status 1 when there is any.
int Verify(const std::string& path) {
  const auto file =
      sarnic::MappedFile::Open(path, "model file", sarnic::kMaxModelBytes - 1);
  const auto* data = reinterpret_cast<const uint8_t*>(file->data());
  const std::vector<std::string> violations =
      sarnic::VerifyModel({data, file->size()});
  for (const std::string& v : violations)
    std::cout << path << ": " << v << "\n";
  if (violations.empty()) std::cout << path << ": sound\n";
  return violations.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Show the header, resources, layers and summary of an SNX model file."};
  std::string path;
  bool json = false, verify = false;
  std::optional<std::string> html;
  sarnic::DescribeOptions options;
  app.add_option("model", path, "Model file (.snx)")->required();
  app.add_flag("--json", json, "Print one JSON document instead of text");
  app.add_option("--layer", options.layer,
                 "Show only this layer, by name or by index");
  app.add_flag("--params", options.params,
               "Show a preview of every parameter tensor's data");
  app.add_flag("--verify", verify,
               "Check the model's structure and arena plan: one line per "
               "violation, exit status 1 when there is any");
  app.add_option("--html", html,
                 "Write an interactive HTML report of the model to this file");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "error: " << e.what() << "\n" << app.help();
    return 2;
  }
  try {
    if (verify) return Verify(path);
    if (html && sarnic::WouldReplace(*html, path)) {
      throw sarnic::ValueError(
          "An output would replace an input file:",
          "--html " + *html + " is " + path + "; nothing was written");
    }
    const sarnic::ModelFile file = sarnic::ModelFile::Open(path);
    const sarnic::ModelFacts facts =
        sarnic::AnalyseModel(file.model(), file.size());
    if (html) {
      const std::string page = sarnic::HtmlReport(facts);
      sarnic::WriteFileAtomically(*html, page.data(), page.size());
      return 0;
    }
    sarnic::WriteDescription(std::cout, file.model(), options, json, &facts);
    std::cout.flush();
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
