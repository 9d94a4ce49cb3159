#include "service/drive_transfer/transfer_switch.h"

#include <cctype>

#include "common/base/best_effort.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "service/core/action_log.h"
#include "service/drive_transfer/transfer_job_state.h"
#include "service/drives/drive_commands.h"

namespace brimvale::service {
namespace {

// The undo rows of the last rule run or relocation name the copies they
// would bring back; once the old drive is gone those copies are on the new
// one. Rows are rewritten in one step under the batch lock, so a rollback
// never reads half and a rule run's append is never lost.
std::optional<std::string> moveUndoRows(const StatePaths& paths, const std::string& oldWorking,
                                        const std::string& newWorking) {
  auto written = editLastBatch(paths, [&](std::vector<ActionRow>& rows) {
    for (ActionRow& row : rows) {
      for (std::string* field : {&row.src, &row.dest}) {
        if (auto moved = rebasedPath(*field, oldWorking, newWorking)) *field = *moved;
      }
    }
  });
  if (!written) {
    return "The undo record " + paths.lastBatch.string() + " couldn't be updated (" +
           written.error().message() + ").";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> switchToDestination(ServiceContext& ctx, TransferStore& store) {
  const std::string destRoot = store.get(transfer_keys::kDestRoot).value_or("");
  auto failed = [&store, &ctx](std::string cause) {
    if (cause.starts_with("ERROR: ")) cause.erase(0, 7);
    if (!cause.empty()) {
      cause[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(cause[0])));
    }
    std::string sentence =
        std::string(kSwitchFailed) + " " + cause + " Try finishing the switch again.";
    bestEffort(store.set(TransferPhase::kCopied, {{transfer_keys::kLastError, sentence}}),
               DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "recording why the switch failed");
    return sentence;
  };
  if (!ctx.config && !loadConfig(ctx)) {
    return failed("The configuration couldn't be read.");
  }
  if (auto stale = moveUndoRows(ctx.paths, store.get(transfer_keys::kSourceWorking).value_or(""),
                                store.get(transfer_keys::kDestWorking).value_or(""))) {
    return failed(*stale);
  }
  DriveSelection selected =
      selectDrive(ctx, destRoot, ParkedGuard::kBypass, PinnedBase::kFollowDrive);
  if (selected.exitCode != 0) return failed(selected.problem);
  stopPoint("transfer:switched");
  bestEffort(store.set(TransferPhase::kDone, {{transfer_keys::kLastError, ""}}),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "recording the finished switch");
  removeFile(store.files().supervisorPid);
  removeFile(store.files().copyPid);
  releaseLock(store.files());
  return std::nullopt;
}

}  // namespace brimvale::service
