// Checks run before a folder move is queued (protected folders are in
// common/protected_folders.h): applications holding files open, recent
// writes, letter-case collisions, the cross-process relocator lock and the
// set of moves in flight.
#pragma once
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/disk_usage.h"
#include "common/base/error.h"
#include "common/base/file_lock.h"
#include "common/base/folder_in_use.h"
#include "common/state/protected_folders.h"

namespace brimvale::mover {

// The in-use probe lives in common, where the service's move-dir uses it too.
using ::brimvale::FolderInUseEntry;
using ::brimvale::FolderInUseProbe;
using ::brimvale::parseInUseOutput;

struct RecentWriteReport {
  bool triggered = false;
  std::string path;  // newest item's name, or "(top-level directory)"
  std::time_t modifiedAt = 0;
  int windowHours = 0;
  std::int64_t ageSeconds = 0;
  [[nodiscard]] std::string message() const;
};
[[nodiscard]] RecentWriteReport recentWriteReport(const std::filesystem::path& folder,
                                                  int windowHours, std::time_t now);
// The same from a survey of the folder already taken (nothing when the folder
// could not be examined).
[[nodiscard]] RecentWriteReport recentWriteReport(const std::optional<TreeSurvey>& survey,
                                                  int windowHours, std::time_t now);
// "42s ago", "5m ago", "1h ago", "1h 30m ago", "3d ago".
[[nodiscard]] std::string ageText(std::int64_t seconds);

enum class VolumeCaseSensitivity { kSensitive, kInsensitive, kUnknown };
// Writes a probe file into the first writable of `folders` and looks for its
// lower-case twin; the file is removed afterwards.
[[nodiscard]] VolumeCaseSensitivity caseSensitivity(
    const std::vector<std::filesystem::path>& folders);
// The probe folders of a volume: for the startup volume ~/.brimvale; for
// another its root, .Trashes and private/tmp.
[[nodiscard]] std::vector<std::filesystem::path> caseProbeFolders(
    const std::filesystem::path& volumeRoot, const std::filesystem::path& home);
struct CaseCollision {
  std::string first, second;  // full paths
};
[[nodiscard]] std::vector<CaseCollision> caseCollisions(const std::filesystem::path& folder);

// Serialises folder and application relocations across processes.
class RelocatorLock {
 public:
  // `stateDir` is ~/.brimvale/state.
  explicit RelocatorLock(std::filesystem::path stateDir);
  // The file locked, for work that must exclude relocations with a lock of its own.
  [[nodiscard]] static std::filesystem::path fileIn(const std::filesystem::path& stateDir);
  RelocatorLock(const RelocatorLock&) = delete;
  RelocatorLock& operator=(const RelocatorLock&) = delete;
  // Errors carry the user-facing message in Error::detail.
  [[nodiscard]] Result<void> acquire(std::chrono::milliseconds timeout);
  void release();

 private:
  std::filesystem::path file_;
  FileLock lock_;
};

enum class MoveDirection { kForward, kBack };
// The moves in flight, by job id, per direction. Loop-thread only.
class ActiveMoveTracker {
 public:
  void add(MoveDirection direction, const std::string& id);
  void remove(MoveDirection direction, const std::string& id);

 private:
  std::set<std::string> forward_;
  std::set<std::string> back_;
};

}  // namespace brimvale::mover
