// What snx-inspect does with arbitrary bytes: the description, the
// summary (text and JSON), the plan verifier and the HTML report.
#include <cstdint>
#include <vector>

#include "sarnic/analysis.h"
#include "sarnic/errors.h"
#include "sarnic/model_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy, aligned as a file read into memory would be.
  const std::vector<uint8_t> bytes(data, data + size);
  (void)sarnic::VerifyModel(bytes);
  try {
    const snxf::Model& model = sarnic::ReadModel(bytes, "input");
    sarnic::DescribeOptions options;
    options.params = true;
    const auto description = sarnic::DescribeModel(model, options);
    (void)sarnic::FormatDescription(description);
    const sarnic::ModelFacts facts = sarnic::AnalyseModel(model, bytes.size());
    // Names are the file's bytes: dumped as the tools dump them.
    (void)sarnic::SummaryJson(facts).dump(
        -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    (void)sarnic::SummaryText(facts);
    (void)sarnic::HtmlReport(facts);
  } catch (const sarnic::Error&) {
  }
  return 0;
}
