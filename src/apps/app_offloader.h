// Offloading an app: its bundle and data folders are archived on the drive and
// removed from the internal disk only after the archive is verified; restore
// copies everything back, removal puts the archive in the Trash. One operation
// at a time, each step written to the app's record first.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "apps/app_catalogue_entry.h"
#include "apps/offload_record.h"
#include "common/base/error.h"
#include "common/base/file_lock.h"
#include "common/base/file_operations.h"
#include "common/base/mount_anchor.h"
#include "common/base/timestamps.h"
#include "platform/app_relocation_tools.h"
#include "platform/trash_mover.h"

namespace brimvale::apps {

// Logged by id; never renumber. The first three share one sentence and differ
// in their detail.
enum class OffloadErrorCase {
  kAppStillRunning,   // the app would not quit
  kUnsafeItem,        // something about the bundle or record is not what it must be
  kRecordNotWritten,  // a record or the archive folder could not be written
  kCopyIncomplete,
  kArchiveMissing,
  kAppMissing,
  kCannotRemove,
  kRestoreConflict,
  kDriveNotConnected,
  kNotEnoughSpace,
  kAdminCancelled,
  kBusy,          // another offload, restore or removal runs
  kKeptChanging,  // files kept changing while they were copied
  kPlaceTaken,    // archived and removed, but something else stands in its place now
};

struct OffloadError {
  OffloadErrorCase code = OffloadErrorCase::kUnsafeItem;
  // kAppStillRunning, kUnsafeItem, kRecordNotWritten, kCopyIncomplete: what went
  // wrong (for the log). kArchiveMissing, kAppMissing, kCannotRemove,
  // kRestoreConflict: the app's name. kKeptChanging: the files, named.
  // kPlaceTaken: the place.
  std::string detail;
  // kRestoreConflict: which place is taken (see restoreConflictDetail).
  std::string conflict;

  [[nodiscard]] std::string_view id() const;
  // The sentence the user reads.
  [[nodiscard]] std::string message() const;
};

using OffloadResult = std::expected<void, OffloadError>;

// The two conflicts that stop a restore.
[[nodiscard]] std::string reinstalledConflict(const std::string& path);
[[nodiscard]] std::string dataPresentConflict(const std::string& path);

// A per-user place where apps keep data, relative to the home folder. An item
// matches only when its name is exactly the app's bundle identifier (or its
// name) followed by `suffix`; a parent folder never matches.
struct DataPlace {
  std::filesystem::path folder;
  std::string suffix;
  bool byBundleId = true;
  bool byName = false;
  // macOS protects these; one that cannot be removed is left in place.
  bool sandboxContainer = false;
};

// The places searched on the platform this program was built for.
[[nodiscard]] std::vector<DataPlace> hostDataPlaces();

// Room a restore needs at home beyond the bytes copied: a tenth of them plus
// 1 GiB, so an app restored on an almost full disk still has space to start
// and write caches.
[[nodiscard]] std::uint64_t spaceNeededFor(std::uint64_t bytes);
// Room an offload needs on the drive: the bytes and a tenth more for what
// the drive's file system adds; nothing runs from an archive.
[[nodiscard]] std::uint64_t spaceNeededOnDrive(std::uint64_t bytes);

struct AppOffloaderSetup {
  std::filesystem::path home;
  // The system applications folder; with `home`/Applications and
  // `home`/Library the only places an administrator removal may touch.
  std::filesystem::path applicationsRoot = "/Applications";
  std::vector<DataPlace> dataPlaces = hostDataPlaces();
  // The drive's working folder; nothing while the drive is not mounted.
  std::function<std::optional<std::filesystem::path>()> workingFolder;
  // Free bytes on the volume holding a folder; nothing when unknown.
  std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> freeBytes;
  // Asks the app to quit; an error when it is still running.
  std::function<Result<void>(const AppEntry&)> quitApp;
  // Both required.
  platform::AppRelocationTools* tools = nullptr;
  const OffloadRecordStore* records = nullptr;
  FileOperations* files = &FileOperations::real();
  // Where removed archives go: platform::hostTrashPlaces(home) in the application.
  platform::TrashPlaces trash;
  std::function<void(const std::string&)> log;
  // Where the failures nobody has to act on are noted.
  std::filesystem::path diagnosticsLog;
  WallClock clock;
  // Called after every change of the published state.
  std::function<void()> changed;
  // Held while an operation runs, so that two processes never act at once;
  // empty: only the operations of one AppOffloader are serialised.
  std::filesystem::path lockFile;
};

// Free space of the volume holding `folder` (or its nearest existing parent).
[[nodiscard]] std::optional<std::uint64_t> volumeFreeBytes(const std::filesystem::path& folder);

class AppOffloader {
 public:
  explicit AppOffloader(AppOffloaderSetup setup);

  // Reads the records again. Records left unfinished show as waitingForDrive
  // while the drive is away; with the drive present, one stopped before its
  // removal step is marked failed (its originals were never touched), unless
  // another process runs an operation now: then it is only shown.
  void reload();

  // The published result is also in lastResult()/lastError(). Nothing is
  // written to the drive unless it is still the file system mounted (at the
  // folder holding the working folder) when the operation began. An offload
  // copies again what changed while it was copied (at most kCatchUpRounds
  // rounds, then it stops with the originals untouched, naming the files)
  // and removes each original entry only where the archive matches it.
  // A restore keeps an archive that differs from what was copied home under
  // a `.kept-<UTC stamp>` name instead of sending it to the Trash.
  OffloadResult offload(const AppEntry& app);
  OffloadResult restore(const std::string& recordId);
  OffloadResult remove(const std::string& recordId);

  [[nodiscard]] const std::vector<OffloadRecord>& records() const { return records_; }
  [[nodiscard]] const std::optional<std::string>& statusLine() const { return status_; }
  [[nodiscard]] const std::optional<std::string>& lastResult() const { return lastResult_; }
  [[nodiscard]] const std::optional<std::string>& lastError() const { return lastError_; }

 private:
  // An operation's hold on `lockFile`; `taken` is false while another process runs one.
  struct LockHold {
    FileLock lock;
    bool taken = false;
  };
  [[nodiscard]] LockHold takeLock() const;
  void loadRecords(bool mayWrite);
  OffloadResult runOffload(const AppEntry& app);
  OffloadResult runRestore(OffloadRecord record);
  OffloadResult runRemove(const OffloadRecord& record);
  [[nodiscard]] std::vector<OffloadRecord::Archived> gatherItems(
      const AppEntry& app, const std::filesystem::path& archive) const;
  // Copies every item (to the archive, or back home), then copies again what
  // changed meanwhile; the places it made go to `created`, and the entries
  // that kept changing to `changing` (full paths).
  OffloadResult copyAll(const std::vector<OffloadRecord::Archived>& items, bool toArchive,
                        std::chrono::system_clock::time_point copyStarted,
                        std::vector<OffloadRecord::Archived>& created,
                        std::vector<std::string>& changing);
  OffloadResult removeOriginals(OffloadRecord& record,
                                std::chrono::system_clock::time_point copyStarted);
  // Takes back what a failed restore made: each place only where it matches the archive.
  void undoRestore(const std::vector<OffloadRecord::Archived>& created);
  OffloadResult privilegedRemove(const std::string& path, const std::string& name);
  [[nodiscard]] bool mayRemovePrivileged(const std::string& path) const;
  [[nodiscard]] bool isSandboxContainer(const std::string& path) const;
  OffloadResult persist(OffloadRecord& record, OffloadPhase phase);
  // After a stop: a record that cannot be saved keeps its earlier phase,
  // which still says what is where.
  void markFailed(OffloadRecord& record);
  [[nodiscard]] std::optional<OffloadRecord> find(const std::string& id) const;
  void publish(const OffloadRecord& record);
  void forget(const std::string& id);
  void setStatus(std::optional<std::string> line);
  OffloadResult finish(const std::string& success, const std::string& failurePrefix,
                       OffloadResult outcome);
  void say(const std::string& line) const;

  AppOffloaderSetup setup_;
  std::vector<OffloadRecord> records_;
  std::optional<std::string> status_;
  std::optional<std::string> lastResult_;
  std::optional<std::string> lastError_;
  // What the running operation kept under a `.kept-<UTC stamp>` name.
  std::vector<std::string> kept_;
  std::atomic<bool> busy_{false};
};

}  // namespace brimvale::apps
