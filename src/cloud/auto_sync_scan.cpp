#include "cloud/auto_sync_scan.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

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
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  if (ec) {
    scan.folderReadable = false;
    return scan;
  }
  for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const fs::path path = it->path();
    const std::string name = path.filename().string();
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (isExcluded(name, policy.excludePatterns)) {
      if (S_ISDIR(st.st_mode)) it.disable_recursion_pending();
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;
    if (now - st.st_mtime < kSettleSeconds) {
      ++scan.unsettled;
      continue;
    }
    const fs::path relative = path.lexically_relative(root);
    const fs::path destination = fs::path(policy.nvmeDestParent) / relative;
    if (alreadyOnDrive(destination, st.st_size)) continue;
    if (hooks.isBackedOff && hooks.isBackedOff(path.string())) {
      ++scan.backedOff;
      continue;
    }
    if (hooks.isOpen && hooks.isOpen(path.string())) {
      ++scan.inUse;
      continue;
    }
    scan.newFiles.push_back({path.string(), relative.string(), st.st_size});
  }
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
