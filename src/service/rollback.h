// Undoing the last batch: archived items go back where they came from;
// deletions are reported as impossible to undo.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "service/service_context.h"

namespace brimvale::service {

enum class Confirmation { kAlreadyGiven, kAskOnTerminal, kNonInteractive };

// Lists the batch, confirms as `confirmation` says (reading the answer from
// `in`), moves back every `move` row whose destination exists and whose
// source does not, then empties the batch and rewrites the snapshot.
int rollbackBatch(ServiceContext& ctx, Confirmation confirmation, std::istream& in);

// `rollback [--yes|-y]`: asks on a terminal, proceeds (and says so) otherwise.
int rollbackCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
