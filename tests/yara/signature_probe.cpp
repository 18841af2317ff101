// Loads real files into the simulated disk and runs the product's signature check on each.
// For every argument it prints "<path> examined=<0|1> infected=<0|1>", one line per file.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "detect/signatures.h"
#include "sim/sim.h"

int main(int argc, char** argv) {
  sim::Reset();
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::cerr << "signature_probe: cannot read " << argv[i] << "\n";
      return 2;
    }
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Each file gets a path of its own; the check sees only the simulated disk.
    std::string simPath = "C:\\probe\\f" + std::to_string(i) + ".exe";
    sim::PutFile(simPath, data);
    int infected = -1;
    int examined = IsFileInfected(simPath.c_str(), &infected);
    std::cout << argv[i] << " examined=" << examined << " infected=" << infected << "\n";
  }
  if (sim::OpenHandleCount() != 0) {
    std::cerr << "signature_probe: " << sim::OpenHandleCount() << " handles left open\n";
    return 3;
  }
  return 0;
}
