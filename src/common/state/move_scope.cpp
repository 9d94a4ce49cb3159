#include "common/state/move_scope.h"

#include <sys/stat.h>

#include "common/base/file_calls.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

PathPolicy homeAndExtras(const MoveScopeSettings& s) {
  PathPolicyRoots roots;
  roots.home = s.home;
  roots.extraRoots = s.extraRoots;
  return PathPolicy(std::move(roots));
}

PathPolicy workingFolderOnly(const MoveScopeSettings& s) {
  PathPolicyRoots roots;
  roots.workingFolder = s.workingFolder;
  return PathPolicy(std::move(roots));
}

fs::path resolvedOr(const fs::path& path) { return weaklyCanonical(path).value_or(path); }

}  // namespace

bool MoveScope::deviceChangesAt(const fs::path& path) {
  if (path == path.root_path()) return true;
  struct stat here {
  }, up{};
  if (lstat(path.c_str(), &here) != 0 || stat(path.parent_path().c_str(), &up) != 0) return false;
  return S_ISDIR(here.st_mode) && here.st_dev != up.st_dev;
}

MoveScope::MoveScope(MoveScopeSettings settings)
    : settings_(std::move(settings)),
      toDrive_(homeAndExtras(settings_)),
      onDrive_(workingFolderOnly(settings_)) {
  if (!settings_.isMountPoint) settings_.isMountPoint = deviceChangesAt;
}

std::expected<fs::path, MoveRefusal> MoveScope::check(
    const std::string& path, MoveDirection direction,
    const std::function<bool(const fs::path&)>& reversesRecordedRelocation) const {
  MoveRefusal refusal;
  refusal.path = path;
  auto refuse = [&](MoveRefusalReason reason) {
    refusal.reason = reason;
    return std::unexpected(refusal);
  };
  const auto lexical = normalisedAbsolute(path);
  if (lexical) refusal.path = lexical->string();
  const fs::path mount = normalisedAbsolute(settings_.driveMount.string()).value_or(fs::path());
  const fs::path resolvedMount = mount.empty() ? fs::path() : resolvedOr(mount);
  auto onDrive = [&](const fs::path& p) {
    return !mount.empty() && (p == mount || p == resolvedMount || isStrictlyInside(p, mount) ||
                              isStrictlyInside(p, resolvedMount));
  };

  if (direction == MoveDirection::kBackFromDrive) {
    auto allowed = onDrive_.check(path);
    if (!allowed) {
      refusal.pathRefusal = allowed.error();
      return refuse(MoveRefusalReason::kPath);
    }
    if (!reversesRecordedRelocation || !reversesRecordedRelocation(allowed->path)) {
      return refuse(MoveRefusalReason::kNotRecorded);
    }
    return allowed->path;
  }

  // The drive first: "already on the drive" says more than "outside your home".
  if (lexical && (onDrive(*lexical) || onDrive(resolvedOr(*lexical))))
    return refuse(MoveRefusalReason::kOnDrive);
  auto allowed = toDrive_.check(path);
  if (!allowed) {
    refusal.pathRefusal = allowed.error();
    return refuse(MoveRefusalReason::kPath);
  }
  const fs::path resolved = resolvedOr(allowed->path);
  if (!mount.empty() &&
      (isStrictlyInside(mount, allowed->path) || isStrictlyInside(resolvedMount, resolved))) {
    return refuse(MoveRefusalReason::kHoldsDrive);
  }
  if (fs::exists(linkStatus(allowed->path).value_or(fs::file_status{})) &&
      settings_.isMountPoint(allowed->path)) {
    return refuse(MoveRefusalReason::kMountPoint);
  }
  return allowed->path;
}

std::string MoveRefusal::sentence() const {
  switch (reason) {
    case MoveRefusalReason::kPath: return pathRefusal.sentence();
    case MoveRefusalReason::kMountPoint:
      return path +
             " is where a disk is mounted; Brimvale moves folders, not whole disks. Nothing was "
             "changed.";
    case MoveRefusalReason::kOnDrive:
      return path +
             " is already on the drive, so there is nothing to move there. Nothing was changed.";
    case MoveRefusalReason::kHoldsDrive:
      return "The drive is mounted inside " + path +
             ", and a folder can't be moved into itself. Nothing was changed.";
    case MoveRefusalReason::kNotRecorded:
      return path +
             " is on the drive, and Brimvale only moves something back from the drive when it "
             "reverses a relocation it recorded. Nothing was changed.";
  }
  return path + " can't be moved. Nothing was changed.";
}

}  // namespace brimvale
