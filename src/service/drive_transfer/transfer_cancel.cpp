#include "service/drive_transfer/transfer_cancel.h"

#include <unistd.h>

#include <algorithm>
#include <expected>
#include <filesystem>
#include <iostream>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/platform_words.h"
#include "common/state/path_policy.h"
#include "service/core/marker_file.h"
#include "service/drive_transfer/transfer_job_state.h"
#include "service/drive_transfer/transfer_processes.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCancelled = "Transfer cancelled. Your current drive is unchanged.";

// Where a cancel may delete the job's copy: exactly this Mac's working folder
// directly on the job's destination drive, which must be mounted and must not
// be the current drive, checked by the path policy and carrying the marker a
// transfer writes. Read from a file anyone could have edited, so nothing in
// it is taken on trust. An empty path: there is nothing to delete. Otherwise
// the refusal sentence.
std::expected<fs::path, std::string> copyToDelete(ServiceContext& ctx, const TransferStore& store) {
  const std::string stored = store.get("destWorking").value_or("");
  const auto status = stored.empty() ? Result<fs::file_status>() : linkStatus(stored);
  if (stored.empty() || !status || !fs::exists(*status)) return fs::path();
  auto refuse = [&stored](const std::string& why) {
    return std::unexpected("Brimvale did not delete " + stored + " because " + why +
                           ". Nothing there was changed.");
  };
  if (fs::is_symlink(*status)) {
    return refuse("it is a symbolic link, not the folder the transfer made");
  }
  const std::string storedRoot = store.get("destRoot").value_or("");
  const auto destRoot = normalisedAbsolute(storedRoot);
  const auto destWorking = normalisedAbsolute(stored);
  if (!destRoot || !destWorking) return refuse("the transfer's record of it is not a full path");
  if (*destWorking != *destRoot / ctx.workingFolderName()) {
    return refuse("it is not this " + std::string(kHostWords.computer) +
                  "'s Brimvale folder directly on the destination drive " + storedRoot);
  }
  if (PathPolicy::isSystemPath(*destRoot) ||
      !ctx.platform.mounts->isMountedAt(destRoot->string())) {
    return refuse(storedRoot + " is not a connected drive");
  }
  auto config = loadServiceConfig(ctx.paths, ctx.workingFolderName());
  if (!config) {
    return refuse(
        "the configuration couldn't be read to make sure it is not your current "
        "drive's folder");
  }
  const auto source = normalisedAbsolute(store.get("sourceWorking").value_or(""));
  if (*destRoot == config->nvme() || *destWorking == config->base() ||
      (source && *source == *destWorking)) {
    return refuse("it is your current drive's Brimvale folder");
  }
  PathPolicyRoots roots = PathPolicy::rootsFor(ctx.paths.home, config->base());
  roots.extraRoots = {*destRoot};
  auto allowed = PathPolicy(roots).check(*destWorking);
  if (!allowed) return std::unexpected(allowed.error().sentence());
  if (allowed->root != PathRoot::kExtra) return refuse("it does not lie on the destination drive");
  if (markerValue(*destWorking, "created_by") != "transfer") {
    return refuse("it has no marker showing that a transfer created it");
  }
  return *destWorking;
}

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
  auto toDelete = copyToDelete(ctx, store);
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
  bestEffort(
      store.set(TransferPhase::kFailed,
                {{"lastError", leftOver.empty() ? std::string(kCancelled)
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
