// Undoing the last rule run (brim-vale rollback) in the fault matrix: items
// archived to the drive come home across volumes.
#include <chrono>
#include <filesystem>
#include <fstream>

#include "common/base/file_io.h"
#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

Row rollbackRow() {
  Row row;
  row.name = "brim-vale rollback";
  row.prepare = [](Scene& s) {
    const fs::path config = s.world.home().paths().config;
    s.world.home().writeConfig(
        readFile(config).value_or("") +
        "RULES=(\n  \"archive_old | $HOME/Downloads | Downloads-Archive | 7 | \"\n)\n");
    const fs::path downloads = s.world.home() / "Downloads";
    writeUserTree(downloads / "Old Project");
    std::ofstream(downloads / "old notes.txt") << "notes from long ago\n";
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 40);
    for (const auto& e : fs::directory_iterator(downloads)) fs::last_write_time(e.path(), old);
    if (!s.world.run({.program = Program::kService, .args = {"relocate-now"}}).succeeded())
      return false;
    s.target = s.world.working() / "Downloads-Archive" / "Old Project";
    if (!fs::is_directory(s.target)) return false;
    s.command = {.program = Program::kService, .args = {"rollback", "--yes"}};
    return true;
  };
  row.moments = {"rollback:copying", "rollback:copied",  "rollback:set-aside",
                 "rollback:placed",  "rollback:settled", "rollback:row"};
  // Every archived item is home, not a link, and gone from the archive (a
  // version kept aside beside it has another name).
  row.claimHolds = [](Scene& s) -> std::string {
    const fs::path downloads = s.world.home() / "Downloads";
    const fs::path archive = s.world.working() / "Downloads-Archive";
    for (const char* item : {"Old Project", "old notes.txt"}) {
      std::error_code ec;
      const fs::file_status home = fs::symlink_status(downloads / item, ec);
      if (!fs::exists(home) || fs::is_symlink(home)) return std::string(item) + " is not home";
      if (fs::exists(fs::symlink_status(archive / item, ec)))
        return std::string(item) + " is still on the drive";
    }
    return {};
  };
  return row;
}

}  // namespace

std::vector<Row> rollbackRows() { return {rollbackRow()}; }

}  // namespace brimvale::faults
