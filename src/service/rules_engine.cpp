#include "service/rules_engine.h"

#include <filesystem>
#include <string>

#include "service/action_log.h"
#include "service/archive.h"
#include "service/dir_walk.h"
#include "service/rules.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

std::string sizeText(const std::optional<std::uint64_t>& size) {
  return size ? std::to_string(*size) : std::string();
}

void sayNothingOlder(ServiceContext& ctx, const RuleText& rule, std::int64_t age) {
  ctx.log.say("       \u2192 0 items eligible (nothing in " + rule.src + " older than " +
              std::to_string(age) + "d)");
}

// Archives the candidates, or in a dry run prints one line for each.
void archiveCandidates(ServiceContext& ctx, Guards& guards, RunMode mode, const RuleText& rule,
                       const std::vector<fs::path>& candidates, std::string_view reason) {
  if (mode == RunMode::kReal) {
    for (const auto& item : candidates) moveToNvme(ctx, guards, item, rule.dest, reason);
    return;
  }
  // One write for the whole list: a dry run over a large folder is mostly output.
  const std::string tail = " -> " + ctx.cfg().base().string() + "/" + rule.dest + "/\n";
  std::string lines;
  for (const auto& item : candidates) {
    lines += "WOULD MOVE: ";
    lines += item.native();
    lines += tail;
  }
  ctx.out << lines;
}

void archiveOld(ServiceContext& ctx, Guards& guards, RunMode mode, const RuleText& rule,
                std::int64_t age) {
  ctx.log.say("rule: archive_old " + rule.src + " (>" + std::to_string(age) + "d) -> " +
              rule.dest);
  const std::time_t now = ctx.clock();
  // Only the candidates' paths are kept: a folder may hold many thousands of entries.
  std::vector<fs::path> candidates;
  forEachEntry(rule.src, [&](const DirEntry& entry) {
    if (entry.olderThan(age, now)) candidates.push_back(entry.path);
  });
  if (candidates.empty()) return sayNothingOlder(ctx, rule, age);
  archiveCandidates(ctx, guards, mode, rule, candidates, "archive_old");
}

void archiveBig(ServiceContext& ctx, Guards& guards, RunMode mode, const RuleText& rule,
                std::int64_t age) {
  const std::int64_t mib = archiveBigMiB(rule);
  ctx.log.say("rule: archive_big " + rule.src + " (>" + std::to_string(age) + "d AND >" +
              std::to_string(mib) + "MB) -> " + rule.dest);
  const std::time_t now = ctx.clock();
  std::vector<fs::path> candidates;
  for (const auto& entry : filesToDepthTwo(rule.src)) {
    if (entry.olderThan(age, now) && entry.info.st_size > mib * 1048576) {
      candidates.push_back(entry.path);
    }
  }
  if (candidates.empty()) {
    ctx.log.say("       \u2192 0 items eligible (no file in " + rule.src + " is both >" +
                std::to_string(age) + "d old AND >" + std::to_string(mib) + "MB)");
    return;
  }
  archiveCandidates(ctx, guards, mode, rule, candidates, "archive_big");
}

enum class CloudCheck { kSkipCloudItems, kIgnore };

struct DeletionTally {
  std::size_t matched = 0;
  std::size_t deleted = 0;
  std::uint64_t deletedBytes = 0;
};

// Offers one matched item for deletion: a dry run prints it; a real run
// leaves open (and, when asked, cloud) items alone, deletes the rest and
// records each deletion under `action`.
void offerForDeletion(ServiceContext& ctx, Guards& guards, RunMode mode, const DirEntry& entry,
                      std::string_view action, CloudCheck cloud, DeletionTally& tally) {
  ++tally.matched;
  const std::string item = entry.path.string();
  const auto size = bytesOf(item);
  if (mode == RunMode::kDry) {
    ctx.out << "WOULD DELETE: " << item << " (" << sizeText(size) << " bytes)\n";
    return;
  }
  if (guards.isOpen(item)) return;
  if (cloud == CloudCheck::kSkipCloudItems && guards.isCloudPath(item)) return;
  std::error_code ec;
  fs::remove_all(entry.path, ec);
  if (ec) return;
  ++tally.deleted;
  tally.deletedBytes += size.value_or(0);
  // Personal files get a line each; caches are summed up per folder.
  if (action == "delete") ctx.log.say("deleted: " + item + " (" + sizeText(size) + " bytes)");
  (void)recordAction(ctx.paths, ctx.clock(), {std::string(action), item, "-", size});
}

void deleteOld(ServiceContext& ctx, Guards& guards, RunMode mode, const RuleText& rule,
               std::int64_t age) {
  ctx.log.say("rule: delete_old " + rule.src + " (>" + std::to_string(age) + "d)");
  const std::time_t now = ctx.clock();
  DeletionTally tally;
  for (const auto& entry : listEntries(rule.src).value_or(std::vector<DirEntry>{})) {
    if (!entry.olderThan(age, now)) continue;
    offerForDeletion(ctx, guards, mode, entry, "delete", CloudCheck::kSkipCloudItems, tally);
  }
  if (tally.matched == 0) return sayNothingOlder(ctx, rule, age);
  if (mode == RunMode::kReal && tally.deleted < tally.matched) {
    ctx.log.say("       \u2192 " + std::to_string(tally.deleted) + " of " +
                std::to_string(tally.matched) + " deleted (rest were open or in cloud storage)");
  }
}

}  // namespace

void cleanAppCaches(ServiceContext& ctx, Guards& guards, RunMode mode, std::int64_t ageDays) {
  const auto appPaths = ctx.cfg().array("APP_CACHE_PATHS");
  const auto safeDirs = ctx.cfg().array("APP_CACHE_SAFE_DIRS");
  if (appPaths.empty()) return ctx.log.say("no APP_CACHE_PATHS configured");
  if (safeDirs.empty()) return ctx.log.say("no APP_CACHE_SAFE_DIRS configured");
  const std::time_t now = ctx.clock();
  std::error_code ec;
  for (const auto& appPath : appPaths) {
    if (!fs::is_directory(appPath, ec)) {
      ctx.log.say("app-cache skip \u2014 not found: " + appPath);
      continue;
    }
    for (const auto& safeDir : safeDirs) {
      const fs::path folder = fs::path(appPath) / safeDir;
      if (!fs::is_directory(folder, ec)) continue;
      DeletionTally tally;
      for (const auto& entry : listEntries(folder).value_or(std::vector<DirEntry>{})) {
        if (ageDays > 0 && !entry.olderThan(ageDays, now)) continue;
        offerForDeletion(ctx, guards, mode, entry, "delete-cache", CloudCheck::kIgnore, tally);
      }
      if (mode == RunMode::kDry || (tally.matched == 0 && ageDays > 0)) continue;
      const std::string head = "cleaned: " + folder.string() + " (~" +
                               std::to_string(tally.deletedBytes / 1048576) + " MB, " +
                               std::to_string(tally.deleted);
      ctx.log.say(tally.deleted == tally.matched
                      ? head + " items)"
                      : head + " of " + std::to_string(tally.matched) +
                            " items \u2014 rest were in use)");
    }
  }
}

void runRules(ServiceContext& ctx, Guards& guards, RunMode mode) {
  if (mode == RunMode::kReal) (void)newBatch(ctx.paths);
  const ServiceConfig& cfg = ctx.cfg();
  for (const auto& text : cfg.rules()) {
    const RuleText rule = parseRuleText(text);
    const FlooredAge floored = applyAgeFloors(rule, cfg);
    for (const auto& notice : floored.notices) ctx.log.say(notice);
    const std::int64_t age = floored.age;
    if (rule.action == "delete_old" && cfg.flag("DISABLE_DELETE")) {
      ctx.log.say("rule skip \u2014 delete disabled (DISABLE_DELETE=1): " + rule.src);
      continue;
    }
    if (rule.action != "app_cache_clean") {
      std::error_code ec;
      if (!fs::is_directory(rule.src, ec)) {
        ctx.log.say("rule skip \u2014 source missing: " + rule.src);
        continue;
      }
      if (!canListFolder(rule.src)) {
        ctx.log.say(
            "rule skip \u2014 PERMISSION DENIED on " + rule.src +
            ". Grant Full Disk Access to /bin/bash (or the daemon's interpreter) in System "
            "Settings \u2192 Privacy & Security \u2192 Full Disk Access. macOS sandboxes "
            "protected user folders (Documents, Desktop, Downloads, Library) behind TCC; the "
            "daemon runs from LaunchAgent and inherits no app-level FDA grant.");
        continue;
      }
    }
    if (rule.action == "archive_old") {
      archiveOld(ctx, guards, mode, rule, age);
    } else if (rule.action == "archive_big") {
      archiveBig(ctx, guards, mode, rule, age);
    } else if (rule.action == "delete_old") {
      deleteOld(ctx, guards, mode, rule, age);
    } else if (rule.action == "app_cache_clean") {
      ctx.log.say("rule: app_cache_clean (all configured apps, >" + std::to_string(age) + "d)");
      cleanAppCaches(ctx, guards, mode, age);
    } else {
      ctx.log.say("unknown action: " + rule.action);
    }
  }
}

}  // namespace brimvale::service
