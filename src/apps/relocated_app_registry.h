// The apps that live on the drive now, one entry per committed relocation,
// built from the app move records; duplicate records are pruned on the way.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "apps/app_move_store.h"

namespace brimvale::apps {

struct RelocatedAppEntry {
  std::string id;  // the record's id
  std::string originalPath;
  std::string nvmePath;
  std::string bundleID;  // empty when the app has none
  std::string displayName;
  std::int64_t srcSizeKB = 0;
  std::optional<int> tierAtMove;
  std::time_t startedAt = 0;
  std::optional<std::time_t> completedAt;
  bool operator==(const RelocatedAppEntry&) const = default;
};

class RelocatedAppRegistry {
 public:
  RelocatedAppRegistry(const AppManifestStore& store, AppMoveLog log);

  // Reads every record again, keeps the committed ones, deletes the surplus
  // files of records for the same original and drive path (the newest
  // commit stays), and publishes the result ordered by name.
  void rebuild();

  [[nodiscard]] const std::vector<RelocatedAppEntry>& entries() const { return entries_; }

 private:
  const AppManifestStore& store_;
  AppMoveLog log_;
  std::vector<RelocatedAppEntry> entries_;
};

}  // namespace brimvale::apps
