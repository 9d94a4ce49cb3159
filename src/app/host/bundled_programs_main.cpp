// bundled_programs FOLDER BRIMVALE: writes the auxiliary programs into the
// Scripts folder FOLDER, each running the program at BRIMVALE.
#include <iostream>

#include "app/host/bundled_programs.h"
#include "common/base/file_io.h"

int main(int argc, char** argv) {
  using namespace brimvale;
  if (argc != 3) {
    std::cerr << "usage: bundled_programs FOLDER BRIMVALE\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  for (const auto& program : app::kBundledPrograms) {
    auto written = writeFileAtomically(folder / program.file,
                                       app::bundledProgramScript(program, argv[2]), {.mode = 0755});
    if (!written) {
      std::cerr << written.error().message() << "\n";
      return 1;
    }
  }
  return 0;
}
