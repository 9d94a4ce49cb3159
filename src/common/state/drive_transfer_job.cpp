#include "common/state/drive_transfer_job.h"

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"

namespace brimvale {

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

bool holdsTheDrives(std::optional<TransferPhase> phase) {
  switch (phase.value_or(TransferPhase::kIdle)) {
    case TransferPhase::kCopying:
    case TransferPhase::kWaitingForDrive:
    case TransferPhase::kVerifying:
    case TransferPhase::kCopied:
    case TransferPhase::kPaused:
    case TransferPhase::kSwitching: return true;
    case TransferPhase::kIdle:
    case TransferPhase::kCancelling:
    case TransferPhase::kDone:
    case TransferPhase::kFailed: return false;
  }
  return false;
}

namespace {

std::string textOf(const nlohmann::json& doc, std::string_view key) {
  auto it = doc.find(key);
  return it != doc.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::int64_t numberOf(const nlohmann::json& doc, std::string_view key) {
  auto it = doc.find(key);
  return it != doc.end() && it->is_number() ? it->get<std::int64_t>() : 0;
}

}  // namespace

std::optional<DriveTransferJob> parseDriveTransferJob(std::string_view text) {
  auto doc = nlohmann::json::parse(text, nullptr, false);
  if (!doc.is_object()) return std::nullopt;
  namespace k = transfer_keys;
  DriveTransferJob job{.kind = textOf(doc, k::kKind),
                       .rawPhase = textOf(doc, k::kPhase),
                       .sourceRoot = textOf(doc, k::kSourceRoot),
                       .destRoot = textOf(doc, k::kDestRoot),
                       .sourceWorking = textOf(doc, k::kSourceWorking),
                       .destWorking = textOf(doc, k::kDestWorking),
                       .destVolumeUUID = textOf(doc, k::kDestVolumeUUID),
                       .bytesDone = numberOf(doc, k::kBytesDone),
                       .bytesTotal = numberOf(doc, k::kBytesTotal),
                       .percent = numberOf(doc, k::kPercent),
                       .rate = textOf(doc, k::kRate),
                       .etaSeconds = numberOf(doc, k::kEtaSeconds),
                       .currentFile = textOf(doc, k::kCurrentFile),
                       .startedAt = textOf(doc, k::kStartedAt),
                       .lastError = textOf(doc, k::kLastError)};
  job.phase = transferPhaseOf(job.rawPhase);
  return job;
}

std::optional<DriveTransferJob> readDriveTransferJob(const std::filesystem::path& file) {
  auto text = readFile(file);
  if (!text) return std::nullopt;
  return parseDriveTransferJob(*text);
}

}  // namespace brimvale
