// export_graph GRAPH.json OUT.snx: the library as another project uses it.
#include <iostream>

#include "sarnic/exporter.h"
#include "sarnic/graph_file.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  try {
    auto graph = sarnic::LoadGraph(argv[1]);
    sarnic::SarnicExporter exporter(*graph, "consumer");
    const sarnic::ModelBuffer model = exporter.run();
    sarnic::WriteFileAtomically(argv[2], model.data(), model.size());
  } catch (const sarnic::Error& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
