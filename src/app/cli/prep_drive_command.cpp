#include "app/cli/prep_drive_command.h"

#include <algorithm>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/yes_answer.h"
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
  // A drive named other than the configured one is chosen first (the
  // service's select-drive, with its own checks), then laid out.
  std::optional<fs::path> named;
  if (!options.drive.empty()) {
    named = normalisedAbsolute(options.drive);
    if (!named) {
      host.err << "\"" << options.drive << "\" is not a drive's mount path. Nothing was changed; "
               << "`brimvale drives` lists the drives you can use.\n";
      return 2;
    }
  }
  if (!named && host.mount.empty()) {
    host.err << host.driveUnknown << "\n";
    return 1;
  }
  const bool otherDrive = named && named != normalisedAbsolute(host.mount.string());
  const fs::path drive = otherDrive ? *named : host.mount;
  const std::string mount = drive.string();
  const std::string ours = workingFolderName(host.computerName);
  const auto others = otherWorkingFolders(drive, ours);
  if (!others.empty() && !options.allowOtherComputer) {
    std::string names;
    for (const auto& n : others) names += (names.empty() ? "" : ", ") + n;
    host.err << mount << " already holds another computer's Brimvale folder (" << names
             << "). Nothing was changed, and that folder is safe. If this computer should share "
                "the drive, run this again with --allow-other-computer.\n";
    return 1;
  }
  if (otherDrive) host.out << "Brimvale will use " << mount << " from now on.\n";
  host.out << "Brimvale will lay out " << (drive / ours).string()
           << " with its folders and marker file, keeping anything already there.\n";
  if (options.dryRun) {
    host.out << "Dry run: nothing was changed.\n";
    return 0;
  }
  if (!options.autoYes) {
    if (!host.interactive) {
      host.err << "Brimvale asks before it lays out a drive, and there is no terminal here to ask "
                  "on. Nothing was changed. Run it again from a terminal, or with --yes to lay "
                  "out the drive without being asked.\n";
      return 1;
    }
    host.out << "Lay out the drive now? [y/N] " << std::flush;
    if (!readsYes(host.in)) {
      host.out << "Nothing was changed.\n";
      return 1;
    }
  }
  for (const auto& step :
       {std::vector<std::string>{"select-drive", mount}, std::vector<std::string>{"recover"}}) {
    if (step[0] == "select-drive" && !otherDrive) continue;
    const ProcessResult r = host.service(step);
    host.out << r.out;
    host.err << r.err;
    if (r.outcome != ProcessOutcome::kExited) {
      host.err << "The service could not be run to lay out the drive, so nothing was changed. "
                  "Run `brimvale self-check`, then try again.\n";
      return 1;
    }
    if (r.exitCode != 0) return 1;
  }
  return 0;
}

}  // namespace brimvale::app
