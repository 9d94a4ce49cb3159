#include "service/drive_transfer/transfer_job.h"

#include "common/base/best_effort.h"
#include "common/base/file_io.h"
#include "common/base/stop_point.h"
#include "service/drive_transfer/transfer_job_state.h"
#include "service/drive_transfer/transfer_processes.h"
#include "service/drive_transfer/transfer_start.h"
#include "service/drive_transfer/transfer_supervisor.h"
#include "service/drive_transfer/transfer_switch.h"
#include "service/drive_transfer/transfer_tick.h"

namespace brimvale::service {

int transferStartCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  return renderStart(ctx, startTransfer(ctx, args, ownExecutable()));
}

int transferStatusCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  auto json = readFile(storeOf(ctx).files().json);
  ctx.out << (json ? *json : std::string("{\"phase\":\"idle\"}\n"));
  return 0;
}

int transferPauseCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  TransferStore store = storeOf(ctx);
  TransferControl control(store.files());
  auto paused = store.setIfPhase({TransferPhase::kCopying, TransferPhase::kWaitingForDrive},
                                 TransferPhase::kPaused, {{transfer_keys::kLastError, "Paused."}});
  if (!paused || !*paused) {
    ctx.out << "No transfer is running.\n";
    return 0;
  }
  // Waiting here, under the control lock, means a resume can never meet the old copy.
  JobProcesses(ctx, ownExecutable()).stop(StopEscalation::kWaitOnly);
  removeFile(store.files().supervisorPid);
  ctx.out << "Transfer paused.\n";
  return 0;
}

namespace {

// A job left copying, verifying or waiting for its drive by a supervisor that
// is gone (killed, or the computer went down) is picked up the way the watch
// loop would pick it up, so resuming never depends on the service running.
int restartStoppedTransfer(ServiceContext& ctx, TransferStore& store) {
  if (JobProcesses(ctx, ownExecutable()).supervisorRuns()) {
    ctx.out << "The transfer is already running.\n";
    return 0;
  }
  transferTick(ctx);
  const auto phase = store.currentPhase();
  if (phase == TransferPhase::kCopying || phase == TransferPhase::kVerifying ||
      phase == TransferPhase::kCopied || phase == TransferPhase::kDone) {
    ctx.out << "Transfer resumed.\n";
    return 0;
  }
  const std::string why = store.get(transfer_keys::kLastError).value_or("");
  ctx.out << (why.empty() ? std::string("The transfer couldn't be restarted. Your current drive "
                                        "is unchanged; try resuming again in a moment.")
                          : why)
          << "\n";
  return 1;
}

}  // namespace

int transferResumeCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  TransferStore store = storeOf(ctx);
  if (const auto phase = store.currentPhase(); phase == TransferPhase::kCopying ||
                                               phase == TransferPhase::kVerifying ||
                                               phase == TransferPhase::kWaitingForDrive) {
    return restartStoppedTransfer(ctx, store);
  }
  const TransferFiles& files = store.files();
  TransferControl control(files);
  if (store.currentPhase() != TransferPhase::kPaused) {
    ctx.out << "No paused transfer to resume.\n";
    return 0;
  }
  JobProcesses processes(ctx, ownExecutable());
  if (processes.supervisorRuns()) {
    ctx.out << "The transfer is still stopping, so it wasn't resumed yet. Your current drive is "
               "unchanged; try resuming again in a moment.\n";
    return 1;
  }
  const long long resumes = resumeCount(store);
  auto resumed = store.setIfPhase({TransferPhase::kPaused}, TransferPhase::kCopying,
                                  {{transfer_keys::kLastError, ""},
                                   {transfer_keys::kResumeCount, std::to_string(resumes + 1)}});
  if (!resumed || !*resumed) {
    ctx.out << "No paused transfer to resume.\n";
    return 0;
  }
  if (auto launched = processes.launchSupervisor(); !launched) {
    ctx.log.log("transfer: " + launched.error().message());
    bestEffort(store.setIfPhase({TransferPhase::kCopying}, TransferPhase::kPaused,
                                {{transfer_keys::kLastError, "Paused."},
                                 {transfer_keys::kResumeCount, std::to_string(resumes)}}),
               DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "recording the pause");
    ctx.out << "The transfer couldn't be restarted, so it stays paused. Your current drive is "
               "unchanged; try resuming again. "
            << launched.error().message() << "\n";
    return 1;
  }
  ctx.out << "Transfer resumed.\n";
  return 0;
}

int transferCommitCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  TransferStore store = storeOf(ctx);
  TransferControl control(store.files());
  if (store.currentPhase() != TransferPhase::kCopied) {
    ctx.out << "Transfer is not ready to finalise.\n";
    return 1;
  }
  const std::string destRoot = store.get(transfer_keys::kDestRoot).value_or("");
  if (destRoot.empty()) {
    ctx.out << "Missing destination.\n";
    return 1;
  }
  // Never point the configuration at an empty mount point.
  const std::string destWorking = store.get(transfer_keys::kDestWorking).value_or("");
  if (!rootMounted(ctx, store, transfer_keys::kDestRoot) || !isDirectory(destWorking)) {
    std::string sentence = std::string(kSwitchFailed) + " The new drive isn't connected at " +
                           destRoot + "; connect it and try finishing the switch again.";
    bestEffort(store.set({{transfer_keys::kLastError, sentence}}),
               DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "recording why the switch failed");
    ctx.out << sentence << "\n";
    return 1;
  }
  bestEffort(store.set(TransferPhase::kSwitching),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "recording the switching phase");
  stopPoint("transfer:switching");
  if (auto problem = switchToDestination(ctx, store)) {
    ctx.out << *problem << "\n";
    return 1;
  }
  ctx.out << "Transfer complete. Now using " << destRoot << ".\n";
  return 0;
}

int transferSuperviseCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  return superviseTransfer(ctx);
}

}  // namespace brimvale::service
