// The record of one offloaded app: where its bundle and data folders were and
// where their archive lies on the drive, and how far the offload got. Kept in
// state/offloads/<id>.json, with a copy (offload.json) in the archive folder
// so the archive describes itself.
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
#include "common/state/paths.h"

namespace brimvale::apps {

inline constexpr int kOffloadRecordVersion = 1;

// The name of the record copy inside an archive folder.
inline constexpr std::string_view kArchiveRecordName = "offload.json";

// Persisted by raw string; never renumber.
enum class OffloadPhase { kPreparing, kCopying, kRemoving, kDone, kFailed, kWaitingForDrive };
inline constexpr std::array<RawName<OffloadPhase>, 6> kOffloadPhaseNames{{
    {OffloadPhase::kPreparing, "preparing"},
    {OffloadPhase::kCopying, "copying"},
    {OffloadPhase::kRemoving, "removing"},
    {OffloadPhase::kDone, "done"},
    {OffloadPhase::kFailed, "failed"},
    {OffloadPhase::kWaitingForDrive, "waitingForDrive"},
}};

struct OffloadRecord {
  // One archived item: the bundle itself or one of the app's data folders or files.
  struct Archived {
    std::string originalPath;
    std::string archivedPath;
    bool isBundle = false;
    std::int64_t sizeBytes = 0;
    bool operator==(const Archived&) const = default;
  };

  std::string id;
  std::optional<std::string> bundleID;
  std::string displayName;
  std::string originalBundlePath;
  std::string archiveDir;
  std::vector<Archived> items;
  std::time_t offloadedAt = 0;
  int version = kOffloadRecordVersion;
  OffloadPhase phase = OffloadPhase::kPreparing;
  bool operator==(const OffloadRecord&) const = default;
};

// Pretty-printed, keys in the record's own order, dates as UTC ISO 8601 text,
// ending in a newline.
[[nodiscard]] std::string encodeOffloadRecord(const OffloadRecord& record);
// Unknown keys are ignored; a missing bundleID is none. Fails, naming the
// key, when another key is missing or has a value of the wrong kind.
[[nodiscard]] Result<OffloadRecord> decodeOffloadRecord(std::string_view text);

// state/offloads
[[nodiscard]] std::filesystem::path offloadsFolder(const StatePaths& paths);

// The offload records: one file per record, each written whole and atomically.
class OffloadRecordStore {
 public:
  // `folder` is offloadsFolder(); created on first write.
  OffloadRecordStore(std::filesystem::path folder, std::function<void(const std::string&)> log);

  [[nodiscard]] Result<void> save(const OffloadRecord& record) const;
  // Every record that decodes, in file-name order; others are logged and left on disk.
  [[nodiscard]] std::vector<OffloadRecord> loadAll() const;
  [[nodiscard]] Result<void> remove(const std::string& id) const;
  [[nodiscard]] std::filesystem::path fileFor(const std::string& id) const;

 private:
  std::filesystem::path folder_;
  std::function<void(const std::string&)> log_;
};

// Writes the record's copy into its archive folder (which must exist).
[[nodiscard]] Result<void> writeArchiveRecord(const OffloadRecord& record);

}  // namespace brimvale::apps
