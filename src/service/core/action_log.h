// The action log (every operation on the user's data, never truncated) and
// the last batch file (the rows of the current batch, which rollback undoes).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/base/error.h"
#include "common/state/paths.h"

namespace brimvale::service {

// One row of the action log; `bytes` is the size before the action.
struct ActionRow {
  std::string action;  // move, relocate, delete, trash, delete-cache, reclaim-*
  std::string src;
  std::string dest;                    // "-" for deletions; the Trash item for trash
  std::optional<std::uint64_t> bytes;  // empty when the size could not be read

  bool operator==(const ActionRow&) const = default;
};

// Every change to the last batch file below is made holding the batch lock
// (state/last-batch.lock) for as long as it reads and writes the file, so an
// append by one process is never lost to another's rewrite. The lock is held
// only inside these calls; a failure to take it is the call's failure.

// Appends one row to the last batch file (the undo record) and then one to
// the action log (with the local time). Fails, and logs nothing, when the undo
// record could not be written, so a caller that records before it moves can
// refuse to move.
// Tabs, newlines, carriage returns and backslashes in the text fields are
// written as \t \n \r \\ and decoded again by the readers below.
[[nodiscard]] Result<void> recordAction(const StatePaths& paths, std::time_t now,
                                        const ActionRow& row);

// recordAction in two halves, for a move that must be undoable before it
// happens: the undo row first (a caller that cannot write it must not move),
// the action-log row once the move is done. withdrawUndo takes the undo row
// back out of the batch (its last occurrence) when the move failed after all,
// so the batch lists only what really moved.
[[nodiscard]] Result<void> recordUndo(const StatePaths& paths, const ActionRow& row);
void recordDone(const StatePaths& paths, std::time_t now, const ActionRow& row);
[[nodiscard]] Result<void> withdrawUndo(const StatePaths& paths, const ActionRow& row);

// Starts a batch: the last batch file becomes empty.
[[nodiscard]] Result<void> newBatch(const StatePaths& paths);

// The last `count` rows as the `actions` JSON array: "[]" when there are
// none, else one object per line, oldest first; an empty bytes field is 0.
[[nodiscard]] std::string renderActionsJson(const std::vector<std::string>& rows);

// Reads the last batch file, lets `edit` change its rows and writes them back
// in one step, all under the batch lock, so rows another process appended
// meanwhile are in what `edit` sees and stay: rollback drops the rows it
// finished; move-dir drops the row of a relocation it undid. `edit` must not
// call the other batch functions (the lock is not re-entrant). Nothing is
// written when `edit` changes nothing.
[[nodiscard]] Result<void> editLastBatch(const StatePaths& paths,
                                         const std::function<void(std::vector<ActionRow>&)>& edit);

// Rows of the last batch file, in order (for rollback and summaries).
[[nodiscard]] std::vector<ActionRow> readLastBatch(const StatePaths& paths);

// Disk usage in bytes as `du -sk` × 1024; nullopt when unreadable.
[[nodiscard]] std::optional<std::uint64_t> bytesOf(const std::string& path);

}  // namespace brimvale::service
