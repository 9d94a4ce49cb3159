#include "common/state/configured_drive.h"

#include "common/state/path_policy.h"
#include "common/state/service_config.h"

namespace brimvale {

Result<std::filesystem::path> configuredDrive(const StatePaths& paths) {
  auto config = loadServiceConfig(paths, "");
  if (!config) return std::unexpected(config.error());
  if (!config->hasDrive()) return fail(Errc::kUnavailable, "no drive named");
  // A relative path would name a folder wherever the program happens to run.
  auto drive = normalisedAbsolute(config->nvme().string());
  if (!drive) return fail(Errc::kInvalidArgument, config->nvme().string());
  return *drive;
}

std::string driveUnknownMessage(const Error& error, const StatePaths& paths) {
  if (error.code == Errc::kUnavailable) return std::string(noDriveChosenMessage());
  if (error.code == Errc::kInvalidArgument) {
    return "Brimvale's configuration names the drive as \"" + error.detail +
           "\", which is not a full path, so nothing was changed and your files are safe: run "
           "`brimvale drives select PATH` to choose the drive.";
  }
  const std::string config = paths.config.string();
  if (error.code == Errc::kNotFound) {
    return "Brimvale's configuration " + config +
           " is missing, so it does not know which drive to use. Nothing was changed and your "
           "files are safe; run `brimvale install` to write it again.";
  }
  return "Brimvale could not read its configuration " + config + " (" + error.detail +
         "), so it does not know which drive to use. Nothing was changed and your files are "
         "safe; check that file, then try again.";
}

}  // namespace brimvale
