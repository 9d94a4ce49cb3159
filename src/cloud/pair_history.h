// The recently used pairs of locations (a transfer's source and destination,
// a relocation's two folders), kept encrypted like the remote details file
// so the folder names of the user's work do not sit in plain text.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cloud/machine_fingerprint.h"
#include "cloud/remote_metadata.h"
#include "common/base/file_operations.h"
#include "common/base/raw_names.h"
#include "common/base/timestamps.h"

namespace brimvale::cloud {

// Persisted by raw string, in this order; never renumber.
enum class PairKind { kPair, kMove, kMerge, kRelocate, kSendHere, kCopy, kSync };
inline constexpr std::array<RawName<PairKind>, 7> kPairKindNames{{
    {PairKind::kPair, "pair"},
    {PairKind::kMove, "move"},
    {PairKind::kMerge, "merge"},
    {PairKind::kRelocate, "relocate"},
    {PairKind::kSendHere, "sendHere"},
    {PairKind::kCopy, "copy"},
    {PairKind::kSync, "sync"},
}};

struct PairRecord {
  std::string leftPath;
  std::string rightPath;
  std::time_t lastUsedAt = 0;
  bool isPinned = false;
  PairKind kind = PairKind::kPair;
  bool operator==(const PairRecord&) const = default;
};

// How many unpinned pairs are kept: enough for a menu of recent places
// without the list turning into a log. Pinned pairs are never dropped and
// do not count against it.
inline constexpr std::size_t kMaxRecentPairs = 20;

// Adds the pair used `now`, or, when the same left, right and kind are
// already listed, only moves that record's lastUsedAt (its pin stays).
// The result is ordered and capped like orderedPairs().
[[nodiscard]] std::vector<PairRecord> withPairUsed(std::vector<PairRecord> pairs,
                                                   const std::string& left,
                                                   const std::string& right, PairKind kind,
                                                   std::time_t now);
// Pinned pairs first, each group most recently used first; the unpinned
// beyond kMaxRecentPairs are dropped.
[[nodiscard]] std::vector<PairRecord> orderedPairs(std::vector<PairRecord> pairs);

struct PairHistoryFiles {
  std::filesystem::path encrypted;  // {state}/recent-pairs.enc
  std::filesystem::path plain;      // {state}/recent-pairs.json, from older versions
  [[nodiscard]] static PairHistoryFiles inStateFolder(const std::filesystem::path& stateDir);
};

// Sealed with the remote details file's key (the computer's fingerprint and
// the user's e-mail address). Not thread-safe: one owner.
class PairHistory {
 public:
  PairHistory(PairHistoryFiles files, MachineFingerprint fingerprint,
              std::optional<std::string> email, WallClock clock = systemClock(),
              FileOperations& ops = FileOperations::real());

  // From the encrypted file, else the older plain file, else none, ordered.
  // Records that do not decode are skipped.
  [[nodiscard]] std::expected<std::vector<PairRecord>, MetadataError> load();
  // Records the pair as used now and saves.
  [[nodiscard]] std::expected<void, MetadataError> recordUse(const std::string& left,
                                                             const std::string& right,
                                                             PairKind kind);

 private:
  // A file that cannot be opened is set aside, never overwritten.
  [[nodiscard]] std::expected<std::vector<PairRecord>, MetadataError> loadForChange();
  [[nodiscard]] std::expected<void, MetadataError> save(const std::vector<PairRecord>& pairs);

  PairHistoryFiles files_;
  MachineFingerprint fingerprint_;
  std::optional<std::string> email_;
  WallClock clock_;
  FileOperations& ops_;
};

}  // namespace brimvale::cloud
