// snx-inspect: shows what an SNX model file holds, verifies its plan, and
// writes its HTML report.
#include <CLI/CLI.hpp>
#include <iostream>

#include "graph_source.h"
#include "output_paths.h"
#include "sarnic/analysis.h"
#include "sarnic/errors.h"
#include "sarnic/files.h"
#include "sarnic/model_reader.h"
#include "tool_output.h"

namespace {

// The plan verifier: one line per violation, or with `json` one document
// listing them; status 1 when there is any.
int Verify(const std::string& path, bool json) {
  const auto file =
      sarnic::MappedFile::Open(path, "model file", sarnic::kMaxModelBytes - 1);
  const auto* data = reinterpret_cast<const uint8_t*>(file->data());
  const std::vector<std::string> violations =
      sarnic::VerifyModel({data, file->size()});
  if (json) {
    const nlohmann::ordered_json doc = {{"format", "snx-verification"},
                                        {"version", 1},
                                        {"model", path},
                                        {"sound", violations.empty()},
                                        {"violations", violations}};
    std::cout << doc.dump(2, ' ', false,
                          nlohmann::ordered_json::error_handler_t::replace)
              << "\n";
  } else {
    for (const std::string& v : violations) {
      std::cout << sarnic::Printable(path) << ": " << sarnic::Printable(v)
                << "\n";
    }
    if (violations.empty()) std::cout << sarnic::Printable(path) << ": sound\n";
  }
  return violations.empty() ? 0 : 1;
}

// The summary alone, as text or as the "snx-summary" JSON document.
void WriteSummary(const sarnic::ModelFacts& facts, bool json) {
  if (!json) return sarnic::WriteSummaryText(std::cout, facts);
  sarnic::WriteSummaryJson(std::cout, facts, 2);
  std::cout << "\n";
}

struct Args {
  std::string path;
  bool json = false, verify = false, summary = false;
  std::optional<std::string> html;
  sarnic::DescribeOptions options;
};

void DefineOptions(CLI::App& app, Args& a) {
  app.add_option("model", a.path, "Model file (.snx)")->required();
  app.add_flag("--json", a.json,
               "Print one JSON document instead of text (with --verify and "
               "--summary too)");
  CLI::Option* layer = app.add_option(
      "--layer", a.options.layer, "Show only this layer, by name or by index");
  CLI::Option* params =
      app.add_flag("--params", a.options.params,
                   "Show a preview of every parameter tensor's data");
  CLI::Option* verify_flag =
      app.add_flag("--verify", a.verify,
                   "Check the model's structure and arena plan: one line per "
                   "violation, exit status 1 when there is any");
  CLI::Option* html_option = app.add_option(
      "--html", a.html,
      "Write an interactive HTML report of the model to this file");
  app.add_flag("--summary", a.summary,
               "Print only the summary (file size, parameters, arena, layer "
               "types, peak step); without it the summary follows the "
               "layers' lines, at the end")
      ->excludes(layer)
      ->excludes(params)
      ->excludes(verify_flag)
      ->excludes(html_option);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Show the header, resources, layers and summary of an SNX model file; "
      "of an ONNX model, what it holds and whether it converts."};
  Args a;
  DefineOptions(app, a);
  sarnic::tools::AddVersionFlag(app, "snx-inspect");
  if (const auto status = sarnic::tools::ParseCommandLine(app, argc, argv)) {
    return *status;
  }
  sarnic::RemoveTemporaryFilesOnSignals();
  sarnic::ReportTruncatedMappedFiles();
  try {
    // An ONNX model: what it holds and whether it converts, as text only.
    if (sarnic::tools::IsOnnxFile(a.path)) {
      if (a.verify || a.json || a.html) {
        throw sarnic::ValueError(
            a.path +
            " is an ONNX model: snx-inspect describes it as text "
            "only; --verify, --json and --html read SNX models");
      }
      std::cout << sarnic::DescribeOnnxModel(a.path);
      return sarnic::tools::FinishOutput(0);
    }
    if (a.verify) return sarnic::tools::FinishOutput(Verify(a.path, a.json));
    if (a.html) sarnic::tools::CheckOutputs({{"--html", *a.html}}, {a.path});
    const sarnic::ModelFile file = sarnic::ModelFile::Open(a.path);
    const sarnic::ModelFacts facts =
        sarnic::AnalyseModel(file.model(), file.size());
    if (a.html) {
      sarnic::WriteFileAtomically(*a.html, "HTML report", [&](std::ostream& o) {
        sarnic::WriteHtmlReport(o, facts);
      });
      return 0;
    }
    if (a.summary) {
      WriteSummary(facts, a.json);
    } else {
      sarnic::WriteDescription(std::cout, file.model(), a.options, a.json,
                               &facts);
    }
  } catch (const std::exception& e) {
    sarnic::tools::PrintError(e.what());
    return 1;
  }
  return sarnic::tools::FinishOutput(0);
}
