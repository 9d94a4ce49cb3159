#include "apps/app_move_guards.h"

#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "common/base/timestamps.h"
#include "common/state/paths.h"

namespace brimvale::apps {

namespace fs = std::filesystem;

namespace {

std::optional<dev_t> deviceOf(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_dev;
}

// The nearest folder at or above `path` that exists.
fs::path nearestExisting(fs::path path) {
  std::error_code ec;
  while (!path.empty() && !fs::exists(path, ec) && path != path.parent_path()) {
    path = path.parent_path();
  }
  return path;
}

bool hasDotDot(const fs::path& path) {
  return std::ranges::any_of(path, [](const fs::path& part) { return part == ".."; });
}

// The folder of `path` with links resolved, joined with its last name, which
// is deliberately left unresolved: deleting a link removes the link only.
std::optional<fs::path> resolvedItem(const fs::path& path) {
  if (!path.is_absolute() || hasDotDot(path)) return std::nullopt;
  const fs::path normal = path.lexically_normal();
  fs::path name = normal.filename();
  fs::path folder = normal.parent_path();
  if (name.empty()) {  // a trailing '/'
    name = folder.filename();
    folder = folder.parent_path();
  }
  if (name.empty() || name == ".") return std::nullopt;
  std::error_code ec;
  const fs::path resolved = fs::weakly_canonical(folder, ec);
  if (ec) return std::nullopt;
  return resolved / name;
}

}  // namespace

fs::path homeQuarantineRoot(const fs::path& home) { return home / ".brimvale/quarantine/apps"; }

std::optional<fs::path> volumeRootOf(const fs::path& path) {
  std::error_code ec;
  fs::path current = fs::weakly_canonical(path, ec);
  if (ec) return std::nullopt;
  current = nearestExisting(current);
  const auto device = deviceOf(current);
  if (!device) return std::nullopt;
  while (current.has_parent_path() && current != current.parent_path()) {
    const fs::path parent = current.parent_path();
    if (deviceOf(parent) != device) break;
    current = parent;
  }
  return current;
}

std::optional<fs::path> quarantineRootFor(const fs::path& bundle, const fs::path& home) {
  const fs::path bundleFolder = bundle.parent_path();
  const auto bundleDevice = deviceOf(bundleFolder);
  if (!bundleDevice) return std::nullopt;
  const fs::path homeRoot = homeQuarantineRoot(home);
  if (deviceOf(nearestExisting(homeRoot)) == bundleDevice) return homeRoot;
  const auto volume = volumeRootOf(bundleFolder);
  if (!volume) return std::nullopt;
  return *volume / kVolumeQuarantineFolder;
}

std::string quarantinePrefix(const std::optional<std::string>& bundleID) {
  const bool usable = bundleID && !bundleID->empty() && *bundleID != "." && *bundleID != ".." &&
                      bundleID->find('/') == std::string::npos;
  return (usable ? *bundleID : std::string("unknown")) + ".";
}

std::string quarantineName(const std::optional<std::string>& bundleID, std::time_t startedAt) {
  std::string stamp = isots(startedAt);
  std::ranges::replace(stamp, ':', '-');
  return quarantinePrefix(bundleID) + stamp;
}

bool isUnderManagedRoot(const fs::path& path, std::string_view computerName) {
  const auto item = resolvedItem(path);
  if (!item) return false;
  const std::string root = workingFolderName(computerName);
  // The item must lie below the working folder, not be the folder itself.
  const fs::path folder = item->parent_path();
  return std::ranges::any_of(folder, [&](const fs::path& part) { return part == root; });
}

std::optional<fs::path> driveOf(const fs::path& onDrive, std::string_view computerName) {
  const std::string working = workingFolderName(computerName);
  fs::path drive;
  for (const fs::path& part : onDrive.lexically_normal()) {
    if (part == working) return drive.empty() ? std::nullopt : std::optional(drive);
    drive /= part;
  }
  return std::nullopt;
}

bool isUnderQuarantineRoot(const fs::path& path, const fs::path& home) {
  const auto item = resolvedItem(path);
  if (!item) return false;
  const fs::path folder = item->parent_path();
  std::error_code ec;
  const fs::path homeRoot = fs::weakly_canonical(homeQuarantineRoot(home), ec);
  if (!ec && folder == homeRoot) return true;
  // <volume root>/.brimvale-quarantine/apps
  if (folder.filename() != "apps" || folder.parent_path().filename() != ".brimvale-quarantine") {
    return false;
  }
  const fs::path volume = folder.parent_path().parent_path();
  const auto root = volumeRootOf(volume);
  return root && *root == volume;
}

}  // namespace brimvale::apps
