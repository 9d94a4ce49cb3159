// Plain-words views of the service's JSON answers (drive list, drive
// assessment, storage scan, drive transfer), for `brimvale drives`, `scan`
// and `drive-transfer status`. Pure: the commands run the service.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/listing_order.h"
#include "common/base/error.h"
#include "common/state/drive_transfer_job.h"

namespace brimvale::app {

// One volume of the service's drive list.
struct ListedDrive {
  std::string name;
  std::string path;
  std::string filesystem;
  std::int64_t freeBytes = 0;
  std::int64_t totalBytes = 0;
};

// The drive list; fails (kParse) when the text is not a JSON array of objects.
[[nodiscard]] Result<std::vector<ListedDrive>> decodeDriveList(std::string_view json);

// The verdict ("ok", "warn", "block") of an assessment answer; fails (kParse)
// when the answer has none.
[[nodiscard]] Result<std::string> assessmentVerdict(std::string_view json);

// A table of the drives, one per line, with `verdicts[i]` beside drive i.
[[nodiscard]] std::string renderDriveTable(const std::vector<ListedDrive>& drives,
                                           const std::vector<std::string>& verdicts);

// The verdict on the drive at `path` and its reasons and warnings, as sentences.
[[nodiscard]] Result<std::string> renderAssessment(std::string_view path, std::string_view json);

// A folder's own last change (an entry added, removed or renamed in it);
// nothing when it cannot be read.
using ChangeTimeOf = std::function<std::optional<std::time_t>(const std::string& path)>;

// The storage scan's lines as a table, largest first (or least recently
// changed first, with a CHANGED column, or by name), each with a bar drawn in
// block characters on a terminal and in '#' otherwise.
[[nodiscard]] Result<std::string> renderStorageScan(std::string_view ndjson, bool terminal,
                                                    ListingOrder order = ListingOrder::kSize,
                                                    const ChangeTimeOf& changedAt = {});

// The drive transfer's phase in the words its status line uses ("Copying to
// the new drive…", "Backing up…" for a backup, …; "Working…" for any other).
[[nodiscard]] std::string transferPhaseWords(std::optional<TransferPhase> phase, bool backup);

// The drive transfer's phase, progress and sizes, one fact a line.
[[nodiscard]] Result<std::string> renderTransferStatus(std::string_view json);

}  // namespace brimvale::app
