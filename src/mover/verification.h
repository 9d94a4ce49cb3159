// Checking a copy before its source is touched: the quick stat comparison of
// two trees, SHA-256 of files and of whole trees, and the size check.
#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/base/error.h"
#include "common/base/raw_names.h"
#include "mover/manifest.h"

namespace brimvale::mover {

enum class VerificationLevel { kFast, kThorough, kOff };
inline constexpr std::array<RawName<VerificationLevel>, 3> kVerificationLevelNames{{
    {VerificationLevel::kFast, "fast"},
    {VerificationLevel::kThorough, "thorough"},
    {VerificationLevel::kOff, "off"},
}};
[[nodiscard]] std::string_view verificationLevelRaw(VerificationLevel level);
// Anything unknown reads as kFast.
[[nodiscard]] VerificationLevel verificationLevelFromRaw(std::string_view raw);

struct DiffReason {
  enum class Kind { kSize, kMtime, kMode, kSymlinkTarget, kReadError, kMissing, kExtra };
  Kind kind = Kind::kMissing;
  std::uint64_t srcSize = 0, dstSize = 0;
  double srcTime = 0, dstTime = 0;
  std::uint32_t srcMode = 0, dstMode = 0;
  std::string srcTarget, dstTarget, error;
  // "size 1 ≠ 2", "mode 0100644 ≠ 0100600", "missing on destination", ...
  [[nodiscard]] std::string description() const;
};

struct Difference {
  std::string path;  // relative to the tree roots
  DiffReason reason;
};

struct TreeComparison {
  // In path order, extras last; the roots themselves are the path "".
  std::vector<Difference> differences;
  // Apparent sizes of the two trees as seen by the walk (see apparentSizeKB).
  std::uint64_t srcBytes = 0, dstBytes = 0;
  std::uint64_t srcFiles = 0;  // plain files of the source
};
// Walks `src` and compares every entry with the same path under `dst`
// without following links; entries only under `dst` come back as kExtra.
// An error means a walk failed (the caller decides which side vanished).
[[nodiscard]] Result<TreeComparison> quickCompareTrees(const std::filesystem::path& src,
                                                       const std::filesystem::path& dst);
// Whether `dst` is an exact copy of `src`, as the copy tool makes one: the
// same entries, each with the same type, permissions, link target, file time,
// extended attributes and (run as root) owner, files linked together alike,
// and every file's bytes equal, compared on two threads. The relative paths
// that differ ("." the roots), sorted; an error when a tree cannot be walked
// or a file cannot be read.
// `copyStarted`, when given, is when the copy that made `dst` began. A source
// file whose change time (which no program can set) is older than that, less
// a margin for coarse file-system clocks, has not been written since the copy
// read it: when its stat matches the copy's, its bytes and extended
// attributes are not read again. Every file changed since is read whole.
[[nodiscard]] Result<std::vector<std::string>> exactCopyDifferences(
    const std::filesystem::path& src, const std::filesystem::path& dst,
    std::optional<std::chrono::system_clock::time_point> copyStarted = std::nullopt);
// Whether anything in the tree at `root` may have changed since `copyStarted`
// (with the same margin): an entry whose change or modification time is not
// older, the root's own modification time (renaming the root, as parking
// does, moves only its change time), or anything that cannot be examined.
[[nodiscard]] bool treeChangedSince(const std::filesystem::path& root,
                                    std::chrono::system_clock::time_point copyStarted);
// File lengths (links as links, folders as nothing) of everything at and
// below `path`, in KiB rounded up, so the same tree measures the same on
// file systems with different block sizes; nothing when `path` is missing.
[[nodiscard]] std::optional<std::int64_t> apparentSizeKB(const std::filesystem::path& path);
// Bytes as the size check counts them: whole KiB, rounded up.
[[nodiscard]] std::int64_t kibRoundedUp(std::uint64_t bytes);
// Drops the differences that `policy` does not count: merge ignores extras;
// mergeKeepNewer also ignores size, time and mode; override counts all.
[[nodiscard]] std::vector<Difference> countedDifferences(std::vector<Difference> diffs,
                                                         MoveConflictPolicy policy);

// Lower-case hex SHA-256 of a file's bytes; nothing if unreadable.
[[nodiscard]] std::optional<std::string> sha256File(const std::filesystem::path& path);

// Reports entries done and entries total; may be called from the hashing thread.
using HashProgress = std::function<void(std::size_t done, std::size_t total)>;
// One SHA-256 over a whole tree. Entries are visited in byte order of their
// relative paths (the root itself is "."); per entry: path, 0x00, the lstat
// mode as a big-endian 32-bit integer, 0x00, then a link's target + 0x00 +
// "\n", a folder's "\n", a file's big-endian 64-bit size + 0x00 + content +
// "\n" ("ERR_UNREADABLE\n" in place of unreadable content), or "SPECIAL\n".
// Nothing when the root cannot be examined or listed, or `cancelled` is set.
[[nodiscard]] std::optional<std::string> treeDigest(const std::filesystem::path& root,
                                                    const HashProgress& progress,
                                                    const std::atomic<bool>* cancelled = nullptr);

// Both trees' digests, taken side by side where the machine has two cores.
// The result and the progress reports are those of hashing the source and
// then the destination: the destination reports only once the source is
// done, and has no digest when the source has none.
struct TreeDigests {
  std::optional<std::string> src, dst;
};
[[nodiscard]] TreeDigests treeDigests(const std::filesystem::path& src,
                                      const std::filesystem::path& dst,
                                      const HashProgress& srcProgress,
                                      const HashProgress& dstProgress,
                                      const std::atomic<bool>* cancelled = nullptr);

// The thorough level for merge and mergeKeepNewer, where the destination may
// hold more than the source: the source's entries and only their
// counterparts are compared, so extras on the destination never count and
// a changed byte in any copied file always does. Under merge a counterpart
// must equal its entry in type, mode, link target, size and content; under
// mergeKeepNewer in type and link target, and a file's content may differ
// only when the copy is newer (the copy tool kept it on purpose).
struct CounterpartCheck {
  // treeDigest of the source; nothing when it cannot be read (or cancelled).
  std::optional<std::string> srcDigest;
  // The same digest over the destination's counterparts of the source's
  // entries (a missing one fed as "MISSING"); nothing when the destination
  // root cannot be examined (or cancelled).
  std::optional<std::string> dstDigest;
  std::vector<std::string> differing;  // relative paths ("." the root), in path order
};
[[nodiscard]] CounterpartCheck compareCounterparts(const std::filesystem::path& src,
                                                   const std::filesystem::path& dst,
                                                   MoveConflictPolicy policy,
                                                   const HashProgress& srcProgress,
                                                   const HashProgress& dstProgress,
                                                   const std::atomic<bool>* cancelled = nullptr);

// "Verification failed — <n> file(s) differ: <first five> (+<n − 5> more). Source preserved."
[[nodiscard]] std::string differingFilesText(const std::vector<std::string>& paths);

// What the verification of a copy concluded, with the findings behind it.
struct VerificationOutcome {
  enum class Verdict {
    kSkipped,                // the level is off
    kPassed,                 // nothing differs
    kPassedAfterRehash,      // fast: only stat differences, and their contents are equal
    kContentDiffers,         // `differing` files are not equal to their source
    kWalkFailed,             // fast: a tree could not be walked, the drive is still there
    kSourceUnhashable,       // thorough: the source could not be hashed
    kDestinationUnhashable,  // thorough: the destination could not be hashed, drive still there
    kDriveGone,              // the destination went away meanwhile
  };
  Verdict verdict = Verdict::kPassed;
  VerificationLevel level = VerificationLevel::kFast;
  std::vector<Difference> statDifferences;  // fast: the counted differences
  std::vector<std::string> differing;       // relative paths, in path order
  std::optional<std::string> srcHash;       // thorough
  std::optional<std::string> dstHash;       // thorough
};

// The fast level's conclusion. `compared` is false when a tree could not be
// walked; `unequal` are the stat differences whose contents also differ.
[[nodiscard]] VerificationOutcome fastVerificationOutcome(bool compared,
                                                          std::vector<Difference> counted,
                                                          std::vector<std::string> unequal,
                                                          bool destinationReachable);
// The thorough level's conclusion from the two digests (either missing when
// its tree could not be hashed) and the differing counterparts.
[[nodiscard]] VerificationOutcome thoroughVerificationOutcome(std::optional<std::string> srcHash,
                                                              std::optional<std::string> dstHash,
                                                              std::vector<std::string> differing,
                                                              bool destinationThere);

// What the mover records for an outcome: the next phase with its error or
// status line, and the lines for the move's log, written first.
struct VerificationReport {
  MovePhase next = MovePhase::kVerifying;
  std::optional<MoveError> lastError;
  std::optional<std::string> statusMessage;
  std::vector<std::string> logLines;
};
[[nodiscard]] VerificationReport renderVerification(const VerificationOutcome& outcome);

// Before a clean-up removes or relinks a source that this process did not
// just verify (a record read from disk): the source's entries whose copy
// under `dst` is missing or different. A source entry the relink already
// turned into a link to its own copy, and the relink's temporary links, count
// as matching; extras on the destination never count; stat differences are
// settled by comparing contents, as the fast level does. An error when
// either tree cannot be walked.
[[nodiscard]] Result<std::vector<std::string>> unmatchedBeforeCleanup(
    const std::filesystem::path& src, const std::filesystem::path& dst, MoveConflictPolicy policy);

// "<n> KB" up to 1023 KiB, "%.1f MB" below 1024 MiB, else "%.2f GB".
[[nodiscard]] std::string formatKB(std::int64_t kib);

struct SizeCheck {
  std::int64_t manifestKB = 0, liveKB = 0, dstKB = 0, toleranceKB = 0;
  bool passed = false;
  // "Post-copy size sanity check failed (src(manifest)=... ). Source preserved."
  [[nodiscard]] std::string failureText() const;
};
[[nodiscard]] SizeCheck sizeCheck(std::int64_t manifestKB, std::int64_t liveKB, std::int64_t dstKB);

}  // namespace brimvale::mover
