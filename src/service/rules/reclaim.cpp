#include "service/rules/reclaim.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/folder_walk.h"
#include "common/base/json_writer.h"
#include "common/base/stop_point.h"
#include "common/state/config_keys.h"
#include "common/state/exclude_list.h"
#include "common/state/path_policy.h"
#include "service/core/action_log.h"
#include "service/core/rule_run_lock.h"
#include "service/core/status_snapshot.h"
#include "service/relocation/checked_folder.h"
#include "service/relocation/guards.h"
#include "service/rules/clutter_places.h"
#include "service/rules/trash_records.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

enum class WalkMode { kDelete, kScan };

// One walk over a category, deleting or only sizing. Every folder and item
// is checked by the path policy first: a category folder that is a link (say
// ~/.pnpm-store pointing at ~/Documents) is never entered. Refusals are
// logged (and said while deleting) and their sentences travel in the JSON
// line as "refused", so the clean-up can show them.
class CategoryWalk {
 public:
  // `listItems` (scan only) prints each candidate's own line before the
  // category's, so a preview shows exactly what the walk would take.
  // `only`, when given, limits the walk to those paths: what a preview
  // showed, each still checked as any candidate is.
  CategoryWalk(ServiceContext& ctx, Guards& guards, const ReclaimPlaces& places, WalkMode mode,
               bool listItems = false, std::optional<std::set<std::string>> only = std::nullopt)
      : ctx_(ctx),
        guards_(guards),
        places_(places),
        mode_(mode),
        listItems_(listItems && mode == WalkMode::kScan),
        only_(std::move(only)),
        policy_(PathPolicy::rootsFor(ctx.paths.home)),
        excludes_(ExcludeList::of(ctx.cfg(), ctx.paths.home)),
        action_("reclaim-" + std::string(places.name)) {}

  // Walks every folder of the category and prints its JSON line; `skipped`
  // adds the note.
  void run(std::string_view skipped) {
    for (const auto& folder : places_.folders) {
      const fs::path root = ctx_.paths.home / folder.path;
      if (!isDirectory(root).value_or(false)) continue;
      if (places_.age == CandidateAge::kTrashRecord) {
        walkTrash(root);
      } else {
        walkFolder(root);
      }
    }
    JsonObjectWriter line;
    line.string("category", places_.name).number("freed_bytes", bytes_).number("items", items_);
    if (!skipped.empty()) line.string("skipped", skipped);
    if (unrecorded_ > 0) line.number("unrecorded", unrecorded_);
    if (!refused_.empty()) line.string("refused", refused_);
    if (kept_.items > 0) line.number("kept_items", kept_.items).number("kept_bytes", kept_.bytes);
    ctx_.out << line.str() << "\n";
  }

 private:
  // Said while deleting; the scan's output is only its JSON lines.
  void tell(const std::string& line) {
    if (mode_ == WalkMode::kDelete) {
      ctx_.log.say(line);
    } else {
      ctx_.log.log(line);
    }
  }

  void refuse(const std::string& sentence) {
    tell("reclaim skip \u2014 refused: " + sentence);
    refused_ += (refused_.empty() ? "" : " ") + sentence;
  }

  std::optional<CheckedFolder> openChecked(const fs::path& folder) {
    auto checked = CheckedFolder::open(policy_, folder);
    if (!checked) {
      refuse(checked.error());
      return std::nullopt;
    }
    return std::move(*checked);
  }

  // Checks and measures one candidate (`entry` of `within`, as listed at
  // `listedAt`, aged from `agedFrom`) and, while deleting, removes it with
  // `remove` (true when it is gone) and records it. Open items and items
  // written moments ago are in use and stay, as do items the user's excludes
  // keep (counted apart).
  void take(const DirEntry& entry, const fs::path& within,
            std::chrono::system_clock::time_point listedAt, std::time_t agedFrom,
            const std::function<bool()>& remove) {
    if (excludes_.keeps(entry.path, within)) {
      ++kept_.items;
      kept_.bytes += bytesOf(entry.path.string()).value_or(0);
      return;
    }
    if (auto allowed = policy_.check(entry.path); !allowed) {
      refuse(allowed.error().sentence());
      return;
    }
    const std::string shown = entry.path.string();
    if (guards_.isCloudPath(shown) || (only_ && !only_->contains(shown))) return;
    const auto size = bytesOf(shown);
    if (mode_ == WalkMode::kDelete) {
      if (guards_.isOpen(shown) || writtenMomentsAgo(entry.info, listedAt)) return;
      stopPoint("reclaim:deleting");
      const bool gone = remove();
      stopPoint("reclaim:deleted");
      if (!gone) return;
      bestEffort(recordAction(ctx_.paths, ctx_.clock(), {action_, shown, "-", size}),
                 DiagnosticsLog(ctx_.paths.diagnosticsLog, ctx_.clock),
                 "recording a reclaimed item");
    }
    if (listItems_) {
      ctx_.out << JsonObjectWriter()
                      .string("category", places_.name)
                      .string("path", shown)
                      .number("bytes", size.value_or(0))
                      .number("aged_from", static_cast<std::int64_t>(agedFrom))
                      .str()
               << "\n";
    }
    ++items_;
    bytes_ += size.value_or(0);
  }

  // Removes a listed entry of `folder` as it was listed; what changed since
  // stays and is said.
  bool removeListed(const CheckedFolder& folder, const DirEntry& entry,
                    std::chrono::system_clock::time_point listedAt) {
    const ListedRemoval removed =
        folder.removeAsListed(entry.path.filename(), entry.info, listedAt);
    if (!removed.gone) {
      tell(removed.firstFailure.empty()
               ? "reclaim kept: " + entry.path.string() +
                     " (it changed after it was listed, so it was left as it is)"
               : "reclaim couldn't delete " + entry.path.string() + " (" + removed.firstFailure +
                     "); what is left of it is where it was");
    }
    return removed.gone;
  }

  // The folder's direct children older than the category's minimum age.
  void walkFolder(const fs::path& root) {
    auto checked = openChecked(root);
    if (!checked) return;
    const std::time_t now = ctx_.clock();
    const auto listedAt = std::chrono::system_clock::now();
    for (const auto& entry : listEntries(root).value_or(std::vector<DirEntry>{})) {
      if (places_.minAgeDays > 0 && !entry.olderThan(places_.minAgeDays, now)) continue;
      take(entry, root, listedAt, entry.info.st_mtime,
           [&] { return removeListed(*checked, entry, listedAt); });
    }
  }

  [[nodiscard]] bool thrownAwayLongAgo(const TrashRecord& record) const {
    return ctx_.clock() - record.deletedAt > places_.minAgeDays * 86'400;
  }

  // A freedesktop Trash: an item goes when its record says it was thrown
  // away long enough ago; an item without a readable record is left alone
  // and counted, since nothing says how old it is.
  void walkTrash(const fs::path& trash) {
    const fs::path filesFolder = trash / "files";
    if (!openChecked(trash) || !isDirectory(filesFolder).value_or(false)) return;
    auto files = openChecked(filesFolder);
    if (!files) return;
    const std::optional<CheckedFolder> info =
        isDirectory(trash / "info").value_or(false) ? openChecked(trash / "info") : std::nullopt;
    const std::uint64_t unrecordedBefore = unrecorded_;
    const auto listedAt = std::chrono::system_clock::now();
    for (const auto& entry : listEntries(filesFolder).value_or(std::vector<DirEntry>{})) {
      const std::string name = entry.path.filename().string();
      const auto record = info ? readTrashRecord(trash, name) : std::nullopt;
      if (!record) {
        ++unrecorded_;
        continue;
      }
      if (!thrownAwayLongAgo(*record)) continue;
      take(entry, filesFolder, listedAt, record->deletedAt, [&] {
        if (!removeListed(*files, entry, listedAt)) return false;
        ctx_.log.log("reclaim trash: emptied " + record->originalPath);
        // The record goes last: a run stopped before this point leaves the
        // record of an item that is gone, which the next run clears.
        removeRecord(*info, name);
        return true;
      });
    }
    if (unrecorded_ > unrecordedBefore) {
      tell("reclaim skip \u2014 " + std::to_string(unrecorded_ - unrecordedBefore) +
           " Trash item(s) without a record of when they were thrown away were left alone: " +
           filesFolder.string());
    }
    if (info && mode_ == WalkMode::kDelete) clearStaleRecords(trash, *info);
  }

  void removeRecord(const CheckedFolder& info, const std::string& item) {
    bestEffort(info.remove(trashInfoOf(item).filename()),
               DiagnosticsLog(ctx_.paths.diagnosticsLog, ctx_.clock), "removing a Trash record");
  }

  // Records of old items that are no longer in files/: what a run stopped
  // between an item and its record leaves behind.
  void clearStaleRecords(const fs::path& trash, const CheckedFolder& info) {
    constexpr std::string_view kSuffix = ".trashinfo";
    for (const auto& entry : listEntries(info.path()).value_or(std::vector<DirEntry>{})) {
      const std::string name = entry.path.filename().string();
      if (!name.ends_with(kSuffix) || name.size() == kSuffix.size()) continue;
      const std::string item = name.substr(0, name.size() - kSuffix.size());
      const auto status = linkStatus(trash / "files" / item);
      if (!status || status->type() != fs::file_type::not_found) continue;
      const auto record = readTrashRecord(trash, item);
      if (record && thrownAwayLongAgo(*record)) removeRecord(info, item);
    }
  }

  ServiceContext& ctx_;
  Guards& guards_;
  const ReclaimPlaces& places_;
  WalkMode mode_;
  bool listItems_;
  std::optional<std::set<std::string>> only_;
  PathPolicy policy_;
  ExcludeList excludes_;
  std::string action_;
  std::uint64_t items_ = 0;
  std::uint64_t bytes_ = 0;
  std::uint64_t unrecorded_ = 0;
  std::string refused_;
  KeptByExcludes kept_;
};

// The paths of `reclaim CATEGORY --only FILE` (FILE: a JSON array of paths);
// nothing when there is no --only, an error when FILE cannot be used.
Result<std::optional<std::set<std::string>>> onlyPaths(const std::vector<std::string>& args) {
  const auto flag = std::ranges::find(args, "--only");
  if (flag == args.end()) return std::nullopt;
  if (std::next(flag) == args.end()) return fail(Errc::kInvalidArgument, "--only needs a FILE");
  auto text = readFile(*std::next(flag));
  if (!text) return std::unexpected(text.error());
  const auto doc = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_array()) return fail(Errc::kParse, "not a JSON array of paths");
  std::set<std::string> paths;
  for (const auto& path : doc) {
    if (path.is_string()) paths.insert(path.get<std::string>());
  }
  return paths;
}

}  // namespace

int reclaimCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  return reclaimIn(kHostHomeLayout, ctx, args);
}

int reclaimScanCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  return reclaimScanIn(kHostHomeLayout, ctx, args);
}

int reclaimIn(HomeLayout layout, ServiceContext& ctx, const std::vector<std::string>& args) {
  const ReclaimPlaces* category = args.empty() ? nullptr : findReclaimPlaces(layout, args[0]);
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
  auto only = onlyPaths(args);
  if (!only) {
    ctx.out << JsonObjectWriter()
                   .string("error", "unreadable_list")
                   .string("refused", "The list of items to clear couldn't be read (" +
                                          only.error().message() +
                                          "), so nothing was deleted. Preview again.")
                   .str()
            << "\n";
    return 1;
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
  CategoryWalk(ctx, guards, *category, WalkMode::kDelete, false, std::move(*only)).run("");
  markLastRun(ctx, "reclaim");
  return 0;
}

int reclaimScanIn(HomeLayout layout, ServiceContext& ctx, const std::vector<std::string>& args) {
  const bool listItems = std::ranges::find(args, "--items") != args.end();
  Guards guards(ctx.paths.home, *ctx.platform.files);
  for (const auto& category : reclaimPlaces(layout)) {
    const bool trashKept = category.name == "trash" && ctx.cfg().flag(config_keys::kDisableDelete);
    CategoryWalk(ctx, guards, category, WalkMode::kScan, listItems)
        .run(trashKept ? "delete_disabled" : "");
  }
  return 0;
}

}  // namespace brimvale::service
