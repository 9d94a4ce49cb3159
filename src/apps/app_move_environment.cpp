#include "apps/app_move_environment.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "apps/app_move_guards.h"
#include "mover/switch_privileged.h"

namespace brimvale::apps {

namespace fs = std::filesystem;

std::vector<fs::path> canonicalApplicationRoots(const fs::path& home) {
  return {"/Applications", home / "Applications", "/Applications/Setapp",
          "/Applications/Utilities"};
}

AppMoveEnvironment AppMoveEnvironment::forHome(const fs::path& home, std::string computerName,
                                               platform::AppRelocationTools& tools,
                                               const AppManifestStore& store,
                                               std::function<void(const std::string&)> log) {
  AppMoveEnvironment env;
  env.paths = StatePaths::forHome(home);
  env.computerName = std::move(computerName);
  env.tools = &tools;
  env.files = &FileOperations::real();
  env.store = &store;
  env.clock = systemClock();
  env.log = std::move(log);
  env.applicationRoots = canonicalApplicationRoots(home);
  env.userCanWrite = [](const fs::path& bundle) {
    return ::access(bundle.parent_path().c_str(), W_OK) == 0;
  };
  env.caseSensitivityOf = [home](const fs::path& folder) {
    // The folder itself first: it is on the volume and the move writes there anyway.
    std::vector<fs::path> folders{folder};
    if (const auto root = volumeRootOf(folder)) {
      for (auto& probe : mover::caseProbeFolders(*root, home)) folders.push_back(probe);
    }
    return mover::caseSensitivity(folders);
  };
  return env;
}

std::string caseSensitivityRaw(mover::VolumeCaseSensitivity value) {
  switch (value) {
    case mover::VolumeCaseSensitivity::kSensitive: return "case_sensitive_apfs";
    case mover::VolumeCaseSensitivity::kInsensitive: return "case_insensitive_apfs";
    case mover::VolumeCaseSensitivity::kUnknown: break;
  }
  return "unknown";
}

std::error_code exchangePaths(const fs::path& a, const fs::path& b) {
#if defined(__linux__)
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) return {};
  if (errno == EINVAL) return std::make_error_code(std::errc::not_supported);
#elif defined(__APPLE__)
  if (::renamex_np(a.c_str(), b.c_str(), RENAME_SWAP) == 0) return {};
#else
  errno = ENOTSUP;
#endif
  return {errno, std::generic_category()};
}

bool somethingAt(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

bool isRealFolder(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(path, ec));
}

bool isLinkTo(const fs::path& link, const std::string& target) {
  std::error_code ec;
  if (target.empty() || !fs::is_symlink(fs::symlink_status(link, ec))) return false;
  const fs::path actual = fs::read_symlink(link, ec);
  return !ec && actual.lexically_normal() == fs::path(target).lexically_normal();
}

ParkResult moveBundle(const AppMoveEnvironment& env, const fs::path& from, const fs::path& to) {
  const std::error_code ec = env.files->renameNoReplace(from, to);
  if (!ec) return {ParkOutcome::kMoved, {}};
  // Across volumes only a copy would do, and an original is never copied away.
  if (ec == std::errc::cross_device_link || env.userCanWrite(from)) {
    return {ParkOutcome::kFailed, ec.message()};
  }
  const auto result = env.tools->runPrivileged("/bin/mv -f " + mover::singleQuoted(from.string()) +
                                               " " + mover::singleQuoted(to.string()));
  switch (result.outcome) {
    case platform::PrivilegedOutcome::kSuccess:
      if (somethingAt(to) && !somethingAt(from)) return {ParkOutcome::kMoved, {}};
      return {ParkOutcome::kFailed, ec.message()};
    case platform::PrivilegedOutcome::kCancelled: return {ParkOutcome::kCancelled, ec.message()};
    case platform::PrivilegedOutcome::kFailed: break;
  }
  return {ParkOutcome::kFailed, ec.message()};
}

std::optional<fs::path> purgeQuarantine(const AppMoveEnvironment& env, const fs::path& quarantine,
                                        const fs::path& copy, const fs::path& original,
                                        const ReplaceGuard& guard, bool comparedJustNow) {
  if (!somethingAt(quarantine)) return std::nullopt;
  if (!isUnderQuarantineRoot(quarantine, env.paths.home)) {
    env.log("AppRelocatorEngine.purgeQuarantineDir: refusing path outside quarantine root: " +
            quarantine.string());
    return std::nullopt;
  }
  const RetireOptions options{.keepIn = original.parent_path(),
                              .keepName = original.filename().string(),
                              .removeRest =
                                  [&env](const fs::path& rest) {
                                    const auto result = env.tools->runPrivileged(
                                        "/bin/rm -rf " + mover::singleQuoted(rest.string()));
                                    return result.outcome == platform::PrivilegedOutcome::kSuccess;
                                  },
                              .comparedJustNow = comparedJustNow};
  const Retired retired = retire(quarantine, copy, guard, *env.files, options);
  if (retired.gone) return std::nullopt;
  if (retired.keptAt) {
    env.log("AppRelocatorEngine.purgeQuarantineDir: kept " + quarantine.string() + " as " +
            retired.keptAt->string() + " because these entries differ from " + copy.string() +
            ": " + namedEntries(retired.differing));
    return retired.keptAt;
  }
  env.log("AppRelocatorEngine.purgeQuarantineDir: could not remove " + quarantine.string() + ": " +
          retired.error);
  return quarantine;
}

void leaveOrphanBreadcrumb(const AppMoveEnvironment& env, OrphanBreadcrumb crumb) {
  crumb.createdAt = env.clock();
  const auto written = writeOrphanBreadcrumb(env.paths.state, crumb);
  if (!written) {
    env.log("AppRelocatorEngine: could not write orphan breadcrumb for " + crumb.manifestID + ": " +
            written.error().message());
    return;
  }
  env.log("AppRelocatorEngine: wrote orphan breadcrumb at " + written->string() +
          " — user must recover manually");
}

}  // namespace brimvale::apps
