#include "service/drive_transfer/transfer_cancel.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "common/base/best_effort.h"
#include "service/drive_transfer/transfer_job_state.h"
#include "service/drive_transfer/transfer_processes.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCancelled = "Transfer cancelled. Your current drive is unchanged.";

}  // namespace

int cancelTransfer(ServiceContext& ctx, CancelConsent consent, std::istream& in) {
  TransferStore store = storeOf(ctx);
  const TransferFiles& files = store.files();
  TransferControl control(files);
  const auto phase = store.currentPhase();
  if (!store.exists() || phase == TransferPhase::kIdle || phase == TransferPhase::kDone) {
    ctx.out << "No transfer to cancel.\n";
    return 0;
  }
  if (phase == TransferPhase::kSwitching) {
    ctx.out << "The switch to the new drive has already begun, so the transfer can't be cancelled "
               "now. Nothing was deleted; Brimvale finishes the switch on its own.\n";
    return 1;
  }
  auto toDelete = checkedJobCopy(ctx, store);
  // A verified copy may already be where the app points its links.
  if (phase == TransferPhase::kCopied && toDelete && !toDelete->empty() &&
      consent != CancelConsent::kGiven) {
    const std::string what = "The new drive holds a verified copy of everything at " +
                             toDelete->string() + ", and the app may already be using it.";
    if (consent == CancelConsent::kNone) {
      ctx.out << what << " It was not deleted and nothing was changed. To delete it and cancel "
              << "the transfer, run: brim-vale transfer-cancel --yes\n";
      return 2;
    }
    ctx.out << what << " Delete it and cancel the transfer? (yes/no) ";
    ctx.out.flush();
    std::string answer;
    std::getline(in, answer);
    if (answer != "yes") {
      ctx.out << "Nothing was changed; the transfer is still ready to finish.\n";
      return 1;
    }
  }
  const DiagnosticsLog diagnostics(ctx.paths.diagnosticsLog, ctx.clock);
  bestEffort(store.set(TransferPhase::kCancelling), diagnostics, "recording the cancelling phase");
  JobProcesses(ctx, ownExecutable()).stop(StopEscalation::kKillAfterWait);
  std::string leftOver;
  if (!toDelete) {
    leftOver = toDelete.error();
    ctx.log.log("transfer-cancel: " + leftOver);
  } else if (!toDelete->empty()) {
    std::error_code ec;
    fs::remove_all(*toDelete, ec);
    if (ec) {
      leftOver = "Some of the copy at " + toDelete->string() + " couldn't be deleted (" +
                 ec.message() + "); what is left there is only a copy.";
      ctx.log.log("transfer: couldn't delete " + toDelete->string() + ": " + ec.message());
    }
  }
  removeFile(files.supervisorPid);
  removeFile(files.copyPid);
  bestEffort(store.set(TransferPhase::kFailed,
                       {{transfer_keys::kLastError,
                         leftOver.empty() ? std::string(kCancelled)
                                          : std::string(kCancelled) + " " + leftOver}}),
             diagnostics, "recording the cancelled transfer");
  releaseLock(files);
  ctx.out << "Transfer cancelled.\n";
  if (!leftOver.empty()) {
    ctx.out << leftOver << "\n";
    return 1;
  }
  return 0;
}

int transferCancelCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  const bool yes = std::any_of(args.begin(), args.end(),
                               [](const std::string& a) { return a == "--yes" || a == "-y"; });
  const CancelConsent consent = yes                    ? CancelConsent::kGiven
                                : isatty(STDIN_FILENO) ? CancelConsent::kAskOnTerminal
                                                       : CancelConsent::kNone;
  return cancelTransfer(ctx, consent, std::cin);
}

}  // namespace brimvale::service
