// The phases of the drive-to-drive transfer job and the raw strings the
// store and the application's JSON keep for them (never renamed).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/raw_names.h"

namespace brimvale::service {

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

}  // namespace brimvale::service
