#include "service/rules/reclaim.h"

#include <array>
#include <filesystem>
#include <string_view>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/json_writer.h"
#include "common/state/config_keys.h"
#include "common/state/path_policy.h"
#include "service/core/action_log.h"
#include "service/core/status_snapshot.h"
#include "service/relocation/checked_folder.h"
#include "service/relocation/guards.h"
#include "service/rules/rule_run_lock.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

struct Category {
  std::string_view name;
  std::array<std::string_view, 8> folders;  // relative to home; empty ends the list
  std::int64_t minAgeDays;
};

constexpr std::array kCategories{
    Category{"devcaches",
             {"Library/Caches/Homebrew", "Library/Caches/CocoaPods", "Library/Caches/pip",
              "Library/Caches/Yarn", ".npm/_cacache", ".pnpm-store", ".cargo/registry/cache",
              "Library/Developer/Xcode/DerivedData"},
             0},
    Category{"syslog",
             {"Library/Logs/DiagnosticReports", "Library/Logs/CrashReporter",
              "Library/Caches/com.apple.QuickLook.thumbnailcache"},
             0},
    Category{"trash", {".Trash"}, 30},
};

enum class WalkMode { kDelete, kScan };

const Category* findCategory(std::string_view name) {
  for (const auto& c : kCategories) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

// Walks the category and prints its JSON line; `skipped` adds the note.
// Every folder and item is checked by the path policy first: a category
// folder that is a link (say ~/.pnpm-store pointing at ~/Documents) is never
// entered. Refusals are logged (and said while deleting) and their sentences
// travel in the JSON line as "refused", so the clean-up can show them.
void walkCategory(ServiceContext& ctx, Guards& guards, const Category& category, WalkMode mode,
                  std::string_view skipped) {
  const std::time_t now = ctx.clock();
  const std::string action = "reclaim-" + std::string(category.name);
  const PathPolicy policy(PathPolicy::rootsFor(ctx.paths.home));
  std::uint64_t items = 0;
  std::uint64_t bytes = 0;
  std::string refused;
  auto refuse = [&](const std::string& sentence) {
    const std::string line = "reclaim skip \u2014 refused: " + sentence;
    if (mode == WalkMode::kDelete) {
      ctx.log.say(line);
    } else {
      ctx.log.log(line);  // the scan's output is its three JSON lines
    }
    refused += (refused.empty() ? "" : " ") + sentence;
  };
  for (std::string_view folder : category.folders) {
    if (folder.empty()) break;
    const fs::path root = ctx.paths.home / folder;
    if (!isDirectory(root).value_or(false)) continue;
    auto checked = CheckedFolder::open(policy, root);
    if (!checked) {
      refuse(checked.error());
      continue;
    }
    for (const auto& entry : listEntries(root).value_or(std::vector<DirEntry>{})) {
      if (category.minAgeDays > 0 && !entry.olderThan(category.minAgeDays, now)) continue;
      const std::string item = entry.path.string();
      if (auto allowed = policy.check(entry.path); !allowed) {
        refuse(allowed.error().sentence());
        continue;
      }
      if (guards.isCloudPath(item)) continue;
      const auto size = bytesOf(item);
      if (mode == WalkMode::kDelete) {
        if (guards.isOpen(item)) continue;
        if (!checked->remove(entry.path.filename())) continue;
        bestEffort(recordAction(ctx.paths, ctx.clock(), {action, item, "-", size}),
                   DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
                   "recording a reclaimed item");
      }
      ++items;
      bytes += size.value_or(0);
    }
  }
  JsonObjectWriter line;
  line.string("category", category.name).number("freed_bytes", bytes).number("items", items);
  if (!skipped.empty()) line.string("skipped", skipped);
  if (!refused.empty()) line.string("refused", refused);
  ctx.out << line.str() << "\n";
}

}  // namespace

int reclaimCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  const Category* category = args.empty() ? nullptr : findCategory(args[0]);
  if (category == nullptr) {
    ctx.out << "{\"error\":\"unknown_category\"}\n";
    return 1;
  }
  if (isPaused(ctx)) {
    ctx.out << "{\"error\":\"paused\"}\n";
    return 1;
  }
  if (category->name == "trash" && ctx.cfg().flag(config_keys::kDisableDelete)) {
    ctx.log.say("reclaim skip — 'never delete personal files' is on: trash");
    ctx.out << "{\"category\":\"trash\",\"freed_bytes\":0,\"items\":0,"
               "\"skipped\":\"delete_disabled\"}\n";
    return 0;
  }
  auto lock = RuleRunLock::acquire(ctx.paths);
  if (!lock) {
    ctx.log.log(lock.error());
    ctx.out << JsonObjectWriter().string("error", "busy").string("refused", lock.error()).str()
            << "\n";
    return 1;
  }
  bestEffort(newBatch(ctx.paths), DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "starting a new undo batch");
  ctx.log.say("reclaim: " + std::string(category->name));
  Guards guards(ctx.paths.home, *ctx.platform.files);
  walkCategory(ctx, guards, *category, WalkMode::kDelete, "");
  markLastRun(ctx, "reclaim");
  return 0;
}

int reclaimScanCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  Guards guards(ctx.paths.home, *ctx.platform.files);
  for (const auto& category : kCategories) {
    const bool trashKept = category.name == "trash" && ctx.cfg().flag(config_keys::kDisableDelete);
    walkCategory(ctx, guards, category, WalkMode::kScan, trashKept ? "delete_disabled" : "");
  }
  return 0;
}

}  // namespace brimvale::service
