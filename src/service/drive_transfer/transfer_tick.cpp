#include "service/drive_transfer/transfer_tick.h"

#include <string>

#include "common/base/best_effort.h"
#include "service/drive_transfer/transfer_job_state.h"
#include "service/drive_transfer/transfer_processes.h"
#include "service/drive_transfer/transfer_switch.h"

namespace brimvale::service {

namespace {

// Restarts after which the job is given up as failing for good.
constexpr long long kMaxResumes = 20;

constexpr std::initializer_list<TransferPhase> kSupervisedPhases{
    TransferPhase::kCopying, TransferPhase::kWaitingForDrive, TransferPhase::kVerifying};

// The commit switches under the control lock: a job seen in `switching` lost
// its commit midway.
void finishInterruptedSwitch(ServiceContext& ctx, TransferStore& store) {
  const std::string destRoot = store.get(transfer_keys::kDestRoot).value_or("");
  ctx.log.say("Finishing the interrupted switch to " + destRoot + ".");
  if (auto problem = switchToDestination(ctx, store)) {
    ctx.log.log("transfer: " + *problem);
  } else {
    ctx.log.say("Transfer complete. Now using " + destRoot + ".");
  }
}

}  // namespace

void transferTick(ServiceContext& ctx) { transferTick(ctx, ownExecutable()); }

void transferTick(ServiceContext& ctx, const std::string& serviceProgram) {
  TransferStore store = storeOf(ctx);
  if (!store.exists()) return;
  const TransferFiles& files = store.files();
  TransferControl control(files);
  const auto phase = store.currentPhase();
  if (phase == TransferPhase::kSwitching) return finishInterruptedSwitch(ctx, store);
  if (phase != TransferPhase::kCopying && phase != TransferPhase::kWaitingForDrive &&
      phase != TransferPhase::kVerifying) {
    return;
  }
  JobProcesses processes(ctx, serviceProgram);
  if (processes.supervisorRuns()) {
    // Waiting for the drive is a supervisor's last record before it ends:
    // give it (and its copy's helpers) a moment to finish leaving.
    if (phase != TransferPhase::kWaitingForDrive ||
        !processes.supervisorEnded(kSupervisorLeaveWait)) {
      return;
    }
  }
  const bool present = rootsMounted(ctx, store) &&
                       isDirectory(store.get(transfer_keys::kSourceWorking).value_or("")) &&
                       isDirectory(store.get(transfer_keys::kDestWorking).value_or(""));
  if (!present) {
    bestEffort(store.setIfPhase(kSupervisedPhases, TransferPhase::kWaitingForDrive,
                                {{transfer_keys::kLastError, waitingMessage(ctx, store)}}),
               DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "recording the wait for a drive");
    return;
  }
  const long long count = resumeCount(store);
  if (count >= kMaxResumes) {
    bestEffort(
        store.setIfPhase(
            kSupervisedPhases, TransferPhase::kFailed,
            {{transfer_keys::kLastError,
              "The transfer kept failing and was stopped. Your current drive is unchanged."}}),
        DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "recording the stopped transfer");
    removeFile(files.supervisorPid);
    releaseLock(files);
    return;
  }
  // A dead supervisor's check is run again; anything else copies on.
  const TransferPhase next =
      phase == TransferPhase::kVerifying ? TransferPhase::kVerifying : TransferPhase::kCopying;
  auto resumed = store.setIfPhase(
      {*phase}, next,
      {{transfer_keys::kLastError, ""}, {transfer_keys::kResumeCount, std::to_string(count + 1)}});
  if (!resumed || !*resumed) return;
  ctx.log.say("Resuming transfer (attempt " + std::to_string(count + 1) + ").");
  if (auto launched = processes.launchSupervisor(); !launched) {
    ctx.log.log("transfer: " + launched.error().message());
  }
}

}  // namespace brimvale::service
