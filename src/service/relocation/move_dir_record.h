// The journal of one folder relocation, state/move-dir/<id>.kv: written
// before the copy starts and removed once the folder is linked, so a move
// stopped at any step can be finished by running move-dir again, and doctor
// can point at it.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/base/file_io.h"
#include "common/base/raw_names.h"
#include "common/state/paths.h"

namespace brimvale::service {

// How far the move got; persisted by raw string, never renumber.
enum class MoveDirPhase {
  kCopying,   // target claimed, copy under way
  kCopied,    // copy complete, original untouched; only read, from records of older versions
  kRecorded,  // undo row written, parked name chosen (while the copy runs)
  kParked,    // original renamed to the parked name
  kLinked,    // link in place; only the bookkeeping is left
};
inline constexpr std::array<RawName<MoveDirPhase>, 5> kMoveDirPhaseNames{{
    {MoveDirPhase::kCopying, "copying"},
    {MoveDirPhase::kCopied, "copied"},
    {MoveDirPhase::kRecorded, "recorded"},
    {MoveDirPhase::kParked, "parked"},
    {MoveDirPhase::kLinked, "linked"},
}};

[[nodiscard]] std::string_view phaseRaw(MoveDirPhase phase);
[[nodiscard]] std::optional<MoveDirPhase> phaseFromRaw(std::string_view raw);

struct MoveDirRecord {
  std::string id;  // file name without .kv
  std::filesystem::path src;
  std::filesystem::path target;  // the folder this move claimed in Relocated/
  std::filesystem::path parked;  // empty until the parked name is chosen
  // Identity of the source folder when the move began: whatever is found at
  // these paths later counts as the user's folder only when it matches.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::optional<std::uint64_t> bytes;
  MoveDirPhase phase = MoveDirPhase::kCopying;
  std::time_t started = 0;
};

// state/move-dir
[[nodiscard]] std::filesystem::path moveDirRecordFolder(const StatePaths& paths);
[[nodiscard]] std::filesystem::path moveDirRecordFile(const StatePaths& paths,
                                                      const std::string& id);

// A fresh id: the start time and this process, unique among running moves.
[[nodiscard]] std::string newMoveDirRecordId(std::time_t now);

// Writes the record whole (temporary sibling, then rename), creating the
// folder; kRebuilt for a phase that a later run can tell from the disk.
[[nodiscard]] Result<void> writeMoveDirRecord(const StatePaths& paths, const MoveDirRecord& record,
                                              Durability durability = Durability::kFlushed);
[[nodiscard]] Result<void> removeMoveDirRecord(const StatePaths& paths, const std::string& id);

// Every readable record, oldest first. A record that cannot be decoded is
// skipped and left on disk for a person to look at.
[[nodiscard]] std::vector<MoveDirRecord> readMoveDirRecords(const StatePaths& paths);

// The record of an unfinished move of exactly `src`, if any.
[[nodiscard]] std::optional<MoveDirRecord> findMoveDirRecord(const StatePaths& paths,
                                                             const std::filesystem::path& src);

}  // namespace brimvale::service
