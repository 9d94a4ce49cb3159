#include "apps/relocated_app_registry.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>

namespace brimvale::apps {
namespace {

// Two records are the same relocation when they name the same bundle on both sides.
using Key = std::pair<std::string, std::string>;

Key keyOf(const AppMoveManifest& m) {
  return {comparablePath(m.originalPath), comparablePath(m.nvmePath)};
}

// The record of a group that stays: the latest commit, then the latest write.
bool keptBefore(const AppMoveManifest& a, const AppMoveManifest& b) {
  return std::tuple(a.completedAt.value_or(0), a.updatedAt, a.id) >
         std::tuple(b.completedAt.value_or(0), b.updatedAt, b.id);
}

RelocatedAppEntry entryOf(const AppMoveManifest& m) {
  return {m.id,          m.originalPath, m.nvmePath,   m.bundleID.value_or(""),
          m.displayName, m.srcSizeKB,    m.tierAtMove, m.startedAt,
          m.completedAt};
}

}  // namespace

RelocatedAppRegistry::RelocatedAppRegistry(const AppManifestStore& store, AppMoveLog log)
    : store_(store), log_(std::move(log)) {}

void RelocatedAppRegistry::rebuild() {
  std::map<Key, std::vector<AppMoveManifest>> groups;
  for (auto& m : finishedRelocations(store_.loadAll())) groups[keyOf(m)].push_back(std::move(m));
  std::vector<RelocatedAppEntry> entries;
  std::size_t pruned = 0;
  for (auto& [key, group] : groups) {
    std::sort(group.begin(), group.end(), keptBefore);
    for (std::size_t i = 1; i < group.size(); ++i) {
      store_.remove(group[i].id);
      ++pruned;
    }
    entries.push_back(entryOf(group.front()));
  }
  if (pruned > 0 && log_) {
    log_("RelocatedAppRegistry: pruned " + std::to_string(pruned) +
         " duplicate manifest(s) (off-main-actor).");
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return std::tie(a.displayName, a.originalPath) < std::tie(b.displayName, b.originalPath);
  });
  entries_ = std::move(entries);
}

}  // namespace brimvale::apps
