// Undoing the last batch: archived items go back where they came from;
// deletions are reported as impossible to undo.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "common/base/file_operations.h"
#include "common/base/folder_in_use.h"
#include "service/core/service_context.h"

namespace brimvale::service {

enum class Confirmation { kAlreadyGiven, kAskOnTerminal, kNonInteractive };

// Lists the rows it will reverse (and, apart, those it won't, with why),
// confirms as `confirmation` says (reading the answer from `in`), then moves
// back every `move` row whose destination exists and whose source does not.
//
// Every row is checked against the path policy first: its source must lie
// in the home folder (or a configured cache folder) and its destination in
// the working folder, else it is refused, said and logged, and kept.
// Across volumes an item is copied to a hidden name beside its old place and
// renamed into place; the drive copy is set aside before that rename and
// removed after it file by file, each only when the guard finds it the same
// as what is home, so a rollback stopped at any moment leaves every item
// whole in one place and the next rollback finishes it. What changed on the
// drive meanwhile stays there as "<name>.kept-<UTC stamp>" beside the drive
// copy's old name and is listed. An unfinished copy goes the same way,
// against the drive copy it was made from; what else it holds is kept beside
// the item's old place as "<name>.kept-<UTC stamp>" and listed. Rows that
// failed or were refused stay in the batch; the others leave it as they are
// done.
// Holds the rule-run lock throughout (waiting for a run at work, briefly,
// then refusing with nothing changed), so no run starts a new batch under
// it; rows move-dir appends meanwhile stay in the batch.
// Returns 0, or 1 when rows were kept, the batch file could not be updated or
// it did not start. Every change to
// the disk goes through `files`.
int rollbackBatch(ServiceContext& ctx, Confirmation confirmation, std::istream& in,
                  const FolderInUseProbe& inUse, FileOperations& files = FileOperations::real());

// `rollback [--yes|-y]`: asks on a terminal, proceeds (and says so) otherwise.
int rollbackCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
