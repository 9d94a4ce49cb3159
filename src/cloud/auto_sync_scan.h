// One look through a watched folder for files that should go to the drive.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "cloud/auto_sync_policy.h"

namespace brimvale::cloud {

// A file younger than this may still be being written; a later run takes it.
inline constexpr std::time_t kSettleSeconds = 10 * 60;

struct NewFile {
  std::string path;          // inside the watched folder
  std::string relativePath;  // the same place under the destination
  std::int64_t bytes = 0;
};

struct AutoSyncScan {
  std::vector<NewFile> newFiles;  // in walk order, sorted by relative path
  std::int64_t inUse = 0;         // held open by another program
  std::int64_t unsettled = 0;     // changed within kSettleSeconds: left for a later run
  std::int64_t backedOff = 0;     // failed too often lately
  bool folderReadable = true;     // false when the watched folder could not be opened
};

struct ScanHooks {
  // True when another program holds the file open.
  std::function<bool(const std::string&)> isOpen;
  // True when the file failed too often lately to be tried now.
  std::function<bool(const std::string&)> isBackedOff;
};

// A name matches when any shell-style pattern matches it; a matching folder
// is not entered.
[[nodiscard]] bool isExcluded(const std::string& name, const std::vector<std::string>& patterns);

// Regular files of the watched folder (links are never followed) that are
// not excluded, were last modified at least kSettleSeconds before `now`, and
// are missing under the destination or differ from it in size.
[[nodiscard]] AutoSyncScan scanPolicy(const AutoSyncPolicy& policy, std::time_t now,
                                      const ScanHooks& hooks);

// "Skipped 2 files that were in use; will try again."
[[nodiscard]] std::string inUseSentence(std::int64_t count);

// "Left 2 files changed in the last 10 minutes where they are; a later run
// moves them once they have settled."
[[nodiscard]] std::string unsettledSentence(std::int64_t count);

}  // namespace brimvale::cloud
