// snx-inspect: shows what an SNX model file holds.
#include <CLI/CLI.hpp>
#include <iostream>

#include "sarnic/errors.h"
#include "sarnic/model_reader.h"

int main(int argc, char** argv) {
  CLI::App app{"Show the header, resources and layers of an SNX model file."};
  std::string path;
  bool json = false;
  sarnic::DescribeOptions options;
  app.add_option("model", path, "Model file (.snx)")->required();
  app.add_flag("--json", json, "Print one JSON document instead of text");
  app.add_option("--layer", options.layer,
                 "Show only this layer, by name or by index");
  app.add_flag("--params", options.params,
               "Show a preview of every parameter tensor's data");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "error: " << e.what() << "\n" << app.help();
    return 2;
  }
  try {
    const sarnic::ModelFile file = sarnic::ModelFile::Open(path);
    sarnic::WriteDescription(std::cout, file.model(), options, json);
    std::cout.flush();
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
