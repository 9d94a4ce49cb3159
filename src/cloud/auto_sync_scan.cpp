#include "cloud/auto_sync_scan.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/base/walk_below.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;

bool isExcluded(const std::string& name, const std::vector<std::string>& patterns) {
  return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
    return !pattern.empty() && fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
  });
}

namespace {

bool alreadyOnDrive(const fs::path& destination, std::int64_t bytes) {
  struct stat st {};
  if (lstat(destination.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode) && st.st_size == bytes;
}

}  // namespace

AutoSyncScan scanPolicy(const AutoSyncPolicy& policy, std::time_t now, const ScanHooks& hooks) {
  AutoSyncScan scan;
  const fs::path root(policy.internalPath);
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    scan.folderReadable = false;
    return scan;
  }
  // A folder below the root that cannot be read is passed over: its files
  // wait for a later run, and nothing is removed on the strength of a scan.
  const WalkReport walk = walkBelow(root, {}, [&](const WalkEntry& e) {
    const fs::path& path = e.path;
    const std::string name(e.name);
    struct stat st {};
    if (::fstatat(e.folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return WalkStep::kContinue;
    if (isExcluded(name, policy.excludePatterns)) return WalkStep::kDoNotEnter;
    if (!S_ISREG(st.st_mode)) return WalkStep::kContinue;
    if (now - st.st_mtime < kSettleSeconds) {
      ++scan.unsettled;
      return WalkStep::kContinue;
    }
    const fs::path relative = path.lexically_relative(root);
    const fs::path destination = fs::path(policy.nvmeDestParent) / relative;
    if (alreadyOnDrive(destination, st.st_size)) return WalkStep::kContinue;
    if (hooks.isBackedOff && hooks.isBackedOff(path.string())) {
      ++scan.backedOff;
      return WalkStep::kContinue;
    }
    if (hooks.isOpen && hooks.isOpen(path.string())) {
      ++scan.inUse;
      return WalkStep::kContinue;
    }
    scan.newFiles.push_back({path.string(), relative.string(), st.st_size});
    return WalkStep::kContinue;
  });
  // The watched folder itself could not be listed: say so rather than report it empty.
  if (std::find(walk.unreadable.begin(), walk.unreadable.end(), root) != walk.unreadable.end())
    scan.folderReadable = false;
  std::sort(scan.newFiles.begin(), scan.newFiles.end(),
            [](const NewFile& a, const NewFile& b) { return a.relativePath < b.relativePath; });
  return scan;
}

std::string inUseSentence(std::int64_t count) {
  return "Skipped " + std::to_string(count) + (count == 1 ? " file" : " files") +
         " that were in use; will try again.";
}

std::string unsettledSentence(std::int64_t count) {
  const bool one = count == 1;
  return "Left " + std::to_string(count) + (one ? " file" : " files") + " changed in the last " +
         std::to_string(kSettleSeconds / 60) + " minutes where " + (one ? "it is" : "they are") +
         "; a later run moves " + (one ? "it once it has" : "them once they have") + " settled.";
}

}  // namespace brimvale::cloud
