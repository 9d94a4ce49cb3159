#include "app/prep_drive_command.h"

#include <algorithm>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/state/path_policy.h"

namespace brimvale::app {
namespace fs = std::filesystem;

std::vector<std::string> otherWorkingFolders(const fs::path& mount, std::string_view ours) {
  std::vector<std::string> others;
  for (const auto& e : listEntries(mount).value_or(std::vector<DirEntry>{})) {
    const std::string name = e.path.filename().string();
    if (!e.isDirectory() || !name.starts_with("BRIM-") || name == ours) continue;
    if (pathExists(e.path / kMarkerFileName).value_or(false)) others.push_back(name);
  }
  std::sort(others.begin(), others.end());
  return others;
}

int prepDriveCommand(PrepDriveHost& host, const PrepDriveOptions& options) {
  const std::string mount = host.mount.string();
  if (!options.drive.empty() && normalisedAbsolute(options.drive) != normalisedAbsolute(mount)) {
    host.err << options.drive << " is not the drive Brimvale is set to use (" << mount
             << "). Nothing was changed; choose the drive first (`brimvale drives` lists them), "
                "then run this again.\n";
    return 2;
  }
  const std::string ours = workingFolderName(host.computerName);
  const auto others = otherWorkingFolders(host.mount, ours);
  if (!others.empty() && !options.allowOtherComputer) {
    std::string names;
    for (const auto& n : others) names += (names.empty() ? "" : ", ") + n;
    host.err << mount << " already holds another computer's Brimvale folder (" << names
             << "). Nothing was changed, and that folder is safe. If this computer should share "
                "the drive, run this again with --allow-other-computer.\n";
    return 1;
  }
  host.out << "Brimvale will lay out " << (host.mount / ours).string()
           << " with its folders and marker file, keeping anything already there.\n";
  if (options.dryRun) {
    host.out << "Dry run: nothing was changed.\n";
    return 0;
  }
  if (!options.autoYes) {
    if (!host.interactive) {
      host.out << "Nothing was changed. Run it with --auto to lay out the drive.\n";
      return 0;
    }
    host.out << "Lay out the drive now? [y/N] " << std::flush;
    std::string answer;
    std::getline(host.in, answer);
    if (answer != "y" && answer != "Y" && answer != "yes") {
      host.out << "Nothing was changed.\n";
      return 1;
    }
  }
  const ProcessResult r = host.service({"recover"});
  host.out << r.out;
  host.err << r.err;
  if (r.outcome == ProcessOutcome::kExited) return r.exitCode == 0 ? 0 : 1;
  host.err << "The service could not be run to lay out the drive, so nothing was changed. Run "
              "`brimvale self-check`, then try again.\n";
  return 1;
}

}  // namespace brimvale::app
