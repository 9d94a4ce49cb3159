// The durable record of one folder move (state/folder-moves/<id>.json): what
// is moved where, which phase it reached, and how a relaunch continues it.
#pragma once
#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/base/raw_names.h"
#include "common/base/timestamps.h"
#include "common/base/uuid.h"
#include "common/state/paths.h"

namespace brimvale::mover {

// Persisted by raw string (kMovePhaseNames); never renumber.
enum class MovePhase {
  kWriting,
  kCopying,
  kHashing,
  kVerifying,
  kCleaningUp,
  kDone,
  kCancelled,
  kFailed,
  kWaitingForDrive,
};
inline constexpr std::array<RawName<MovePhase>, 9> kMovePhaseNames{{
    {MovePhase::kWriting, "writing"},
    {MovePhase::kCopying, "copying"},
    {MovePhase::kHashing, "hashing"},
    {MovePhase::kVerifying, "verifying"},
    {MovePhase::kCleaningUp, "cleaningUp"},
    {MovePhase::kDone, "done"},
    {MovePhase::kCancelled, "cancelled"},
    {MovePhase::kFailed, "failed"},
    {MovePhase::kWaitingForDrive, "waitingForDrive"},
}};

enum class MoveConflictPolicy { kMerge, kOverride, kMergeKeepNewer };
inline constexpr std::array<RawName<MoveConflictPolicy>, 3> kMoveConflictPolicyNames{{
    {MoveConflictPolicy::kMerge, "merge"},
    {MoveConflictPolicy::kOverride, "override"},
    {MoveConflictPolicy::kMergeKeepNewer, "mergeKeepNewer"},
}};

enum class MoveTriggerSource { kUserMove, kAutoSync };
inline constexpr std::array<RawName<MoveTriggerSource>, 2> kMoveTriggerSourceNames{{
    {MoveTriggerSource::kUserMove, "userMove"},
    {MoveTriggerSource::kAutoSync, "autoSync"},
}};

// What a move's lastError is, which picks the text its user reads. Set with
// every lastError; persisted beside it by raw string ("failure"); never renumber.
enum class MoveFailure {
  kUnexplained,        // a technical failure: the user reads that the move couldn't finish
  kStated,             // lastError is the user's own sentence, shown alone
  kStatedWithDetails,  // the sentence before kRawErrorMarker is the user's; the rest is detail
  kVerification,       // the copy didn't match its original, or couldn't be compared
  kDriveGone,          // the drive went away, or isn't the one the move began on
  kDriveAbsent,        // the drive wasn't there when the copy was to start: the move waits
  kSourceNotRemoved,   // copied, but the original couldn't be removed
  kPartlyRelinked,     // a relocation linked only some files; running it again finishes it
};
inline constexpr std::array<RawName<MoveFailure>, 8> kMoveFailureNames{{
    {MoveFailure::kUnexplained, "unexplained"},
    {MoveFailure::kStated, "stated"},
    {MoveFailure::kStatedWithDetails, "statedWithDetails"},
    {MoveFailure::kVerification, "verification"},
    {MoveFailure::kDriveGone, "driveGone"},
    {MoveFailure::kDriveAbsent, "driveAbsent"},
    {MoveFailure::kSourceNotRemoved, "sourceNotRemoved"},
    {MoveFailure::kPartlyRelinked, "partlyRelinked"},
}};

// A lastError with its kind: they are set together.
struct MoveError {
  MoveFailure kind = MoveFailure::kUnexplained;
  std::string text;
};

[[nodiscard]] std::string_view phaseRaw(MovePhase phase);
// The phase in plain words, for text output (files and JSON keep the raw string).
[[nodiscard]] std::string phaseWords(MovePhase phase);
[[nodiscard]] std::optional<MovePhase> phaseFromRaw(std::string_view raw);
[[nodiscard]] bool isTerminal(MovePhase phase);
[[nodiscard]] std::string_view conflictPolicyRaw(MoveConflictPolicy policy);
[[nodiscard]] std::optional<MoveConflictPolicy> conflictPolicyFromRaw(std::string_view raw);
[[nodiscard]] std::string_view triggerSourceRaw(MoveTriggerSource source);
[[nodiscard]] std::optional<MoveTriggerSource> triggerSourceFromRaw(std::string_view raw);

// The process running a job: its pid and the start identity that tells it
// from a later process given the same pid.
struct MoveOwner {
  int pid = 0;
  std::string start;
  bool operator==(const MoveOwner&) const = default;
};

struct MoveManifest {
  std::string id;  // canonical upper-case UUID; also the file name
  int version = 1;
  std::string src;
  std::string dstParent;
  std::string finalDst;
  std::optional<std::string> driveUUID;
  std::int64_t srcSizeKB = 0;
  std::time_t startedAt = 0;
  std::time_t updatedAt = 0;
  std::optional<std::time_t> completedAt;
  MovePhase phase = MovePhase::kWriting;
  std::optional<std::string> lastError;
  // The kind of lastError ("failure", written with it). A record written
  // before the kind was kept gets it from the words of lastError on reading.
  MoveFailure failure = MoveFailure::kUnexplained;
  double fractionAtLastWrite = 0.0;
  std::optional<std::string> srcContentHash;
  std::optional<std::string> dstContentHash;
  std::optional<std::string> statusMessage;
  MoveConflictPolicy conflictPolicy = MoveConflictPolicy::kMerge;
  bool replaceSourceWithSymlink = false;
  MoveTriggerSource triggerSource = MoveTriggerSource::kUserMove;
  // Set while a process runs the job ("ownerPid", "ownerStart"); an owner
  // that cannot be read is taken as none, never as a reason to drop the job.
  std::optional<MoveOwner> owner;
  // When the first copy of this move began ("copyStartedAt", whole seconds,
  // rounded down): a source file not changed since is judged against its copy
  // by its stat; anything changed since, or every file when this is unknown,
  // by its bytes.
  std::optional<std::time_t> copyStartedAt;
  // Which round of copying the move is in ("copyRound", written from 2): files
  // written during a move are copied again, a bounded number of times.
  int copyRound = 1;
  bool operator==(const MoveManifest&) const = default;
};

// Pretty-printed, sorted keys, whole-second UTC dates; absent optionals omitted.
[[nodiscard]] std::string encodeManifest(const MoveManifest& manifest);
// Nothing when a required key is missing, a value (phase included) is
// unknown, or the id is not a plain file name (empty, ".", ".." or with a "/").
// A missing or unknown "failure" is read from the words of lastError.
[[nodiscard]] std::optional<MoveManifest> decodeManifest(std::string_view json);

// Where write failures go (the system log); one line per failure.
using SystemLog = std::function<void(const std::string&)>;

// One per process. Writes are atomic; reads skip what cannot be decoded.
class ManifestStore {
 public:
  // `stateDir` is ~/.brimvale/state. The folder is created on first use.
  ManifestStore(std::filesystem::path stateDir, SystemLog systemLog, WallClock clock);
  // Stamps updatedAt (on the copy written) and writes; failures only logged.
  void save(const MoveManifest& manifest);
  // The same, then reads the file back: an error (also logged) unless the
  // record on disk is now the one given, so a move can stop before it does
  // anything that a record it cannot keep would have to describe.
  [[nodiscard]] Result<void> write(const MoveManifest& manifest);
  void remove(const std::string& id);
  // Newest startedAt first.
  [[nodiscard]] std::vector<MoveManifest> all() const;
  // The record files that all() skips because they cannot be read or decoded.
  [[nodiscard]] std::vector<std::filesystem::path> undecodable() const;
  [[nodiscard]] std::filesystem::path fileURL(const std::string& id) const;
  [[nodiscard]] const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  SystemLog systemLog_;
  WallClock clock_;
};

// How many ended moves (done, cancelled, failed) a job list shows; the
// records of older ones stay on disk, unshown.
inline constexpr std::size_t kEndedMovesListed = 200;
// The moves a job list shows, in the order given (newest first, as all()
// gives them): every unfinished one, and the newest kEndedMovesListed that ended.
[[nodiscard]] std::vector<MoveManifest> listedMoves(std::vector<MoveManifest> newestFirst);

// The volume UUID of the configured drive: "nvme_uuid", then "volume_uuid"
// of the status snapshot when it was measured there ("nvme_path" names the
// configured drive), else the `volume_uuid=` line of the marker file in the
// working folder on the configured drive. Nothing when none has one or no
// drive is configured.
[[nodiscard]] std::optional<std::string> currentDriveUUID(const StatePaths& paths,
                                                          std::string_view computerName);

}  // namespace brimvale::mover
