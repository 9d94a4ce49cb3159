#include "service/rules/rule_commands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/folder_walk.h"
#include "common/base/platform_words.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "service/core/action_log.h"
#include "service/core/rule_run_lock.h"
#include "service/core/status_snapshot.h"
#include "service/rules/rule_items.h"
#include "service/rules/rule_scope.h"
#include "service/rules/rules.h"
#include "service/rules/rules_engine.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

std::string padded(std::string text, std::size_t width, bool right) {
  if (text.size() >= width) return text;
  const std::string fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

// One table row: Action 17 and Source 50 left-aligned, Match 7, MB 8 and
// Status 8 right-aligned, one blank between columns.
std::string previewRow(const std::string& action, const std::string& source,
                       const std::string& match, const std::string& mb, const std::string& status) {
  return padded(action, 17, false) + " " + padded(source, 50, false) + " " +
         padded(match, 7, true) + " " + padded(mb, 8, true) + " " + padded(status, 8, true) + "\n";
}

struct PreviewCount {
  std::size_t items = 0;
  std::uint64_t bytes = 0;
  std::string status = "OK";
};

void countOlderChildren(const RuleScope& scope, const fs::path& folder, std::int64_t age,
                        std::time_t now, PreviewCount& count) {
  for (const auto& entry : listEntries(folder).value_or(std::vector<DirEntry>{})) {
    if (!entry.olderThan(age, now) || scope.keepsByExcludes(entry.path, folder)) continue;
    ++count.items;
    count.bytes += bytesOf(entry.path.string()).value_or(0);
  }
}

PreviewCount previewRule(const ServiceContext& ctx, const RuleScope& scope, const RuleText& rule,
                         std::time_t now) {
  PreviewCount count;
  if (rule.action == "app_cache_clean") {
    for (const auto& appPath : ctx.cfg().array(config_keys::kAppCachePaths)) {
      // A real run leaves these alone, so they are not counted.
      if (scope.appFolderRefusal(appPath)) continue;
      for (const auto& safeDir : ctx.cfg().array(config_keys::kAppCacheSafeDirs)) {
        const fs::path folder = fs::path(appPath) / safeDir;
        if (!isDirectory(folder).value_or(false)) continue;
        if (!canListFolder(folder)) {
          count.status = "DENY";
          continue;
        }
        countOlderChildren(scope, folder, rule.age, now, count);
      }
    }
    return count;
  }
  if (scope.sourceRefusal(rule.src)) return {0, 0, "REFUSED"};
  if (!isDirectory(rule.src).value_or(false)) return {0, 0, "MISS"};
  if (!canListFolder(rule.src)) return {0, 0, "DENY"};
  if (rule.action == "archive_big") {
    const std::int64_t minBytes = archiveBigMiB(rule) * 1048576;
    for (const auto& file : filesToDepthTwo(rule.src)) {
      if (!file.olderThan(rule.age, now) || file.info.st_size <= minBytes ||
          scope.keepsByExcludes(file.path, rule.src))
        continue;
      ++count.items;
      count.bytes += static_cast<std::uint64_t>(file.info.st_size);
    }
  } else {
    countOlderChildren(scope, rule.src, rule.age, now, count);
  }
  return count;
}

std::string withHomeAsTilde(const std::string& path, const fs::path& home) {
  const std::string homeText = home.string();
  const std::size_t at = homeText.empty() ? std::string::npos : path.find(homeText);
  if (at == std::string::npos) return path;
  return path.substr(0, at) + "~" + path.substr(at + homeText.size());
}

// The rule-run lock for a run that may start; nothing, once said why, while
// the manager is paused or another run holds the lock.
std::optional<RuleRunLock> lockedForRun(ServiceContext& ctx) {
  if (isPaused(ctx)) {
    ctx.out << "Manager is paused.\n";
    return std::nullopt;
  }
  auto lock = RuleRunLock::acquire(ctx.paths);
  if (!lock) {
    ctx.log.say(lock.error());
    return std::nullopt;
  }
  return std::move(*lock);
}

// Limits `choice` to the items of `--only FILE` when given; false, once
// said, when FILE cannot be read.
bool limitedToListed(ServiceContext& ctx, const std::vector<std::string>& args,
                     ItemChoice& choice) {
  const auto file = onlyFileArgument(args);
  if (!file) return true;
  if (const Result<void> limited =
          file->empty() ? Result<void>(fail(Errc::kInvalidArgument, "--only needs a FILE"))
                        : choice.limitTo(*file);
      !limited) {
    ctx.err << "The list of items to act on couldn't be read (" << limited.error().message()
            << "), so nothing was moved or deleted. Your files are safe; preview again with "
               "`brim-vale dry-run --items > FILE`.\n";
    return false;
  }
  return true;
}

}  // namespace

int rulesCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  for (const auto& rule : ctx.cfg().rules()) ctx.out << rule << "\n";
  return 0;
}

int dryRunCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  Guards guards(ctx.paths.home, *ctx.platform.files);
  if (std::ranges::find(args, "--items") == args.end()) {
    if (!driveUsable(ctx)) ctx.out << "(NVMe not present)\n";
    (void)runRules(ctx, guards, RunMode::kDry);  // says itself why it stopped
    return 0;
  }
  // Only the JSON lines reach the output; the run's own lines go to the log.
  std::ostream discarded(nullptr);
  ServiceContext quiet(ctx.paths, ctx.platform, ctx.clock, discarded, ctx.err);
  quiet.config = ctx.config;
  ItemChoice choice = ItemChoice::listingOn(ctx.out, driveUsable(ctx));
  if (!limitedToListed(ctx, args, choice)) return 1;
  (void)runRules(quiet, guards, RunMode::kDry, choice);
  return 0;
}

int relocateNowCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  if (!driveUsable(ctx)) {
    ctx.out << "NVMe not mounted.\n";
    return 1;
  }
  ItemChoice choice;
  if (!limitedToListed(ctx, args, choice)) return 1;
  const auto lock = lockedForRun(ctx);
  if (!lock) return 1;
  Guards guards(ctx.paths.home, *ctx.platform.files);
  const bool finished = runRules(ctx, guards, RunMode::kReal, choice);
  markLastRun(ctx, "manual");
  bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "writing the status snapshot");
  return finished ? 0 : 1;
}

int cleanAppCachesCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const auto lock = lockedForRun(ctx);
  if (!lock) return 1;
  bestEffort(newBatch(ctx.paths), DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "starting a new undo batch");
  Guards guards(ctx.paths.home, *ctx.platform.files);
  cleanAppCaches(ctx, guards, RunMode::kReal, 0);
  markLastRun(ctx, "app-cache");
  bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "writing the status snapshot");
  return 0;
}

int rulesPreviewCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const auto rules = ctx.cfg().rules();
  if (rules.empty()) {
    ctx.out << "No rules configured.\n";
    return 0;
  }
  std::string out =
      "Brimvale \u2014 rules preview (dry run, no files moved)\n" + std::string(57, '=') + "\n";
  out += previewRow("Action", "Source", "Match", "MB", "Status");
  out += previewRow(std::string(17, '-'), std::string(50, '-'), std::string(7, '-'),
                    std::string(8, '-'), std::string(8, '-'));
  const std::time_t now = ctx.clock();
  const RuleScope scope(ctx);
  bool anyRefused = false;
  for (const auto& text : rules) {
    const RuleText rule = parseRuleText(text);
    const PreviewCount count = previewRule(ctx, scope, rule, now);
    anyRefused = anyRefused || count.status == "REFUSED";
    out += previewRow(rule.action, withHomeAsTilde(rule.src, ctx.paths.home),
                      std::to_string(count.items), std::to_string(count.bytes / 1048576),
                      count.status);
  }
  out += "\nStatus legend: " + std::string(kHostWords.accessLegend);
  if (anyRefused) out += "REFUSED = a folder rules never touch; dry-run says why.\n";
  if (scope.hasExcludes()) out += keptByExcludesLine(scope.keptByExcludes()) + "\n";
  ctx.out << out;
  return 0;
}

int tccCheckCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const auto rules = ctx.cfg().rules();
  if (rules.empty()) {
    ctx.out << "No rules configured.\n";
    return 0;
  }
  std::string out = "Brimvale \u2014 " + std::string(kHostWords.accessCheckTitle) + "\n" +
                    std::string(39, '=') + "\n\n" + std::string(kHostWords.folderAccessNote) +
                    "\n"
                    "Status  Source path\n"
                    "------  " +
                    std::string(60, '-') + "\n";
  std::vector<std::string> seen;
  for (const auto& text : rules) {
    const std::string src = parseRuleText(text).src;
    // A cache rule's empty source is a path like any other: it gets one MISS row.
    if (std::find(seen.begin(), seen.end(), src) != seen.end()) continue;
    seen.push_back(src);
    const std::string status = !isDirectory(src).value_or(false) ? "MISS"
                               : canListFolder(src)              ? "OK"
                                                                 : "DENY";
    out += padded(status, 6, false) + "  " + src + "\n";
  }
  ctx.out << out << kHostWords.accessFix;
  return 0;
}

}  // namespace brimvale::service
