#include "service/drive_transfer/transfer_switch.h"

#include <cctype>

#include "common/base/best_effort.h"
#include "common/base/stop_point.h"
#include "service/drive_transfer/transfer_job_state.h"
#include "service/drives/drive_commands.h"

namespace brimvale::service {

std::optional<std::string> switchToDestination(ServiceContext& ctx, TransferStore& store) {
  const std::string destRoot = store.get("destRoot").value_or("");
  auto failed = [&store, &ctx](std::string cause) {
    if (cause.starts_with("ERROR: ")) cause.erase(0, 7);
    if (!cause.empty()) {
      cause[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(cause[0])));
    }
    std::string sentence =
        std::string(kSwitchFailed) + " " + cause + " Try finishing the switch again.";
    bestEffort(store.set(TransferPhase::kCopied, {{"lastError", sentence}}),
               DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "recording why the switch failed");
    return sentence;
  };
  if (!ctx.config && !loadConfig(ctx)) {
    return failed("The configuration couldn't be read.");
  }
  DriveSelection selected = selectDrive(ctx, destRoot, ParkedGuard::kBypass);
  if (selected.exitCode != 0) return failed(selected.problem);
  stopPoint("transfer:switched");
  bestEffort(store.set(TransferPhase::kDone, {{"lastError", ""}}),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "recording the finished switch");
  removeFile(store.files().supervisorPid);
  removeFile(store.files().copyPid);
  releaseLock(store.files());
  return std::nullopt;
}

}  // namespace brimvale::service
