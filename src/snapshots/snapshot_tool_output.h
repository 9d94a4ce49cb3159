// Pure readers and checks for the restore-point tool: the snapshot listing,
// delete-target validation, thinning arguments, destination details, the
// latest-backup path and the purgeable estimate. No tool is run here.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::snapshots {

// Names of system snapshots that the system needs and that are never removed.
inline constexpr std::string_view kSystemSnapshotPrefix = "com.apple.os.update-";

struct LocalSnapshot {
  std::string name;   // the full name as the tool prints it
  std::string stamp;  // "YYYY-MM-DD-HHMMSS"; empty for system snapshots
  // Local time of the stamp; absent when the stamp is not a real date
  // ("2024-02-30-120000") and for system snapshots.
  std::optional<std::time_t> date;
  bool isProtected = false;  // a system snapshot
};

struct TimeMachineDestination {
  std::string name;
  std::string mountPoint;
};

struct LatestBackup {
  std::string path;
  std::optional<std::time_t> date;  // from the last path component
};

// Snapshots of `tmutil listlocalsnapshots /` in listing order. Lines are
// trimmed; system snapshots are kept and marked protected; a backup snapshot
// "com.apple.TimeMachine.{stamp}.local" is kept only when its stamp has the
// digit pattern; headings and anything else are ignored.
[[nodiscard]] std::vector<LocalSnapshot> parseSnapshotList(std::string_view output);

// The local time a "YYYY-MM-DD-HHMMSS" stamp names. Absent when the text does
// not have that exact form or names no real calendar time.
[[nodiscard]] std::optional<std::time_t> parseStampDate(std::string_view stamp);

enum class DeleteRefusal { kProtected, kInvalidIdentifier };

// Why `identifier` must not be handed to the delete command, if at all:
// kProtected for a system snapshot name, else kInvalidIdentifier unless it is
// 17 characters with '-' at positions 4, 7 and 10 and digits elsewhere.
[[nodiscard]] std::optional<DeleteRefusal> deleteRefusal(std::string_view identifier);

// The thinning command's arguments: "/", bytes raised to at least 1, urgency
// clamped to 1..4, both as decimal integers.
[[nodiscard]] std::vector<std::string> thinArguments(std::int64_t bytes, int urgency);

// The first destination of `tmutil destinationinfo` that names a "Name" or a
// "Mount Point" ("key : value" lines, split at the first colon, both sides
// trimmed; "====" lines separate destinations). Absent when none does.
[[nodiscard]] std::optional<TimeMachineDestination> parseDestinationInfo(std::string_view output);

// The path `tmutil latestbackup -d` prints; absent for empty output. The date
// comes from the last component, which is a stamp optionally followed by an
// extension ("2024-05-01-093000.backup").
[[nodiscard]] std::optional<LatestBackup> parseLatestBackup(std::string_view output);

// Space the system could purge on demand: available-for-important-usage minus
// plain available, or 0 when either figure is missing or the difference is
// negative.
[[nodiscard]] std::int64_t purgeableBytes(std::optional<std::int64_t> availableForImportantUsage,
                                          std::optional<std::int64_t> available);

}  // namespace brimvale::snapshots
