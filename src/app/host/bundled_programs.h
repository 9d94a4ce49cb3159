// The auxiliary programs of the Scripts folder: each a small shell script
// that runs one `brimvale` subcommand, so every rule lives in one place.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

namespace brimvale::app {

struct BundledProgram {
  std::string_view file;        // its name in the Scripts folder and in ~/.brimvale
  std::string_view subcommand;  // the `brimvale` subcommand it runs
};

inline constexpr std::array<BundledProgram, 6> kBundledPrograms{{
    {"0-preflight.sh", "preflight"},
    {"1-discover.sh", "discover"},
    {"2-prep-nvme.sh", "prep-drive"},
    {"3-relocate.sh", "relocate"},
    {"4-cleanup-old.sh", "cleanup-old"},
    {"6-panic-recovery.sh", "panic-recovery"},
}};

// A POSIX shell script that runs `brimvale` (single-quoted, so any path is
// safe) with `program.subcommand` and all of its own arguments unchanged.
[[nodiscard]] std::string bundledProgramScript(const BundledProgram& program,
                                               const std::filesystem::path& brimvale);

}  // namespace brimvale::app
