#include "service/rules/rule_scope.h"
#include "common/state/config_keys.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "common/base/file_calls.h"
#include "service/core/action_log.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> appFolders(const ServiceContext& ctx) {
  std::vector<fs::path> folders;
  for (const auto& path : ctx.cfg().array(config_keys::kAppCachePaths)) folders.emplace_back(path);
  return folders;
}

bool isLink(const fs::path& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string linkSentence(const fs::path& path) {
  PathRefusal refusal{.reason = PathRefusalReason::kThroughLink, .path = path.string()};
  // The link's own text when its destination cannot be resolved.
  auto resolved = weaklyCanonical(path);
  if (!resolved) resolved = readSymlink(path);
  refusal.resolved = resolved.value_or(fs::path()).string();
  return refusal.sentence();
}

// Rows that protect application data from being moved while the program
// runs; emptying the cache folders inside them is what cache cleaning is for.
bool isApplicationDataRow(const DenylistEntry& entry) {
  if (entry.path == "~/.brimvale") return false;
  const auto& rows = AppDataDenylist::baseline();
  return std::any_of(rows.begin(), rows.end(),
                     [&](const DenylistEntry& row) { return row.path == entry.path; });
}

}  // namespace

RuleScope::RuleScope(const ServiceContext& ctx)
    : base_(ctx.cfg().base()),
      policy_(PathPolicy::rootsFor(ctx.paths.home, ctx.cfg().base())),
      cachePolicy_(PathPolicy::rootsFor(ctx.paths.home, ctx.cfg().base(), appFolders(ctx))),
      excludes_(ExcludeList::of(ctx.cfg(), ctx.paths.home)) {}

bool RuleScope::keepsByExcludes(const fs::path& item, const fs::path& within) const {
  if (!excludes_.keeps(item, within)) return false;
  ++kept_.items;
  kept_.bytes += bytesOf(item.string()).value_or(0);
  return true;
}

std::optional<std::string> RuleScope::sourceRefusal(const std::string& src) const {
  auto allowed = policy_.check(src);
  if (!allowed) return allowed.error().sentence();
  if (allowed->root == PathRoot::kQuarantine) {
    return src +
           " is in Brimvale's quarantine, which keeps originals until a move is confirmed; "
           "rules never touch it. Nothing was changed.";
  }
  if (isLink(allowed->path)) return linkSentence(allowed->path);
  return std::nullopt;
}

std::optional<std::string> RuleScope::destinationRefusal(const std::string& dest) const {
  const fs::path folder = base_ / dest;
  auto allowed = policy_.check(folder);
  if (allowed && allowed->root == PathRoot::kWorkingFolder && !isLink(allowed->path))
    return std::nullopt;
  return "Archives go only into a folder inside Brimvale's drive folder " + base_.string() +
         ", reached without a symbolic link, and \"" + dest +
         "\" does not name one, so this rule moved nothing. Nothing was changed.";
}

std::optional<std::string> RuleScope::appFolderRefusal(const std::string& appPath) const {
  // Judged without the application folders as roots, which would make every
  // one of them acceptable by definition.
  auto allowed = policy_.check(appPath);
  if (allowed) {
    if (allowed->root != PathRoot::kHome) {
      return appPath +
             " is not an application folder inside your home folder, so its caches "
             "were left alone. Nothing was changed.";
    }
    if (isLink(allowed->path)) return linkSentence(allowed->path);
    return std::nullopt;
  }
  const PathRefusal& refusal = allowed.error();
  if (refusal.reason == PathRefusalReason::kProtected && refusal.protectedBy &&
      isApplicationDataRow(*refusal.protectedBy) && !isLink(appPath)) {
    return std::nullopt;
  }
  return refusal.sentence();
}

}  // namespace brimvale::service
