#include "service/rules/rules_engine.h"

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/platform_words.h"
#include "common/base/replace_guard.h"
#include "common/base/stop_point.h"
#include "common/state/config_keys.h"
#include "platform/trash_mover.h"
#include "service/core/action_log.h"
#include "service/relocation/archive.h"
#include "service/relocation/checked_folder.h"
#include "service/rules/rule_items.h"
#include "service/rules/rule_scope.h"
#include "service/rules/rules.h"

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

void sayRefusedItem(ServiceContext& ctx, const fs::path& item, const PathRefusal& refusal) {
  ctx.log.say("skip (refused): " + item.string() + ". " + refusal.sentence());
}

// Why a real run stops early; nothing when it goes on.
using Stop = std::optional<ArchiveOutcome>;

// Archives the candidates (paths relative to `source`) that `choice` takes
// onto the drive `drive` (taken when the run began), or in a dry run prints
// one line for each (items the policy refuses get their refusal instead).
Stop archiveCandidates(ServiceContext& ctx, Guards& guards, const RuleScope& scope, RunMode mode,
                       const CheckedFolder& source, const RuleText& rule,
                       const std::vector<std::string>& candidates, std::string_view reason,
                       const std::optional<MountAnchor>& drive, ItemChoice& choice) {
  const std::string destination = ctx.cfg().base().string() + "/" + rule.dest;
  // Each item's path is the folder's with the item's name joined on, as the
  // path type would join them; only a refusal or a measured item builds one.
  std::string prefix = source.path().native();
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  const auto taken = [&](const std::string& item) {
    if (!choice.measures()) return true;
    const std::string path = prefix + item;
    return choice.considers(path) &&
           choice.takes(measuredItem(path, rule.action, "move", destination));
  };
  if (mode == RunMode::kReal) {
    for (const auto& item : candidates) {
      if (!taken(item)) continue;
      const auto outcome =
          moveToNvme(ctx, guards, scope.policy(), source, item, rule.dest, reason, drive);
      if (outcome == ArchiveOutcome::kUndoUnwritten || outcome == ArchiveOutcome::kDriveGone)
        return outcome;
    }
    return std::nullopt;
  }
  // One write for the whole list: a dry run over a large folder is mostly output.
  const std::string tail = " -> " + destination + "/\n";
  std::string lines;
  PathPolicy::FolderCheck folder(source.path());
  for (const auto& item : candidates) {
    if (auto refused = scope.policy().refusalOf(folder, item)) {
      ctx.out << lines;
      lines.clear();
      sayRefusedItem(ctx, source.path() / item, *refused);
      continue;
    }
    if (!taken(item) || choice.lists()) continue;
    lines += "WOULD MOVE: ";
    lines += prefix;
    lines += item;
    lines += tail;
  }
  ctx.out << lines;
  return std::nullopt;
}

Stop archiveOld(ServiceContext& ctx, Guards& guards, const RuleScope& scope, RunMode mode,
                const CheckedFolder& source, const RuleText& rule, std::int64_t age,
                const std::optional<MountAnchor>& drive, ItemChoice& choice) {
  ctx.log.say("rule: archive_old " + rule.src + " (>" + std::to_string(age) + "d) -> " + rule.dest);
  const std::time_t now = ctx.clock();
  // Only the candidates' names are kept past the listing: a folder may hold many thousands.
  auto old = selectNames(source.path(), [&](const struct stat& info) {
    return DirEntry::modifiedBefore(info, age, now);
  });
  if (old)
    std::erase_if(*old, [&](const std::string& name) {
      return scope.keepsByExcludes(source.path() / name, source.path());
    });
  if (!old || old->empty()) {
    sayNothingOlder(ctx, rule, age);
    return std::nullopt;
  }
  return archiveCandidates(ctx, guards, scope, mode, source, rule, *old, "archive_old", drive,
                           choice);
}

Stop archiveBig(ServiceContext& ctx, Guards& guards, const RuleScope& scope, RunMode mode,
                const CheckedFolder& source, const RuleText& rule, std::int64_t age,
                const std::optional<MountAnchor>& drive, ItemChoice& choice) {
  const std::int64_t mib = archiveBigMiB(rule);
  ctx.log.say("rule: archive_big " + rule.src + " (>" + std::to_string(age) + "d AND >" +
              std::to_string(mib) + "MB) -> " + rule.dest);
  const std::time_t now = ctx.clock();
  std::vector<std::string> candidates;
  for (const auto& entry : filesToDepthTwo(source.path())) {
    if (entry.olderThan(age, now) && entry.info.st_size > mib * 1048576 &&
        !scope.keepsByExcludes(entry.path, source.path())) {
      candidates.push_back(entry.path.lexically_relative(source.path()).string());
    }
  }
  if (candidates.empty()) {
    ctx.log.say("       \u2192 0 items eligible (no file in " + rule.src + " is both >" +
                std::to_string(age) + "d old AND >" + std::to_string(mib) + "MB)");
    return std::nullopt;
  }
  return archiveCandidates(ctx, guards, scope, mode, source, rule, candidates, "archive_big", drive,
                           choice);
}

enum class CloudCheck { kSkipCloudItems, kIgnore };

struct DeletionTally {
  std::size_t matched = 0;
  std::size_t deleted = 0;  // the trashed ones included
  std::size_t refused = 0;
  std::uint64_t deletedBytes = 0;
  std::size_t trashed = 0;
  std::uint64_t trashedBytes = 0;
};

// Moves one listed item of `folder` to the Trash. Nothing is lost by the
// move, so only the item itself must still be as listed (not replaced or
// written since), in the folder that was opened.
void trashAsListed(ServiceContext& ctx, const CheckedFolder& folder, const DirEntry& entry,
                   const std::optional<std::uint64_t>& size, DeletionTally& tally) {
  const std::string item = entry.path.string();
  if (!folder.stillAt() || identityAt(AT_FDCWD, item) != FileIdentity::from(entry.info)) {
    ctx.log.say("kept: " + item + " (it changed after the run listed it, so it was left as it is)");
    return;
  }
  stopPoint("rules:trashing");
  const auto moved = platform::moveToTrash(entry.path, platform::hostTrashPlaces(ctx.paths.home),
                                           ctx.clock(), FileOperations::real());
  if (!moved) {
    ctx.log.say("couldn't move " + item + " to the Trash (" + moved.error().message() +
                "); it is where it was and nothing was deleted. Check that the Trash on its "
                "disk can be written, or turn cleanup.delete-to-trash off to delete instead.");
    return;
  }
  ++tally.deleted;
  ++tally.trashed;
  tally.deletedBytes += size.value_or(0);
  tally.trashedBytes += size.value_or(0);
  ctx.log.say("moved to the Trash: " + item + " (" + sizeText(size) + " bytes) -> " +
              moved->string());
  bestEffort(recordAction(ctx.paths, ctx.clock(), {"trash", item, moved->string(), size}),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "recording a rule's action");
}

// Offers one matched item of `folder` for deletion: an item the policy
// refuses is said and left, as is one `choice` does not take; a dry run
// prints the rest; a real run leaves
// open, freshly written (and, when asked, cloud) items alone, deletes the
// others through the open folder as they were when listed at `listedAt`,
// and records each deletion under `action`.
void offerForDeletion(ServiceContext& ctx, Guards& guards, const PathPolicy& policy, RunMode mode,
                      const CheckedFolder& folder, const DirEntry& entry,
                      std::chrono::system_clock::time_point listedAt, std::string_view action,
                      CloudCheck cloud, ItemChoice& choice, DeletionTally& tally) {
  const std::string item = entry.path.string();
  if (auto allowed = policy.check(entry.path); !allowed) {
    ++tally.matched;
    ++tally.refused;
    return sayRefusedItem(ctx, entry.path, allowed.error());
  }
  const auto size = bytesOf(item);
  // Personal files may go to the Trash; caches the user never sees are deleted.
  const bool toTrash = action == "delete" && ctx.cfg().flag(config_keys::kDeleteToTrash);
  if (choice.measures() &&
      !choice.takes({.path = item,
                     .bytes = size.value_or(0),
                     .mtime = static_cast<std::int64_t>(entry.info.st_mtime),
                     .rule = action == "delete" ? "delete_old" : "app_cache_clean",
                     .action = toTrash ? "trash" : "delete"})) {
    return;
  }
  ++tally.matched;
  if (mode == RunMode::kDry) {
    if (choice.lists()) return;
    ctx.out << (toTrash ? "WOULD MOVE TO THE TRASH: " : "WOULD DELETE: ") << item << " ("
            << sizeText(size) << " bytes)\n";
    return;
  }
  if (guards.isOpen(item) || writtenMomentsAgo(entry.info, listedAt)) return;
  if (cloud == CloudCheck::kSkipCloudItems && guards.isCloudPath(item)) return;
  if (toTrash) return trashAsListed(ctx, folder, entry, size, tally);
  stopPoint("rules:deleting");
  const ListedRemoval removed = folder.removeAsListed(entry.path.filename(), entry.info, listedAt);
  stopPoint("rules:deleted");
  if (!removed.gone) {
    ctx.log.say(removed.firstFailure.empty()
                    ? "kept: " + item +
                          " (it changed after the run listed it, so it was left as it is)"
                    : "couldn't delete " + item + " (" + removed.firstFailure +
                          "); what is left of it is where it was");
    return;
  }
  ++tally.deleted;
  tally.deletedBytes += size.value_or(0);
  // Personal files get a line each; caches are summed up per folder.
  if (action == "delete") ctx.log.say("deleted: " + item + " (" + sizeText(size) + " bytes)");
  bestEffort(recordAction(ctx.paths, ctx.clock(), {std::string(action), item, "-", size}),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "recording a rule's action");
}

// " — 2 of them refused as unsafe (see above)" when some were.
std::string refusedNote(const DeletionTally& tally) {
  if (tally.refused == 0) return {};
  return " \u2014 " + std::to_string(tally.refused) + " of them refused as unsafe (see above)";
}

void deleteOld(ServiceContext& ctx, Guards& guards, const RuleScope& scope, RunMode mode,
               const CheckedFolder& source, const RuleText& rule, std::int64_t age,
               ItemChoice& choice) {
  ctx.log.say("rule: delete_old " + rule.src + " (>" + std::to_string(age) + "d)");
  const std::time_t now = ctx.clock();
  DeletionTally tally;
  const auto listedAt = std::chrono::system_clock::now();
  for (const auto& entry : listEntries(source.path()).value_or(std::vector<DirEntry>{})) {
    if (!entry.olderThan(age, now) || scope.keepsByExcludes(entry.path, source.path())) continue;
    offerForDeletion(ctx, guards, scope.policy(), mode, source, entry, listedAt, "delete",
                     CloudCheck::kSkipCloudItems, choice, tally);
  }
  if (tally.matched == 0) return sayNothingOlder(ctx, rule, age);
  if (mode == RunMode::kReal && tally.deleted < tally.matched) {
    ctx.log.say("       \u2192 " + std::to_string(tally.deleted) + " of " +
                std::to_string(tally.matched) +
                (tally.trashed > 0 ? " moved to the Trash" : " deleted") +
                " (rest were open or in cloud storage)" + refusedNote(tally));
  }
  if (tally.trashed > 0) {
    ctx.log.say("       \u2192 " + std::to_string(tally.trashed) + " items (" +
                std::to_string(tally.trashedBytes) +
                " bytes) went to the Trash; their space is freed only when the Trash is emptied, "
                "and until then they can be put back from it.");
  }
}

void sayPermissionDenied(ServiceContext& ctx, const std::string& src) {
  ctx.log.say("rule skip \u2014 PERMISSION DENIED on " + src + ". " +
              std::string(kHostWords.permissionDeniedAdvice));
}

void sayRefusedSource(ServiceContext& ctx, const std::string& src, const std::string& why) {
  ctx.log.say("rule skip \u2014 refused source: " + src + ". " + why);
}

void cleanCachesInScope(ServiceContext& ctx, Guards& guards, const RuleScope& scope, RunMode mode,
                        std::int64_t ageDays, ItemChoice& choice) {
  const auto appPaths = ctx.cfg().array(config_keys::kAppCachePaths);
  const auto safeDirs = ctx.cfg().array(config_keys::kAppCacheSafeDirs);
  if (appPaths.empty()) return ctx.log.say("no APP_CACHE_PATHS configured");
  if (safeDirs.empty()) return ctx.log.say("no APP_CACHE_SAFE_DIRS configured");
  const std::time_t now = ctx.clock();
  for (const auto& appPath : appPaths) {
    if (!isDirectory(appPath).value_or(false)) {
      ctx.log.say("app-cache skip \u2014 not found: " + appPath);
      continue;
    }
    if (auto refusal = scope.appFolderRefusal(appPath)) {
      ctx.log.say("app-cache skip \u2014 refused: " + appPath + ". " + *refusal);
      continue;
    }
    for (const auto& safeDir : safeDirs) {
      const fs::path folder = fs::path(appPath) / safeDir;
      // A cache folder is one name inside the application folder.
      if (safeDir.find('/') != std::string::npos || safeDir == "." || safeDir == "..") {
        ctx.log.say("app-cache skip \u2014 refused: " + folder.string() + ". \"" + safeDir +
                    "\" is not the name of a folder inside " + appPath +
                    ", so nothing there was deleted. Nothing was changed.");
        continue;
      }
      if (!isDirectory(folder).value_or(false)) continue;
      auto checked = CheckedFolder::open(scope.cachePolicy(), folder);
      if (!checked) {
        ctx.log.say("app-cache skip \u2014 refused: " + folder.string() + ". " + checked.error());
        continue;
      }
      DeletionTally tally;
      const auto listedAt = std::chrono::system_clock::now();
      for (const auto& entry : listEntries(folder).value_or(std::vector<DirEntry>{})) {
        if (ageDays > 0 && !entry.olderThan(ageDays, now)) continue;
        if (scope.keepsByExcludes(entry.path, folder)) continue;
        offerForDeletion(ctx, guards, scope.cachePolicy(), mode, *checked, entry, listedAt,
                         "delete-cache", CloudCheck::kIgnore, choice, tally);
      }
      if (mode == RunMode::kDry || (tally.matched == 0 && ageDays > 0)) continue;
      const std::string head = "cleaned: " + folder.string() + " (~" +
                               std::to_string(tally.deletedBytes / 1048576) + " MB, " +
                               std::to_string(tally.deleted);
      ctx.log.say(tally.deleted == tally.matched
                      ? head + " items)"
                      : head + " of " + std::to_string(tally.matched) +
                            " items \u2014 rest were in use)" + refusedNote(tally));
    }
  }
}

// A dry run always says what the excludes kept once there are any; a real
// run says it when they kept something.
void sayKeptByExcludes(ServiceContext& ctx, const RuleScope& scope, RunMode mode) {
  if (!scope.hasExcludes()) return;
  if (mode == RunMode::kDry) {
    ctx.out << keptByExcludesLine(scope.keptByExcludes()) << "\n";
  } else if (scope.keptByExcludes().items > 0) {
    ctx.log.say(keptByExcludesLine(scope.keptByExcludes()));
  }
}

// Says what the excludes kept, or, for a listing, ends it with the totals.
void endRun(ServiceContext& ctx, const RuleScope& scope, RunMode mode, ItemChoice& choice) {
  if (!choice.lists()) sayKeptByExcludes(ctx, scope, mode);
  choice.finish(ctx, scope.keptByExcludes());
}

}  // namespace

void cleanAppCaches(ServiceContext& ctx, Guards& guards, RunMode mode, std::int64_t ageDays) {
  const RuleScope scope(ctx);
  ItemChoice every;
  cleanCachesInScope(ctx, guards, scope, mode, ageDays, every);
  sayKeptByExcludes(ctx, scope, mode);
}

bool runRules(ServiceContext& ctx, Guards& guards, RunMode mode) {
  ItemChoice every;
  return runRules(ctx, guards, mode, every);
}

bool runRules(ServiceContext& ctx, Guards& guards, RunMode mode, ItemChoice& choice) {
  if (mode == RunMode::kReal) {
    if (auto started = newBatch(ctx.paths); !started) {
      ctx.log.say("The undo record " + ctx.paths.lastBatch.string() + " couldn't be started (" +
                  started.error().detail +
                  "), so no rule ran. Nothing was moved or deleted; free some space on the "
                  "internal disk and try again.");
      return false;
    }
  }
  const ServiceConfig& cfg = ctx.cfg();
  const RuleScope scope(ctx);
  // Archives go only to the drive that is mounted now: one unplugged (or
  // swapped) meanwhile stops the run before anything lands in its bare
  // mount folder.
  const std::optional<MountAnchor> drive = MountAnchor::take(cfg.nvme());
  for (const auto& text : cfg.rules()) {
    const RuleText rule = parseRuleText(text);
    const FlooredAge floored = applyAgeFloors(rule, cfg);
    for (const auto& notice : floored.notices) ctx.log.say(notice);
    const std::int64_t age = floored.age;
    if (rule.action == "delete_old" && cfg.flag(config_keys::kDisableDelete)) {
      ctx.log.say("rule skip \u2014 delete disabled (DISABLE_DELETE=1): " + rule.src);
      continue;
    }
    if (rule.action == "app_cache_clean") {
      ctx.log.say("rule: app_cache_clean (all configured apps, >" + std::to_string(age) + "d)");
      cleanCachesInScope(ctx, guards, scope, mode, age, choice);
      continue;
    }
    if (auto refusal = scope.sourceRefusal(rule.src)) {
      sayRefusedSource(ctx, rule.src, *refusal);
      continue;
    }
    if (!isDirectory(rule.src).value_or(false)) {
      ctx.log.say("rule skip \u2014 source missing: " + rule.src);
      continue;
    }
    if (!canListFolder(rule.src)) {
      sayPermissionDenied(ctx, rule.src);
      continue;
    }
    const bool archive = rule.action == "archive_old" || rule.action == "archive_big";
    if (!archive && rule.action != "delete_old") {
      ctx.log.say("unknown action: " + rule.action);
      continue;
    }
    if (archive) {
      if (auto refusal = scope.destinationRefusal(rule.dest)) {
        ctx.log.say("rule skip \u2014 refused destination: " + rule.dest + ". " + *refusal);
        continue;
      }
    }
    auto source = CheckedFolder::open(scope.policy(), rule.src);
    if (!source) {
      sayRefusedSource(ctx, rule.src, source.error());
      continue;
    }
    Stop stop;
    if (rule.action == "archive_old") {
      stop = archiveOld(ctx, guards, scope, mode, *source, rule, age, drive, choice);
    } else if (rule.action == "archive_big") {
      stop = archiveBig(ctx, guards, scope, mode, *source, rule, age, drive, choice);
    } else {
      deleteOld(ctx, guards, scope, mode, *source, rule, age, choice);
    }
    if (stop) {
      ctx.log.say(std::string("Stopped the rule run: ") +
                  (*stop == ArchiveOutcome::kDriveGone
                       ? "the drive was disconnected, so nothing more is moved."
                       : "without its undo record nothing more is moved.") +
                  " What was moved before is listed above; everything else is where it was.");
      endRun(ctx, scope, mode, choice);
      return false;
    }
  }
  endRun(ctx, scope, mode, choice);
  return true;
}

}  // namespace brimvale::service
