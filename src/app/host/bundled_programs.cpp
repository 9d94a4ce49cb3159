#include "app/host/bundled_programs.h"

#include "common/base/text_formats.h"

namespace brimvale::app {

std::string bundledProgramScript(const BundledProgram& program,
                                 const std::filesystem::path& brimvale) {
  return "#!/bin/sh\n# " + std::string(program.file) + ": runs `brimvale " +
         std::string(program.subcommand) + "`; --help lists its options.\nexec " +
         shellQuoted(brimvale.string()) + " " + std::string(program.subcommand) + " \"$@\"\n";
}

}  // namespace brimvale::app
