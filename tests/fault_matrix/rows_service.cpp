// The service's commands that move or delete, in the fault matrix.
#include <filesystem>

#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

Row moveDirRow() {
  Row row;
  row.name = "brim-vale move-dir";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Data";
    writeUserTree(s.target);
    s.command = {.program = Program::kService, .args = {"move-dir", s.target.string()}};
    return true;
  };
  row.moments = {"move-dir:copying", "move-dir:copied", "move-dir:compared",
                 "move-dir:parked",  "move-dir:linked", "move-dir:record-written",
                 "move-dir:finished"};
  row.claimHolds = [](Scene& s) -> std::string {
    std::error_code ec;
    if (!fs::is_symlink(s.target, ec)) return s.target.string() + " is not a link to the drive";
    const fs::path copy = fs::read_symlink(s.target, ec);
    if (!isBelow(copy, s.world.working() / "Relocated") || !fs::is_directory(copy, ec))
      return s.target.string() + " links to " + copy.string();
    return {};
  };
  return row;
}

}  // namespace

std::vector<Row> serviceRows() { return {moveDirRow()}; }

}  // namespace brimvale::faults
