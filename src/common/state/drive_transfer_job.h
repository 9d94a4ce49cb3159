// The drive-to-drive transfer job's shared format: its phases and the raw
// strings stored for them (never renamed), the keys of its files, and the
// one tolerant reader of its JSON rendering that every program uses.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/raw_names.h"

namespace brimvale {

enum class TransferPhase {
  kIdle,
  kCopying,
  kWaitingForDrive,
  kVerifying,
  kCopied,
  kPaused,
  kCancelling,
  kSwitching,
  kDone,
  kFailed,
};

inline constexpr std::array kTransferPhaseNames{
    RawName<TransferPhase>{TransferPhase::kIdle, "idle"},
    RawName<TransferPhase>{TransferPhase::kCopying, "copying"},
    RawName<TransferPhase>{TransferPhase::kWaitingForDrive, "waitingForDrive"},
    RawName<TransferPhase>{TransferPhase::kVerifying, "verifying"},
    RawName<TransferPhase>{TransferPhase::kCopied, "copied"},
    RawName<TransferPhase>{TransferPhase::kPaused, "paused"},
    RawName<TransferPhase>{TransferPhase::kCancelling, "cancelling"},
    RawName<TransferPhase>{TransferPhase::kSwitching, "switching"},
    RawName<TransferPhase>{TransferPhase::kDone, "done"},
    RawName<TransferPhase>{TransferPhase::kFailed, "failed"},
};

[[nodiscard]] std::string rawPhase(TransferPhase phase);

// The phase a stored raw string names; a missing (empty) phase is kIdle, an
// unknown one nothing.
[[nodiscard]] std::optional<TransferPhase> transferPhaseOf(std::string_view raw);

// The phases in which the job is in no one's hands: a new one may start.
[[nodiscard]] bool isFinished(std::optional<TransferPhase> phase);

// The phases in which the job holds both drives, so no folder move may start.
[[nodiscard]] bool holdsTheDrives(std::optional<TransferPhase> phase);

// The job's files under the state folder that more than one program opens
// (StatePaths names them for a home folder).
inline constexpr char kTransferJobStoreFile[] = "transfer-job.kv";
inline constexpr char kTransferJobJsonFile[] = "transfer-job.json";
inline constexpr char kTransferSupervisorLockFile[] = "transfer-supervisor.lock";

// The keys of the job's store (transfer-job.kv) and of its JSON rendering.
namespace transfer_keys {
inline constexpr char kVersion[] = "version";
inline constexpr char kKind[] = "kind";
inline constexpr char kPhase[] = "phase";
inline constexpr char kSourceRoot[] = "sourceRoot";
inline constexpr char kDestRoot[] = "destRoot";
inline constexpr char kStorName[] = "storName";
inline constexpr char kSourceWorking[] = "sourceWorking";
inline constexpr char kDestWorking[] = "destWorking";
inline constexpr char kSourceVolumeUUID[] = "sourceVolumeUUID";
inline constexpr char kDestVolumeUUID[] = "destVolumeUUID";
inline constexpr char kBytesDone[] = "bytesDone";
inline constexpr char kBytesTotal[] = "bytesTotal";
inline constexpr char kPercent[] = "percent";
inline constexpr char kRate[] = "rate";
inline constexpr char kEtaSeconds[] = "etaSeconds";
inline constexpr char kCurrentFile[] = "currentFile";
inline constexpr char kPid[] = "pid";
inline constexpr char kStartedAt[] = "startedAt";
inline constexpr char kUpdatedAt[] = "updatedAt";
inline constexpr char kLastError[] = "lastError";
inline constexpr char kConsent[] = "consent";
inline constexpr char kResumeCount[] = "resumeCount";
}  // namespace transfer_keys

// The values of `kind`: a switch moves the working folder for good; a backup
// leaves the source in use.
inline constexpr char kTransferKindSwitch[] = "transfer";
inline constexpr char kTransferKindBackup[] = "backup";

// The job as its JSON rendering shows it. Missing keys and values of the
// wrong type read as empty or zero.
struct DriveTransferJob {
  std::string kind;
  std::string rawPhase;                // as stored
  std::optional<TransferPhase> phase;  // nothing when the stored phase is unknown
  std::string sourceRoot;
  std::string destRoot;
  std::string sourceWorking;
  std::string destWorking;
  std::string destVolumeUUID;
  std::int64_t bytesDone = 0;
  std::int64_t bytesTotal = 0;
  std::int64_t percent = 0;
  std::string rate;
  std::int64_t etaSeconds = 0;
  std::string currentFile;
  std::string startedAt;
  std::string lastError;

  [[nodiscard]] bool isBackup() const { return kind == kTransferKindBackup; }
  // An idle job that never named a source: nothing has been started.
  [[nodiscard]] bool neverStarted() const {
    return phase == TransferPhase::kIdle && sourceRoot.empty();
  }
};

// Reads the JSON rendering at `file`; nothing when there is no file or it
// does not hold a JSON object.
[[nodiscard]] std::optional<DriveTransferJob> readDriveTransferJob(
    const std::filesystem::path& file);

// The same from text already read.
[[nodiscard]] std::optional<DriveTransferJob> parseDriveTransferJob(std::string_view text);

}  // namespace brimvale
