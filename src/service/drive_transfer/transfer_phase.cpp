#include "service/drive_transfer/transfer_phase.h"

namespace brimvale::service {

std::string rawPhase(TransferPhase phase) {
  return std::string(rawNameOf(kTransferPhaseNames, phase));
}

std::optional<TransferPhase> transferPhaseOf(std::string_view raw) {
  if (raw.empty()) return TransferPhase::kIdle;
  return valueOfRaw(kTransferPhaseNames, raw);
}

bool isFinished(std::optional<TransferPhase> phase) {
  return phase == TransferPhase::kIdle || phase == TransferPhase::kDone ||
         phase == TransferPhase::kFailed;
}

}  // namespace brimvale::service
