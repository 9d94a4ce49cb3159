// The drive-to-drive copy, as a backup and as a transfer ending in the
// switch to the new drive, in the fault matrix.
#include <filesystem>

#include "common/base/file_io.h"
#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

// A home with one folder relocated file by file (brimvale move) and one
// folder relocated whole (brim-vale move-dir), and an empty second drive.
bool relocateSomeFolders(Scene& s) {
  const fs::path projects = s.world.home() / "Projects", data = s.world.home() / "Data";
  writeUserTree(projects);
  writeUserTree(data, 6);
  if (!s.world.run({.args = {"move", projects.string(), "--yes"}}).succeeded()) return false;
  if (!s.world.run({.program = Program::kService, .args = {"move-dir", data.string()}}).succeeded())
    return false;
  s.target = projects;
  s.notes["second"] = s.world.secondDrive().string();
  return true;
}

// What is wrong with the links under the home folder: one that still leads
// into `oldWorking`, or one that leads nowhere.
std::string linksLeadInto(const fs::path& home, const fs::path& newWorking,
                          const fs::path& oldWorking) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(home, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_symlink(ec)) continue;
    const fs::path target = fs::read_symlink(it->path(), ec);
    if (isBelow(target, oldWorking)) return it->path().string() + " still leads to the old drive";
    if (isBelow(target, newWorking) && !fs::exists(it->path(), ec))
      return it->path().string() + " leads nowhere";
  }
  return {};
}

Row transferRow(bool backup) {
  Row row;
  row.name =
      backup ? "brimvale drive-transfer start backup" : "brimvale drive-transfer start transfer";
  row.prepare = [backup](Scene& s) {
    if (!relocateSomeFolders(s)) return false;
    s.command = {
        .args = {"drive-transfer", "start", backup ? "backup" : "transfer", s.notes["second"]}};
    s.then = {{.args = {"drive-transfer", "status", "--wait"}}};
    s.rerun = {{.args = {"drive-transfer", "resume"}},
               {.args = {"drive-transfer", "status", "--wait"}}};
    return true;
  };
  row.moments = {"transfer:copying", "transfer:verified"};
  if (!backup) {
    row.moments.insert(row.moments.end(), {"switch:found", "switch:link-swapped", "switch:linked",
                                           "switch:recorded", "transfer:switched"});
  }
  row.claimHolds = [backup](Scene& s) -> std::string {
    const fs::path second = s.notes["second"];
    const fs::path newWorking = second / s.world.working().filename();
    if (backup) {
      std::error_code ec;
      for (fs::recursive_directory_iterator it(s.world.working(), ec), end; !ec && it != end;
           it.increment(ec)) {
        const fs::path rel = it->path().lexically_relative(s.world.working());
        // Each drive's marker names that drive.
        if (rel.string().ends_with("-managed")) continue;
        if (it->is_regular_file(ec) &&
            readFile(it->path()).value_or("a") != readFile(newWorking / rel).value_or("b"))
          return "the backup lacks " + rel.string();
      }
      // Nor may it hold what the drive lacks (a killed copy's half-written file).
      for (fs::recursive_directory_iterator it(newWorking, ec), end; !ec && it != end;
           it.increment(ec)) {
        const fs::path rel = it->path().lexically_relative(newWorking);
        if (rel.string().ends_with("-managed")) continue;
        if (!fs::exists(fs::symlink_status(s.world.working() / rel, ec)))
          return "the backup holds " + rel.string() + ", which the drive lacks";
      }
      return {};
    }
    const std::string config = readFile(s.world.home().paths().config).value_or("");
    if (config.find("NVMe=\"" + second.string() + "\"") == std::string::npos)
      return "the configuration does not name the new drive";
    return linksLeadInto(s.world.home().path(), newWorking, s.world.working());
  };
  row.successText = backup ? "Backed everything up to the other drive."
                           : "Moved everything to the new drive and switched over.";
  return row;
}

}  // namespace

std::vector<Row> driveTransferRows() { return {transferRow(true), transferRow(false)}; }

}  // namespace brimvale::faults
