// The list of relocated folders that can be brought home: rebuilt from the
// finished relocation records checked against the disk and from the discovery
// walk, with the two operations on one item: move back and delete.
#pragma once
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/state/paths.h"
#include "mover/local_folder_mover.h"
#include "mover/manifest.h"
#include "mover/relocated_item.h"
#include "mover/relocation_discovery.h"

namespace brimvale::mover {

// Why a move back did not start. Nothing on disk was changed by it.
struct MoveBackError {
  enum class Kind {
    kNotEnoughSpace,     // required, available
    kParentMissing,      // path: the original parent folder
    kLinkNotRemoved,     // path: the link at the original location
    kCopyNotAccessible,  // path: the copy
    kDriveNotConnected,
    kNoRsync,
    kAlreadyRunning,  // this item is being moved back already
    kRefused,         // path: the mover's own sentence
  };
  Kind kind = Kind::kRefused;
  std::int64_t required = 0;
  std::int64_t available = 0;
  std::string path;
  [[nodiscard]] std::string message() const;
};

struct DeleteError {
  enum class Kind {
    kNotBroken,
    // noSymlink: the copy on the drive is the only copy (path); move it back instead.
    kOnlyCopy,
    // The copy is on the drive, which is not connected: it may only be out of
    // reach (path: the mount path), so its link and record are kept.
    kDriveAbsent,
    kStepsFailed,  // failedSteps: "NVMe path (…)", "Source symlink (…)"
  };
  Kind kind = Kind::kNotBroken;
  std::string path;
  std::vector<std::string> failedSteps;
  [[nodiscard]] std::string message() const;
};

// What a delete of a broken relocation did at its original location.
struct DeleteOutcome {
  std::vector<std::string> removed;  // dangling links and emptied folders, as paths
  std::vector<std::string> kept;     // anything else found there, as paths
  // Links of Brimvale's own that could not be removed ("path: reason"); the
  // record is kept while there are any.
  std::vector<std::string> left;
  // "NVMe path (…)", "Source symlink (…)": the steps that failed (see DeleteError).
  std::vector<std::string> failedSteps;
  bool recordRemoved = false;
};

// How a move back ended, for the item it was bringing home.
struct MoveBackEnd {
  enum class Kind {
    kBroughtHome,      // the data is back; the relocation's record is gone
    kHomeUnrecorded,   // the data is back and the copy gone, but the record could not be updated
    kLinkRestored,     // stopped; the link at the original location was put back
    kRelocationKept,   // stopped; the original folder of per-file links was never removed
    kPartialLeft,      // stopped; what was copied back differs from the drive copy (detail)
    kLinkNotRestored,  // stopped; the link could not be put back (detail)
  };
  Kind kind = Kind::kBroughtHome;
  std::string detail;
};

struct RelocatedStoreEnvironment {
  StatePaths paths;
  std::string computerName;
  // Whether a volume is mounted on a path; empty: whether the path is a folder.
  std::function<bool(const std::filesystem::path&)> isMounted;
  std::chrono::milliseconds scanBudget{10000};
};

// One per process; not thread-safe (the caller's loop thread owns it).
class RelocatedItemsStore {
 public:
  explicit RelocatedItemsStore(RelocatedStoreEnvironment env);

  // Rebuilds items(): the finished relocations the user asked for (records
  // in phase done, with links, by a user move), each classified, and the
  // copies the discovery walk found that no record describes. Of two items
  // for the same original path the recorded one is kept. The record of a
  // relocation whose move back finished (a run stopped before forgetting it)
  // is removed.
  void refresh();
  [[nodiscard]] const std::vector<RelocatedItem>& items() const { return items_; }
  [[nodiscard]] const std::optional<ScanDiagnostic>& lastScanDiagnostic() const {
    return lastScanDiagnostic_;
  }
  // The item whose id starts with `idPrefix` (case ignored); nothing when none or several do.
  [[nodiscard]] const RelocatedItem* find(std::string_view idPrefix) const;

  // Starts bringing `item` home through `mover` (paused or not): checks, then
  // removes a link at the original location and queues the reverse move
  // (newer files on the internal side kept unless `overwriteWithDriveCopy`).
  // An unfinished reverse move of the same copy that `mover` holds (left by a
  // stopped run) is taken over instead of starting a second one. The reverse
  // job's id. Call moveBackEnded once that job has settled.
  std::expected<std::string, MoveBackError> moveBack(LocalFolderMover& mover,
                                                     const RelocatedItem& item,
                                                     bool overwriteWithDriveCopy);
  // Settles the move back whose reverse job is `reverseJob` (terminal): done
  // forgets the relocation; failed or cancelled puts the link back, after
  // removing a partial copy only when each of its files is on the drive as is.
  // Nothing for a job that is not a move back of this store.
  std::optional<MoveBackEnd> moveBackEnded(const MoveManifest& reverseJob);

  // Removes a broken relocation: its copy when it lies in the working folder
  // and holds nothing, at the original location only Brimvale's own dangling
  // links (links into this computer's working folder whose target is gone)
  // and the folders they leave empty, and its record once no link of its
  // own is left there. Everything else at the original location stays and is
  // listed. Refuses an item that is not broken, a noSymlink one (its copy is
  // the only copy), and one whose copy is on a drive that is not connected.
  std::expected<DeleteOutcome, DeleteError> deleteBroken(const RelocatedItem& item);

  // The configured drive and this computer's folder on it; empty while the
  // configuration names no drive or cannot be read.
  [[nodiscard]] std::filesystem::path mountPath() const;
  [[nodiscard]] std::filesystem::path workingFolder() const;

 private:
  // `copy` lies on the drive mounted at `mount`, and no volume is mounted
  // there now; true for any copy when no drive is known (`mount` empty).
  [[nodiscard]] bool onUnmountedDrive(const std::filesystem::path& copy,
                                      const std::filesystem::path& mount) const;
  struct PendingMoveBack {
    RelocatedItem item;
    // What the removed link at the original location said; nothing when there was none.
    std::optional<std::filesystem::path> linkTarget;
  };
  RelocatedStoreEnvironment env_;
  ManifestStore manifests_;
  std::vector<RelocatedItem> items_;
  std::optional<ScanDiagnostic> lastScanDiagnostic_;
  std::set<std::string> moveBackInProgress_;
  std::map<std::string, PendingMoveBack> reverseJobMap_;  // by reverse job id
};

}  // namespace brimvale::mover
