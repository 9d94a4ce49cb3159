// The record of one app move (state/app-moves/<id>.json): where the bundle was
// and went, how far the move got, and what inspection and later checks found.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/base/error.h"
#include "common/base/raw_names.h"

namespace brimvale::apps {

// The record version this program writes; older records are upgraded on reading.
inline constexpr int kAppMoveManifestVersion = 2;

// Persisted by raw string (kAppMovePhaseNames); never renumber.
enum class AppMovePhase {
  kWriting,
  kCopying,
  kVerifying,
  kLinking,
  kDone,
  kCancelled,
  kFailed,
  kWaitingForDrive,
};
inline constexpr std::array<RawName<AppMovePhase>, 8> kAppMovePhaseNames{{
    {AppMovePhase::kWriting, "writing"},
    {AppMovePhase::kCopying, "copying"},
    {AppMovePhase::kVerifying, "verifying"},
    {AppMovePhase::kLinking, "linking"},
    {AppMovePhase::kDone, "done"},
    {AppMovePhase::kCancelled, "cancelled"},
    {AppMovePhase::kFailed, "failed"},
    {AppMovePhase::kWaitingForDrive, "waitingForDrive"},
}};

// A move is unfinished until it is done, cancelled or failed.
[[nodiscard]] bool isUnfinished(AppMovePhase phase);

// Outcomes a move back leaves in statusMessage. Its record stays `done`, as
// the history of the relocation, but the app no longer lives on the drive.
inline constexpr std::string_view kRestoredOutcomePrefix = "restored_by_user_at_";
inline constexpr std::string_view kKeptInternalOutcomePrefix = "kept_internal_at_";

enum class ProbeOutcome { kPass, kWarn, kFail };
inline constexpr std::array<RawName<ProbeOutcome>, 3> kProbeOutcomeNames{{
    {ProbeOutcome::kPass, "pass"},
    {ProbeOutcome::kWarn, "warn"},
    {ProbeOutcome::kFail, "fail"},
}};

// A change someone else made to the app after it was moved.
struct ExternalModification {
  std::time_t detectedAt = 0;
  std::string kind;
  std::optional<std::string> actionTaken;
  bool operator==(const ExternalModification&) const = default;
};

// The copy paused because the machine ran hot.
struct ThermalPauseRecord {
  std::time_t startedAt = 0;
  std::time_t endedAt = 0;
  std::int64_t durationMs = 0;
  bool operator==(const ThermalPauseRecord&) const = default;
};

// One check of the moved app after the move.
struct HealthProbeRecord {
  std::time_t at = 0;
  ProbeOutcome result = ProbeOutcome::kPass;
  std::map<std::string, std::string> details;
  bool operator==(const HealthProbeRecord&) const = default;
};

// Absent optional texts, numbers and dates are what older records lack; the
// encoder leaves them out rather than writing empty values.
struct AppMoveManifest {
  std::string id;  // canonical upper-case UUID; also the file name
  int version = kAppMoveManifestVersion;
  std::string originalPath;
  std::string nvmePath;  // empty until the destination is reserved
  std::optional<std::string> bundleID;
  std::string displayName;
  std::optional<std::string> driveUUID;
  std::int64_t srcSizeKB = 0;
  std::time_t startedAt = 0;
  std::time_t updatedAt = 0;
  std::optional<std::time_t> completedAt;
  AppMovePhase phase = AppMovePhase::kWriting;
  std::optional<std::string> lastError;
  std::optional<std::string> statusMessage;
  double fractionAtLastWrite = 0.0;
  std::optional<std::string> srcContentHash;
  std::optional<std::string> dstContentHash;
  // What bundle inspection found, kept in the form inspection records it
  // (lists of objects, the framework's raw name).
  nlohmann::json tccEntitlements = nlohmann::json::array();
  std::optional<std::string> updateFramework;
  std::map<std::string, std::string> updateFrameworkDetails;
  nlohmann::json helperReferences = nlohmann::json::array();
  bool hadQuarantineXattr = false;
  std::optional<std::string> caseSensitivitySource;
  std::optional<std::string> caseSensitivityDest;
  std::optional<std::string> rpathScanResult;
  nlohmann::json rpathScanDetails = nlohmann::json::array();
  std::vector<ExternalModification> externalModifications;
  std::vector<ThermalPauseRecord> thermalPauses;
  bool migratedFromV1 = false;
  std::vector<HealthProbeRecord> healthProbes;
  std::optional<int> tierAtMove;
  std::optional<std::string> tierReasonAtMove;
  bool overrideAccepted = false;
  int consecutiveReRelocateFailures = 0;
  std::optional<std::time_t> nextReRelocateAttemptAt;
  // Where the original bundle is parked during the move; written before it is
  // moved there, so a crash never leaves it somewhere no record names.
  std::optional<std::string> quarantinePath;
  // Keys a newer program wrote; kept so that rewriting a record loses nothing.
  nlohmann::json otherKeys = nlohmann::json::object();
  bool operator==(const AppMoveManifest&) const = default;
};

// Done and not moved back since: the app lives on the drive behind its link.
[[nodiscard]] bool isLiveRelocation(const AppMoveManifest& manifest);

// Pretty-printed with sorted keys and whole-second UTC dates, ending in a newline.
[[nodiscard]] std::string encodeAppMoveManifest(const AppMoveManifest& manifest);

// A record from its file's text. `fileId` (the file name without ".json")
// stands in for a missing "id". Fails, naming the key, when a required key is
// missing, any key has a value of the wrong kind, or the id is not a UUID.
[[nodiscard]] Result<AppMoveManifest> decodeAppMoveManifest(std::string_view text,
                                                            std::string_view fileId = {});

// The canonical upper-case form of a UUID text; nothing when it is not one.
[[nodiscard]] std::optional<std::string> canonicalUuid(std::string_view text);

}  // namespace brimvale::apps
