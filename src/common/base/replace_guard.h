// The one check made before anything of the user's is deleted, overwritten or
// replaced by a link: another copy was verified identical to it, and it is
// still exactly the file that was verified. Engines call it per file, right
// before the step that destroys, never on the strength of an earlier walk.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace brimvale {

// A file as lstat sees it. Two identities are equal only when nothing about
// the file changed: a write moves the change time, a rename over the name
// brings another inode, a replugged drive another device.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  off_t size = 0;
  std::int64_t mtimeNs = 0;
  std::int64_t ctimeNs = 0;
  bool operator==(const FileIdentity&) const = default;
  [[nodiscard]] static FileIdentity from(const struct stat& st);
};
// lstat of `name` in the open folder `dirfd` (AT_FDCWD for a path); nothing
// when it cannot be examined.
[[nodiscard]] std::optional<FileIdentity> identityAt(int dirfd, const std::string& name);

// How far apart two writes may be and still leave the same time stamps on
// the file system of the open descriptor `fd`: the kernel's coarse clock on
// the file systems that keep nanoseconds, 2 s on anything else or unknown.
[[nodiscard]] std::chrono::nanoseconds timeGranularity(int fd);

enum class GuardVerdict {
  kSafe,        // the kept copy matches and the doomed file is still the one verified
  kChanged,     // the doomed file was written during or after the copy (or still is)
  kDiffers,     // the kept copy is missing or not the same
  kUnreadable,  // either side could not be examined or read
};

// What verify() saw; confirm() turns it into permission to destroy.
struct GuardProof {
  FileIdentity doomed;
  FileIdentity kept;
  // Judged by the two stats alone, nothing read: a caller that verifies
  // right before its destroying step needs no confirm() after it.
  bool byStatAlone = false;
};

struct GuardOptions {
  // When the copy that made the kept side began. A doomed file unchanged
  // since before it (its change time older, which no program can set) is
  // judged by its stat; one changed since, or any file when the start is
  // unknown (a run continued after a crash), by its bytes.
  std::optional<std::chrono::system_clock::time_point> copyStarted;
  // Compares bytes whatever the stat says (a thorough check, a reinstalled app).
  bool alwaysCompareBytes = false;
  // The time stamp granularity of the doomed side; zero: measured per folder.
  std::chrono::nanoseconds granularity{0};
};

// Stateless apart from its options: safe to share between threads.
class ReplaceGuard {
 public:
  explicit ReplaceGuard(GuardOptions options = {}) : options_(options) {}

  // Compares the doomed entry `doomedName` of the open folder `doomedDir`
  // with the kept entry `keptName` of `keptDir`. Files must match in size
  // and modification time (and bytes, see GuardOptions), links in target,
  // other kinds in kind; folders are never doomed here. The doomed side's
  // identity is taken before it is read and again after, and a file written
  // within the granularity of that moment is waited for (at most the
  // granularity) before it is judged, so a write that leaves the time
  // stamps as they were cannot slip between the check and confirm().
  [[nodiscard]] std::expected<GuardProof, GuardVerdict> verify(int doomedDir,
                                                               const std::string& doomedName,
                                                               int keptDir,
                                                               const std::string& keptName) const;

  // Just before the destroying step: kSafe only when both sides are still
  // exactly what verify() saw (device, inode, size, times), else kChanged
  // for the doomed side and kDiffers for the kept one.
  [[nodiscard]] GuardVerdict confirm(const GuardProof& proof, int doomedDir,
                                     const std::string& doomedName, int keptDir,
                                     const std::string& keptName) const;

  // verify() then confirm() in one call, for callers that destroy at once.
  [[nodiscard]] GuardVerdict check(int doomedDir, const std::string& doomedName, int keptDir,
                                   const std::string& keptName) const;

  [[nodiscard]] const GuardOptions& options() const { return options_; }

  // This guard with the granularities of the two open folders measured once,
  // for the many files of one folder and its copy.
  [[nodiscard]] ReplaceGuard forFolders(int doomedDir, int keptDir) const;

 private:
  GuardOptions options_;
  // Measured by forFolders; zero: measured per call.
  std::chrono::nanoseconds doomedGranularity_{0};
  std::chrono::nanoseconds keptGranularity_{0};
};

// `name` with ".kept-<UTC stamp>" appended ("notes.txt.kept-20261208T093000Z"):
// the visible name under which the other of two differing versions is kept.
[[nodiscard]] std::string keptAsideName(std::string_view name,
                                        std::chrono::system_clock::time_point when);
// Renames `name` in the open folder `dirfd` to keptAsideName(name, now) (with
// ".2", ".3", ... when that is taken), never replacing anything. The new
// name, or the system error.
[[nodiscard]] std::expected<std::string, std::error_code> keepAside(int dirfd,
                                                                    const std::string& name);

}  // namespace brimvale
