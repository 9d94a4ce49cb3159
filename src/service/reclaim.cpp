#include "service/reclaim.h"

#include <array>
#include <filesystem>
#include <string_view>

#include "common/json_writer.h"
#include "service/action_log.h"
#include "service/dir_walk.h"
#include "service/guards.h"
#include "service/status_snapshot.h"

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
void walkCategory(ServiceContext& ctx, Guards& guards, const Category& category, WalkMode mode,
                  std::string_view skipped) {
  const std::time_t now = ctx.clock();
  const std::string action = "reclaim-" + std::string(category.name);
  std::uint64_t items = 0;
  std::uint64_t bytes = 0;
  for (std::string_view folder : category.folders) {
    if (folder.empty()) break;
    const fs::path root = ctx.paths.home / folder;
    std::error_code ec;
    if (!fs::is_directory(root, ec)) continue;
    for (const auto& entry : listEntries(root).value_or(std::vector<DirEntry>{})) {
      if (category.minAgeDays > 0 && !entry.olderThan(category.minAgeDays, now)) continue;
      const std::string item = entry.path.string();
      if (guards.isCloudPath(item)) continue;
      const auto size = bytesOf(item);
      if (mode == WalkMode::kDelete) {
        if (guards.isOpen(item)) continue;
        fs::remove_all(entry.path, ec);
        if (ec) continue;
        (void)recordAction(ctx.paths, ctx.clock(), {action, item, "-", size});
      }
      ++items;
      bytes += size.value_or(0);
    }
  }
  JsonObjectWriter line;
  line.string("category", category.name).number("freed_bytes", bytes).number("items", items);
  if (!skipped.empty()) line.string("skipped", skipped);
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
  if (category->name == "trash" && ctx.cfg().flag("DISABLE_DELETE")) {
    ctx.log.say("reclaim skip — 'never delete personal files' is on: trash");
    ctx.out << "{\"category\":\"trash\",\"freed_bytes\":0,\"items\":0,"
               "\"skipped\":\"delete_disabled\"}\n";
    return 0;
  }
  (void)newBatch(ctx.paths);
  ctx.log.say("reclaim: " + std::string(category->name));
  Guards guards(ctx.paths.home, *ctx.platform.files);
  walkCategory(ctx, guards, *category, WalkMode::kDelete, "");
  markLastRun(ctx, "reclaim");
  return 0;
}

int reclaimScanCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  Guards guards(ctx.paths.home, *ctx.platform.files);
  for (const auto& category : kCategories) {
    const bool trashKept = category.name == "trash" && ctx.cfg().flag("DISABLE_DELETE");
    walkCategory(ctx, guards, category, WalkMode::kScan, trashKept ? "delete_disabled" : "");
  }
  return 0;
}

}  // namespace brimvale::service
