#include "apps/app_offloader.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <utility>

#include "apps/app_move_store.h"
#include "apps/bundle_guard.h"
#include "common/base/best_effort.h"
#include "common/base/folder_walk.h"
#include "common/base/guarded_removal.h"
#include "common/base/platform_words.h"
#include "common/base/stop_point.h"
#include "common/base/walk_below.h"
#include "mover/manifest.h"
#include "mover/switch_privileged.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kOffloadCopyDeadline{86400};

struct OffloadErrorRow {
  OffloadErrorCase code;
  std::string_view id;
};

constexpr std::array<OffloadErrorRow, 14> kOffloadErrors{{
    {OffloadErrorCase::kAppStillRunning, "app-still-running"},
    {OffloadErrorCase::kUnsafeItem, "unsafe-item"},
    {OffloadErrorCase::kRecordNotWritten, "record-not-written"},
    {OffloadErrorCase::kCopyIncomplete, "copy-incomplete"},
    {OffloadErrorCase::kArchiveMissing, "archive-missing"},
    {OffloadErrorCase::kAppMissing, "app-missing"},
    {OffloadErrorCase::kCannotRemove, "cannot-remove"},
    {OffloadErrorCase::kRestoreConflict, "restore-conflict"},
    {OffloadErrorCase::kDriveNotConnected, "drive-not-connected"},
    {OffloadErrorCase::kNotEnoughSpace, "not-enough-space"},
    {OffloadErrorCase::kAdminCancelled, "admin-cancelled"},
    {OffloadErrorCase::kBusy, "busy"},
    {OffloadErrorCase::kKeptChanging, "kept-changing"},
    {OffloadErrorCase::kPlaceTaken, "place-taken"},
}};

std::unexpected<OffloadError> stop(OffloadErrorCase code, std::string detail,
                                   std::string conflict = {}) {
  return std::unexpected(OffloadError{code, std::move(detail), std::move(conflict)});
}

std::string curlyQuoted(const std::string& name) { return "\u201c" + name + "\u201d"; }

// What verification compares of one entry: its kind, size and link target.
struct EntryFacts {
  fs::file_type type = fs::file_type::none;
  std::uintmax_t size = 0;
  std::string linkTarget;
  bool operator==(const EntryFacts&) const = default;
};
using TreeFacts = std::map<std::string, EntryFacts>;

std::optional<EntryFacts> factsOf(const fs::path& path) {
  std::error_code ec;
  const auto status = fs::symlink_status(path, ec);
  if (ec) return std::nullopt;
  EntryFacts facts{status.type(), 0, {}};
  if (status.type() == fs::file_type::regular) facts.size = fs::file_size(path, ec);
  if (status.type() == fs::file_type::symlink) facts.linkTarget = fs::read_symlink(path, ec);
  if (ec) return std::nullopt;
  return facts;
}

// Every entry at and below `root`, links not followed; nothing when any entry
// cannot be read, since an unreadable entry cannot be shown to be copied.
std::optional<TreeFacts> treeFacts(const fs::path& root) {
  TreeFacts tree;
  const auto top = factsOf(root);
  if (!top) return std::nullopt;
  tree["."] = *top;
  if (top->type != fs::file_type::directory) return tree;
  const WalkReport walk = walkBelow(root, {.onError = OnReadError::kStop}, [&](const WalkEntry& e) {
    const auto facts = factsOf(e.path);
    if (!facts) return WalkStep::kUnreadable;
    tree[e.path.lexically_relative(root).string()] = *facts;
    return WalkStep::kContinue;
  });
  if (!walk.complete()) return std::nullopt;
  return tree;
}

std::int64_t bytesOf(const TreeFacts& tree) {
  std::int64_t total = 0;
  for (const auto& [_, facts] : tree) total += static_cast<std::int64_t>(facts.size);
  return total;
}

// A name that can only ever mean one entry of one folder.
bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Whether the user may delete `path` and everything below it.
bool userCanRemove(const fs::path& path) {
  if (::access(path.parent_path().c_str(), W_OK | X_OK) != 0) return false;
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return true;
  if (::access(path.c_str(), W_OK | X_OK) != 0) return false;
  bool removable = true;
  const WalkReport walk = walkBelow(path, {.onError = OnReadError::kStop}, [&](const WalkEntry& e) {
    if (e.type != DT_DIR || ::access(e.path.c_str(), W_OK | X_OK) == 0) return WalkStep::kContinue;
    removable = false;
    return WalkStep::kDoNotEnter;
  });
  return removable && walk.complete();
}

bool startsWithFolder(const std::string& path, const fs::path& folder) {
  const std::string prefix = comparablePath(folder) + "/";
  return path.size() > prefix.size() && path.starts_with(prefix);
}

}  // namespace

std::string_view OffloadError::id() const {
  for (const auto& row : kOffloadErrors) {
    if (row.code == code) return row.id;
  }
  return kOffloadErrors[0].id;
}

std::string OffloadError::message() const {
  const std::string system(kHostWords.system);
  switch (code) {
    case OffloadErrorCase::kAppStillRunning:
    case OffloadErrorCase::kUnsafeItem:
    case OffloadErrorCase::kRecordNotWritten:
      return "The operation was stopped for safety. No files were changed.";
    case OffloadErrorCase::kCopyIncomplete:
      return "Some of this app\u2019s files couldn\u2019t be copied completely, so nothing was "
             "changed and your data is left untouched. If it keeps happening, the app likely "
             "stores data " +
             system +
             " protects, which can\u2019t be offloaded this way \u2014 you can Uninstall it "
             "instead.";
    case OffloadErrorCase::kArchiveMissing:
      return "The offloaded files for " + curlyQuoted(detail) +
             " weren\u2019t found on your fast drive. Make sure the drive is connected.";
    case OffloadErrorCase::kAppMissing:
      return curlyQuoted(detail) + " was missing before we started, so nothing was changed.";
    case OffloadErrorCase::kCannotRemove:
      return curlyQuoted(detail) +
             " can\u2019t be removed (it may need administrator access), so the operation was "
             "cancelled before changing anything.";
    case OffloadErrorCase::kRestoreConflict:
      return "Can\u2019t restore " + curlyQuoted(detail) + " \u2014 " + conflict +
             " Nothing was changed. Remove the existing copy first (drag it to the Trash or use "
             "Uninstall), then restore again.";
    case OffloadErrorCase::kDriveNotConnected:
      return "Your fast drive isn\u2019t connected. Reconnect it and try again.";
    case OffloadErrorCase::kNotEnoughSpace:
      return "There isn\u2019t enough free space to complete this safely, so nothing was changed.";
    case OffloadErrorCase::kAdminCancelled:
      return "This app was installed by " + system +
             " and needs administrator access to move, but the password prompt was cancelled "
             "\u2014 so nothing was changed.";
    case OffloadErrorCase::kBusy:
      return "Another app move, offload, restore or removal is still running, so nothing was "
             "changed. "
             "Wait for it to finish, then try again.";
    case OffloadErrorCase::kKeptChanging:
      return "These files kept changing while they were copied, so nothing was changed: " + detail +
             ". Quit the app and try again.";
    case OffloadErrorCase::kPlaceTaken:
      return "it was archived on your fast drive and removed here, but something else now "
             "stands at " +
             detail +
             ", which was left alone. Your app is safe in the archive; look at that place "
             "before you restore it.";
  }
  return {};
}

std::string reinstalledConflict(const std::string& path) {
  return "a copy is already installed at " + path +
         " (it looks like it was reinstalled while offloaded).";
}

std::string dataPresentConflict(const std::string& path) {
  return "some of its data is already present at " + path + ", which would be overwritten.";
}

std::vector<DataPlace> hostDataPlaces() {
#ifdef __APPLE__
  return {
      {"Library/Application Support", "", true, true, false},
      {"Library/Preferences", ".plist", true, false, false},
      {"Library/Caches", "", true, false, false},
      {"Library/HTTPStorages", "", true, false, false},
      {"Library/WebKit", "", true, false, false},
      {"Library/Saved Application State", ".savedState", true, false, false},
      {"Library/Logs", "", false, true, false},
      {"Library/Containers", "", true, false, true},
      {"Library/Group Containers", "", true, false, true},
  };
#else
  return {
      {".config", "", true, true, false},
      {".local/share", "", true, true, false},
      {".cache", "", true, true, false},
  };
#endif
}

std::uint64_t spaceNeededFor(std::uint64_t bytes) {
  return spaceNeededOnDrive(bytes) + (1ULL << 30);
}

std::uint64_t spaceNeededOnDrive(std::uint64_t bytes) { return bytes + bytes / 10; }

std::optional<std::uint64_t> volumeFreeBytes(const fs::path& folder) {
  fs::path probe = folder;
  std::error_code ec;
  while (!probe.empty() && !fs::exists(probe, ec) && probe != probe.root_path()) {
    probe = probe.parent_path();
  }
  const auto space = fs::space(probe, ec);
  if (ec) return std::nullopt;
  return space.available;
}

AppOffloader::AppOffloader(AppOffloaderSetup setup) : setup_(std::move(setup)) { reload(); }

void AppOffloader::say(const std::string& line) const {
  if (setup_.log) setup_.log(line);
}

void AppOffloader::setStatus(std::optional<std::string> line) {
  status_ = std::move(line);
  if (setup_.changed) setup_.changed();
}

void AppOffloader::publish(const OffloadRecord& record) {
  auto it = std::ranges::find(records_, record.id, &OffloadRecord::id);
  if (it == records_.end()) {
    records_.push_back(record);
  } else {
    *it = record;
  }
  if (setup_.changed) setup_.changed();
}

void AppOffloader::forget(const std::string& id) {
  std::erase_if(records_, [&](const OffloadRecord& r) { return r.id == id; });
  if (setup_.changed) setup_.changed();
}

std::optional<OffloadRecord> AppOffloader::find(const std::string& id) const {
  auto it = std::ranges::find(records_, id, &OffloadRecord::id);
  if (it == records_.end()) return std::nullopt;
  return *it;
}

AppOffloader::LockHold AppOffloader::takeLock() const {
  LockHold hold;
  if (setup_.lockFile.empty()) {
    hold.taken = true;
    return hold;
  }
  std::error_code ec;
  fs::create_directories(setup_.lockFile.parent_path(), ec);
  auto opened = FileLock::open(setup_.lockFile);
  if (!opened) {
    say("AppOffloader: cannot use the lock " + setup_.lockFile.string() + ": " +
        opened.error().detail);
    return hold;
  }
  hold.lock = std::move(*opened);
  const auto locked = hold.lock.tryLock();
  hold.taken = locked && *locked;
  if (hold.taken) hold.lock.recordHolder();
  return hold;
}

void AppOffloader::reload() {
  const LockHold hold = takeLock();
  loadRecords(hold.taken);
}

void AppOffloader::loadRecords(bool mayWrite) {
  records_ = setup_.records->loadAll();
  const bool drivePresent = setup_.workingFolder && setup_.workingFolder().has_value();
  for (auto& record : records_) {
    const bool unfinished =
        record.phase == OffloadPhase::kPreparing || record.phase == OffloadPhase::kCopying ||
        record.phase == OffloadPhase::kRemoving || record.phase == OffloadPhase::kWaitingForDrive;
    if (!unfinished) continue;
    if (!drivePresent) {
      // Shown only: the file keeps the phase it stopped in, which says what is where.
      record.phase = OffloadPhase::kWaitingForDrive;
      continue;
    }
    if (record.phase == OffloadPhase::kPreparing || record.phase == OffloadPhase::kCopying) {
      say("AppOffloader: the offload of " + curlyQuoted(record.displayName) +
          " stopped before anything was removed; its files are where they were, and the partial "
          "archive stays at " +
          record.archiveDir);
      record.phase = OffloadPhase::kFailed;
      if (mayWrite) {
        bestEffort(setup_.records->save(record), DiagnosticsLog(setup_.diagnosticsLog),
                   "marking the stopped offload failed");
      }
    }
  }
  if (setup_.changed) setup_.changed();
}

OffloadResult AppOffloader::persist(OffloadRecord& record, OffloadPhase phase) {
  record.phase = phase;
  publish(record);
  if (auto saved = setup_.records->save(record); !saved) {
    return stop(OffloadErrorCase::kRecordNotWritten, saved.error().message());
  }
  return {};
}

void AppOffloader::markFailed(OffloadRecord& record) {
  record.phase = OffloadPhase::kFailed;
  publish(record);
  bestEffort(setup_.records->save(record), DiagnosticsLog(setup_.diagnosticsLog),
             "marking the offload failed");
}

OffloadResult AppOffloader::finish(const std::string& success, const std::string& failurePrefix,
                                   OffloadResult outcome) {
  status_.reset();
  if (outcome) {
    lastResult_ = success;
    for (const auto& path : kept_) {
      *lastResult_ += " A version that differs from it is kept at " + path + ".";
    }
    lastError_.reset();
  } else {
    lastError_ = failurePrefix + outcome.error().message();
    lastResult_.reset();
    say("AppOffloader: " + std::string(outcome.error().id()) + ": " + outcome.error().detail);
  }
  if (setup_.changed) setup_.changed();
  kept_.clear();
  busy_ = false;
  return outcome;
}

std::vector<OffloadRecord::Archived> AppOffloader::gatherItems(const AppEntry& app,
                                                               const fs::path& archive) const {
  std::vector<OffloadRecord::Archived> items;
  const fs::path bundle(comparablePath(app.bundlePath));
  items.push_back({bundle.string(), (archive / bundle.filename()).string(), true, 0});
  std::vector<std::string> names;
  for (const auto& place : setup_.dataPlaces) {
    names.clear();
    if (place.byBundleId && app.bundleIdentifier) names.push_back(*app.bundleIdentifier);
    if (place.byName) names.push_back(app.displayName);
    for (const auto& name : names) {
      const std::string leaf = name + place.suffix;
      if (!isPlainName(name) || !isPlainName(leaf)) continue;
      const fs::path candidate = setup_.home / place.folder / leaf;
      std::error_code ec;
      const auto status = fs::symlink_status(candidate, ec);
      if (ec || !fs::exists(status)) continue;
      if (fs::is_symlink(status)) {
        say("AppOffloader: left " + candidate.string() +
            " alone: it is a link, and what it leads to is not this app's folder");
        continue;
      }
      if (std::ranges::any_of(items, [&](const auto& i) { return i.originalPath == candidate; })) {
        continue;
      }
      const std::string archived =
          (archive / "data" / (std::to_string(items.size()) + "-" + leaf)).string();
      items.push_back({candidate.string(), archived, false, 0});
    }
  }
  return items;
}

OffloadResult AppOffloader::copyAll(const std::vector<OffloadRecord::Archived>& items,
                                    bool toArchive,
                                    std::chrono::system_clock::time_point copyStarted,
                                    std::vector<OffloadRecord::Archived>& created,
                                    std::vector<std::string>& changing) {
  const ReplaceGuard guard({.copyStarted = copyStarted});
  for (const auto& item : items) {
    const fs::path from = toArchive ? item.originalPath : item.archivedPath;
    const fs::path to = toArchive ? item.archivedPath : item.originalPath;
    if (auto ec = setup_.files->createDirectories(to.parent_path())) {
      return stop(OffloadErrorCase::kRecordNotWritten,
                  "create " + to.parent_path().string() + ": " + ec.message());
    }
    created.push_back(item);
    const std::string shortName = toArchive ? "ditto-offload" : "ditto-restore-offload";
    if (auto copied = setup_.tools->copyBundle(from.string(), to.string(), shortName,
                                               kOffloadCopyDeadline, {});
        !copied) {
      return stop(OffloadErrorCase::kCopyIncomplete,
                  shortName + " failed for " + from.string() + ": " + copied.error().detail);
    }
    // Every entry is compared through the guard; what was written while it
    // was copied is copied again.
    auto left = catchUp(*setup_.tools, *setup_.files, from, to, guard);
    if (!left) {
      return stop(OffloadErrorCase::kCopyIncomplete,
                  "verifying " + to.string() + ": " + left.error());
    }
    for (const auto& rel : *left)
      changing.push_back(rel == "." ? from.string() : (from / rel).string());
  }
  return {};
}

OffloadResult AppOffloader::offload(const AppEntry& app) {
  if (busy_.exchange(true)) return stop(OffloadErrorCase::kBusy, "offload of " + app.displayName);
  const LockHold hold = takeLock();
  if (hold.taken) loadRecords(true);
  return finish("Offloaded " + curlyQuoted(app.displayName) +
                    " to your fast drive \u2014 restore it any time.",
                "Couldn\u2019t offload " + curlyQuoted(app.displayName) + ": ",
                hold.taken
                    ? runOffload(app)
                    : stop(OffloadErrorCase::kBusy,
                           "another process runs an operation; offload of " + app.displayName));
}

OffloadResult AppOffloader::runOffload(const AppEntry& app) {
  const std::string& name = app.displayName;
  setStatus("Quitting " + curlyQuoted(name) + "\u2026");
  if (setup_.quitApp) {
    if (auto quit = setup_.quitApp(app); !quit) {
      return stop(OffloadErrorCase::kAppStillRunning, quit.error().message());
    }
  }
  std::error_code ec;
  const auto status = fs::symlink_status(app.bundlePath, ec);
  if (ec || !fs::exists(status)) return stop(OffloadErrorCase::kAppMissing, name);
  if (!fs::is_directory(status) || fs::is_symlink(status)) {
    return stop(OffloadErrorCase::kUnsafeItem, app.bundlePath + " is not a bundle folder");
  }
  const auto workingFolder = setup_.workingFolder ? setup_.workingFolder() : std::nullopt;
  if (!workingFolder) return stop(OffloadErrorCase::kDriveNotConnected, {});
  // The drive is the file system mounted at the folder holding the working folder.
  const auto anchor = MountAnchor::take(workingFolder->parent_path());
  if (!anchor || !anchor->holds(*workingFolder)) {
    return stop(OffloadErrorCase::kDriveNotConnected, {});
  }

  setStatus("Preparing to offload " + curlyQuoted(name) + " and its data to your fast drive\u2026");
  OffloadRecord record;
  record.id = newUuid();
  record.bundleID = app.bundleIdentifier;
  record.displayName = name;
  record.originalBundlePath = comparablePath(app.bundlePath);
  // The name keeps the archive recognisable on the drive; the id part keeps
  // two offloads of same-named apps apart.
  const std::string folderName = isPlainName(name) ? name : std::string("App");
  record.archiveDir =
      (*workingFolder / "Offloaded" / (folderName + "-" + record.id.substr(0, 8))).string();
  record.offloadedAt = setup_.clock();
  record.items = gatherItems(app, record.archiveDir);
  std::uint64_t total = 0;
  for (auto& item : record.items) {
    const auto tree = treeFacts(item.originalPath);
    if (!tree) {
      return stop(OffloadErrorCase::kCopyIncomplete, item.originalPath + " cannot be read");
    }
    item.sizeBytes = bytesOf(*tree);
    total += static_cast<std::uint64_t>(item.sizeBytes);
  }
  // Too little room is known before anything is written, so it leaves no record behind.
  const auto free = setup_.freeBytes ? setup_.freeBytes(*workingFolder) : std::nullopt;
  if (free && *free < spaceNeededOnDrive(total)) return stop(OffloadErrorCase::kNotEnoughSpace, {});
  if (auto saved = persist(record, OffloadPhase::kPreparing); !saved) return saved;

  setStatus("Copying " + curlyQuoted(name) + " and its data to your fast drive\u2026");
  if (auto saved = persist(record, OffloadPhase::kCopying); !saved) return saved;
  std::vector<OffloadRecord::Archived> created;
  std::vector<std::string> changing;
  const auto copyStarted = std::chrono::system_clock::now();
  auto copied = anchor->holds(*workingFolder)
                    ? copyAll(record.items, true, copyStarted, created, changing)
                    : stop(OffloadErrorCase::kDriveNotConnected, {});
  if (copied && !changing.empty()) {
    copied = stop(OffloadErrorCase::kKeptChanging, namedEntries(changing));
  }
  if (copied && !anchor->holds(record.archiveDir)) {
    copied = stop(OffloadErrorCase::kDriveNotConnected, {});
  }
  if (copied) {
    if (auto written = writeArchiveRecord(record); !written) {
      copied = stop(OffloadErrorCase::kRecordNotWritten, written.error().message());
    }
  }
  if (!copied) {
    // The originals were not touched; the partial archive is kept for the record.
    markFailed(record);
    return copied;
  }
  stopPoint("offload:verified");

  setStatus("Archiving " + curlyQuoted(name) + " and its data\u2026");
  if (auto saved = persist(record, OffloadPhase::kRemoving); !saved) return saved;
  if (!anchor->holds(record.archiveDir)) {
    markFailed(record);
    return stop(OffloadErrorCase::kDriveNotConnected, {});
  }
  if (auto removed = removeOriginals(record, copyStarted); !removed) {
    markFailed(record);
    return removed;
  }
  stopPoint("offload:removed");
  if (auto saved = persist(record, OffloadPhase::kDone); !saved) return saved;
  if (auto written = writeArchiveRecord(record); !written) {
    say("AppOffloader: could not update " + record.archiveDir + "/" +
        std::string(kArchiveRecordName) + ": " + written.error().message());
  }
  // Said offloaded only while nothing stands where the app was.
  for (const auto& item : record.items) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(item.originalPath, ec)) ||
        ec != std::errc::no_such_file_or_directory) {
      return stop(OffloadErrorCase::kPlaceTaken, item.originalPath);
    }
  }
  return {};
}

bool AppOffloader::mayRemovePrivileged(const std::string& path) const {
  const std::string standard = comparablePath(fs::path(path));
  return startsWithFolder(standard, setup_.applicationsRoot) ||
         startsWithFolder(standard, setup_.home / "Applications") ||
         startsWithFolder(standard, setup_.home / "Library");
}

bool AppOffloader::isSandboxContainer(const std::string& path) const {
  return std::ranges::any_of(setup_.dataPlaces, [&](const DataPlace& place) {
    return place.sandboxContainer && startsWithFolder(path, setup_.home / place.folder);
  });
}

OffloadResult AppOffloader::privilegedRemove(const std::string& path, const std::string& name) {
  if (!mayRemovePrivileged(path)) {
    say("AppOffloader.privilegedRemove: refusing unexpected path " + path);
    return stop(OffloadErrorCase::kCannotRemove, name);
  }
  const auto result =
      setup_.tools->runPrivileged("/bin/rm -rf " + mover::singleQuoted(comparablePath(path)));
  switch (result.outcome) {
    case platform::PrivilegedOutcome::kSuccess: return {};
    case platform::PrivilegedOutcome::kCancelled:
      return stop(OffloadErrorCase::kAdminCancelled, "removing " + path);
    case platform::PrivilegedOutcome::kFailed:
      say("AppOffloader.privilegedRemove: " + path + ": " + result.detail);
      return stop(OffloadErrorCase::kCannotRemove, name);
  }
  return stop(OffloadErrorCase::kCannotRemove, name);
}

OffloadResult AppOffloader::removeOriginals(OffloadRecord& record,
                                            std::chrono::system_clock::time_point copyStarted) {
  // Everything that will need an administrator, or cannot be removed at all,
  // is known before the first removal, so a refusal changes nothing.
  for (const auto& item : record.items) {
    if (userCanRemove(item.originalPath) || isSandboxContainer(item.originalPath)) continue;
    if (!mayRemovePrivileged(item.originalPath)) {
      say("AppOffloader.privilegedRemove: refusing unexpected path " + item.originalPath);
      return stop(OffloadErrorCase::kCannotRemove, record.displayName);
    }
  }
  const ReplaceGuard guard({.copyStarted = copyStarted});
  // The bundle goes first: a cancelled password prompt then leaves everything in place.
  int containersLeft = 0;
  std::vector<OffloadRecord::Archived> archived;
  for (const auto& item : record.items) {
    const fs::path original = item.originalPath;
    const bool asUser = userCanRemove(original);
    if (!asUser && isSandboxContainer(item.originalPath)) {
      ++containersLeft;
      continue;
    }
    // Written after it was archived: the bundle stops the offload untouched,
    // a data folder stays where it is.
    if (const auto differences = compareBundle(original, item.archivedPath, guard);
        !differences.none()) {
      std::vector<std::string> paths;
      for (const auto& rel : differences.all()) {
        paths.push_back(rel == "." ? original.string() : (original / rel).string());
      }
      if (item.isBundle) return stop(OffloadErrorCase::kKeptChanging, namedEntries(paths));
      say("AppOffloader: left " + item.originalPath +
          " in place: it changed after it was archived (" + namedEntries(paths) + ")");
      continue;
    }
    if (asUser) {
      // Entry by entry, each only where the archive matches it right then.
      const GuardedRemoval removal =
          removeVerifiedTree(original, item.archivedPath, guard, *setup_.files);
      std::error_code ec;
      if (removal.complete() && !fs::exists(fs::symlink_status(original, ec))) {
        archived.push_back(item);
        continue;
      }
      if (!removal.changed.empty() || !removal.unmatched.empty()) {
        // Written in the moment between the check and the removal: kept beside it.
        const OpenFolder parent(original.parent_path().string());
        auto aside = parent.isOpen() ? keepAside(parent.fd(), original.filename().string())
                                     : std::expected<std::string, std::error_code>(std::unexpected(
                                           std::make_error_code(std::errc::io_error)));
        const std::string keptAt =
            aside ? (original.parent_path() / *aside).string() : item.originalPath;
        kept_.push_back(keptAt);
        say("AppOffloader: kept " + keptAt +
            " — it changed while it was removed: " + namedEntries(removal.leftBehind()));
        archived.push_back(item);
        continue;
      }
      if (isSandboxContainer(item.originalPath)) {
        ++containersLeft;
        continue;
      }
      // The rest the user may not remove: the administrator's turn.
    }
    if (!item.isBundle && !mayRemovePrivileged(item.originalPath)) {
      // The bundle is gone already; this copy stays where it was and its
      // archived twin stays in the archive folder.
      say("AppOffloader: left " + item.originalPath + " in place");
      continue;
    }
    if (auto removed = privilegedRemove(item.originalPath, record.displayName); !removed) {
      if (item.isBundle) return removed;
      say("AppOffloader: left " + item.originalPath + " in place: " + removed.error().message());
      continue;
    }
    archived.push_back(item);
  }
  if (containersLeft > 0) {
    say("AppOffloader: left " + std::to_string(containersLeft) +
        " macOS-protected sandbox container(s) in place for " + curlyQuoted(record.displayName) +
        " \u2014 bundle and other data offloaded.");
  }
  record.items = std::move(archived);
  return {};
}

OffloadResult AppOffloader::restore(const std::string& recordId) {
  if (busy_.exchange(true)) return stop(OffloadErrorCase::kBusy, "restore of " + recordId);
  const LockHold hold = takeLock();
  if (hold.taken) loadRecords(true);
  const auto record = find(recordId);
  const std::string name = record ? record->displayName : recordId;
  OffloadResult outcome =
      !hold.taken
          ? stop(OffloadErrorCase::kBusy, "another process runs an operation; restore of " + name)
      : record ? runRestore(*record)
               : stop(OffloadErrorCase::kUnsafeItem, "no record " + recordId);
  return finish("Restored " + curlyQuoted(name) + " from your fast drive.",
                "Couldn\u2019t restore " + curlyQuoted(name) + ": ", std::move(outcome));
}

OffloadResult AppOffloader::runRestore(OffloadRecord record) {
  const std::string& name = record.displayName;
  setStatus("Restoring " + curlyQuoted(name) + " to this " + std::string(kHostWords.computer) +
            "\u2026");
  const auto workingFolder = setup_.workingFolder ? setup_.workingFolder() : std::nullopt;
  if (!workingFolder) return stop(OffloadErrorCase::kDriveNotConnected, {});
  const auto anchor = MountAnchor::take(workingFolder->parent_path());
  if (!anchor || !anchor->holds(*workingFolder)) {
    return stop(OffloadErrorCase::kDriveNotConnected, {});
  }
  // An offload stopped while removing has some items home already.
  if (record.phase != OffloadPhase::kDone && record.phase != OffloadPhase::kRemoving) {
    return stop(OffloadErrorCase::kUnsafeItem,
                "the offload of " + name + " did not finish; its files were not removed");
  }
  // A record read from disk may only bring files from this computer's archive
  // into the user's own places and the applications folders.
  const auto archiveRoot = *workingFolder / "Offloaded";
  for (const auto& item : record.items) {
    const std::string to = comparablePath(fs::path(item.originalPath));
    const bool allowedPlace =
        item.isBundle ? mayRemovePrivileged(to) : startsWithFolder(to, setup_.home);
    if (!allowedPlace ||
        !startsWithFolder(comparablePath(fs::path(item.archivedPath)), archiveRoot)) {
      return stop(OffloadErrorCase::kUnsafeItem, "unexpected paths in the record: " +
                                                     item.originalPath + ", " + item.archivedPath);
    }
  }
  std::error_code ec;
  if (!fs::is_directory(record.archiveDir, ec)) {
    return stop(OffloadErrorCase::kArchiveMissing, name);
  }
  std::uint64_t total = 0;
  for (const auto& item : record.items) {
    if (!fs::exists(fs::symlink_status(item.archivedPath, ec))) {
      return stop(OffloadErrorCase::kArchiveMissing, name);
    }
    total += static_cast<std::uint64_t>(item.sizeBytes);
  }
  std::vector<OffloadRecord::Archived> toCopy;
  for (const auto& item : record.items) {
    if (fs::exists(fs::symlink_status(item.originalPath, ec))) {
      // Never removed, or copied home by a restore cut short: exactly as archived.
      if (compareBundle(item.archivedPath, item.originalPath,
                        ReplaceGuard({.alwaysCompareBytes = true}))
              .none()) {
        continue;
      }
      return stop(OffloadErrorCase::kRestoreConflict, name,
                  item.isBundle ? reinstalledConflict(item.originalPath)
                                : dataPresentConflict(item.originalPath));
    }
    toCopy.push_back(item);
  }
  const auto free = setup_.freeBytes
                        ? setup_.freeBytes(fs::path(record.originalBundlePath).parent_path())
                        : std::nullopt;
  if (free && *free < spaceNeededFor(total)) return stop(OffloadErrorCase::kNotEnoughSpace, {});

  std::vector<OffloadRecord::Archived> created;
  std::vector<std::string> changing;
  if (auto copied = copyAll(toCopy, false, std::chrono::system_clock::now(), created, changing);
      !copied) {
    undoRestore(created);
    return copied;
  }
  stopPoint("restore:copied");
  if (auto registered = setup_.tools->registerApp(record.originalBundlePath, "lsregister-restore");
      !registered) {
    say("AppOffloader: lsregister failed but " + record.originalBundlePath +
        " is in place: " + registered.error().detail);
  }
  if (auto removed = setup_.records->remove(record.id); !removed) {
    say("AppOffloader: could not forget the record " + record.id + ": " +
        removed.error().message());
  }
  forget(record.id);
  if (!changing.empty() || !anchor->holds(record.archiveDir)) {
    // Written on the drive while it was copied home: the archive is the only
    // place with those changes, so it stays, under a name that says so.
    const fs::path archive = record.archiveDir;
    std::optional<std::string> aside;
    const OpenFolder parent(archive.parent_path().string());
    if (parent.isOpen() && anchor->holds(record.archiveDir)) {
      if (auto renamed = keepAside(parent.fd(), archive.filename().string())) {
        aside = (archive.parent_path() / *renamed).string();
        kept_.push_back(*aside);
      }
    }
    say("AppOffloader: the archive of " + curlyQuoted(name) + " stays at " +
        aside.value_or(record.archiveDir) +
        (changing.empty()
             ? std::string()
             : ": it changed while it was copied home (" + namedEntries(changing) + ")"));
    return {};
  }
  // Everything is back and verified; the archive goes to the Trash rather than
  // away, so the drive's space comes back when the user empties it.
  if (auto trashed =
          platform::moveToTrash(record.archiveDir, setup_.trash, setup_.clock(), *setup_.files);
      !trashed) {
    say("AppOffloader: the archive of " + curlyQuoted(name) + " stays at " + record.archiveDir +
        ": " + trashed.error().message());
  }
  return {};
}

void AppOffloader::undoRestore(const std::vector<OffloadRecord::Archived>& created) {
  // Those places were checked empty, so all that is there came from the
  // archive; only what matches it goes, the rest is kept aside.
  for (const auto& item : created) {
    const Retired retired =
        retire(item.originalPath, item.archivedPath, ReplaceGuard{}, *setup_.files);
    if (retired.keptAt) {
      kept_.push_back(retired.keptAt->string());
      say("AppOffloader: kept " + retired.keptAt->string() +
          " from a restore that stopped: " + namedEntries(retired.differing));
    } else if (!retired.gone) {
      say("AppOffloader: left " + item.originalPath +
          " from a restore that stopped: " + retired.error);
    }
  }
}

OffloadResult AppOffloader::remove(const std::string& recordId) {
  if (busy_.exchange(true)) return stop(OffloadErrorCase::kBusy, "removal of " + recordId);
  const LockHold hold = takeLock();
  if (hold.taken) loadRecords(true);
  const auto record = find(recordId);
  const std::string name = record ? record->displayName : recordId;
  OffloadResult outcome =
      !hold.taken
          ? stop(OffloadErrorCase::kBusy, "another process runs an operation; removal of " + name)
      : record ? runRemove(*record)
               : stop(OffloadErrorCase::kUnsafeItem, "no record " + recordId);
  return finish("Removed offloaded app " + curlyQuoted(name) + " (moved to Trash).",
                "Couldn\u2019t remove " + curlyQuoted(name) + ": ", std::move(outcome));
}

OffloadResult AppOffloader::runRemove(const OffloadRecord& record) {
  setStatus("Removing " + curlyQuoted(record.displayName) + "\u2026");
  const auto workingFolder = setup_.workingFolder ? setup_.workingFolder() : std::nullopt;
  if (!workingFolder) return stop(OffloadErrorCase::kDriveNotConnected, {});
  // A record read from disk may only send this computer's own archives to the Trash.
  if (!startsWithFolder(comparablePath(record.archiveDir), *workingFolder / "Offloaded")) {
    return stop(OffloadErrorCase::kUnsafeItem,
                record.archiveDir + " is not inside " + (*workingFolder / "Offloaded").string());
  }
  std::error_code ec;
  if (!fs::is_directory(record.archiveDir, ec)) {
    return stop(OffloadErrorCase::kArchiveMissing, record.displayName);
  }
  if (auto trashed =
          platform::moveToTrash(record.archiveDir, setup_.trash, setup_.clock(), *setup_.files);
      !trashed) {
    return stop(OffloadErrorCase::kUnsafeItem, trashed.error().message());
  }
  if (auto removed = setup_.records->remove(record.id); !removed) {
    say("AppOffloader: could not forget the record " + record.id + ": " +
        removed.error().message());
  }
  forget(record.id);
  return {};
}

}  // namespace brimvale::apps
