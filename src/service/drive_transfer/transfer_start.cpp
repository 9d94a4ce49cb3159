#include "service/drive_transfer/transfer_start.h"

#include <sys/stat.h>

#include <cerrno>
#include <future>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/timestamps.h"
#include "common/state/path_policy.h"
#include "service/core/marker_file.h"
#include "service/drive_transfer/transfer_job.h"
#include "service/drive_transfer/transfer_job_state.h"
#include "service/drive_transfer/transfer_preflight.h"
#include "service/drive_transfer/transfer_processes.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

// What keeps `args` from fitting the command, in a sentence; empty when they fit.
std::string usageProblem(const std::vector<std::string>& args) {
  switch (args.size()) {
    case 0: return "The destination and the confirmation are missing.";
    case 1: return "The confirmation is missing.";
    case 2: return {};
    case 3:
      if (args[0] == kTransferKindSwitch || args[0] == kTransferKindBackup) return {};
      return "\"" + args[0] + "\" is not a kind of job: use transfer or backup.";
    default: return "It takes at most three arguments.";
  }
}

bool isConsent(const std::string& word) { return word == "1" || word == "yes" || word == "true"; }

// Takes the job lock (transfer.lock/), replacing one a finished job left.
bool takeJobLock(const TransferStore& store) {
  const TransferFiles& files = store.files();
  if (mkdir(files.lock.c_str(), 0700) == 0) return true;
  const bool stale = errno == EEXIST && isFinished(store.currentPhase());
  return stale && (releaseLock(files), mkdir(files.lock.c_str(), 0700) == 0);
}

// The new job's store. Its size is the preflight's measure, taken just now: a
// second walk of a large folder would only hold back the copy.
KeyValues newJob(ServiceContext& ctx, const TransferStartOutcome& o, const fs::path& destWorking,
                 const std::string& rsyncBin) {
  const fs::path sourceRoot = ctx.cfg().nvme();
  const std::string now = isots(ctx.clock());
  return {{transfer_keys::kVersion, "1"},
          {transfer_keys::kKind, o.kind},
          {transfer_keys::kPhase, rawPhase(TransferPhase::kCopying)},
          {transfer_keys::kSourceRoot, sourceRoot.string()},
          {transfer_keys::kDestRoot, o.destination.string()},
          {transfer_keys::kStorName, ctx.workingFolderName()},
          {transfer_keys::kSourceWorking, ctx.cfg().base().string()},
          {transfer_keys::kDestWorking, destWorking.string()},
          {transfer_keys::kSourceVolumeUUID, ctx.platform.drives->info(sourceRoot.string()).uuid},
          {transfer_keys::kDestVolumeUUID, ctx.platform.drives->info(o.destination.string()).uuid},
          {"rsyncBin", rsyncBin},
          {transfer_keys::kBytesDone, "0"},
          {transfer_keys::kBytesTotal, std::to_string(o.sourceBytes)},
          {transfer_keys::kPercent, "0"},
          {transfer_keys::kRate, ""},
          {transfer_keys::kEtaSeconds, "0"},
          {transfer_keys::kCurrentFile, ""},
          {transfer_keys::kPid, "0"},
          {transfer_keys::kStartedAt, now},
          {transfer_keys::kUpdatedAt, now},
          {transfer_keys::kLastError, ""},
          {transfer_keys::kConsent, "1"},
          {transfer_keys::kResumeCount, "0"}};
}

}  // namespace

TransferStartOutcome startTransfer(ServiceContext& ctx, const std::vector<std::string>& args,
                                   const std::string& serviceProgram) {
  TransferStartOutcome o;
  o.usageProblem = usageProblem(args);
  if (!o.usageProblem.empty()) return o;
  o.kind = args.size() == 3 ? args[0] : kTransferKindSwitch;
  // "/Volumes/X/" is the drive mounted at "/Volumes/X": the job keeps the
  // spelling the mount table and select-drive use.
  const std::string given = args[args.size() - 2];
  o.destination = normalisedAbsolute(given).value_or(fs::path(given));
  auto refused = [&o](StartVerdict verdict) {
    o.verdict = verdict;
    return o;
  };
  if (!isConsent(args.back())) return refused(StartVerdict::kNotConfirmed);
  if (!isDirectory(o.destination)) return refused(StartVerdict::kDestinationMissing);
  TransferStore store = storeOf(ctx);
  const TransferFiles& files = store.files();
  o.phase = store.currentPhase();
  if (!takeJobLock(store)) return refused(StartVerdict::kAlreadyRunning);
  // Finding the copy tool runs it to ask its version: that waits on a program
  // start while the preflight walks the whole source, so the two overlap.
  auto rsyncBin = std::async(std::launch::async, [&ctx] { return ctx.rsyncPath(); });
  const Preflight checked = preflight(ctx, o.destination);
  o.reasons = checked.reasons;
  o.sourceBytes = checked.sourceBytes;
  o.freeBytes = checked.freeBytes;
  if (checked.verdict == "block") {
    releaseLock(files);
    return refused(StartVerdict::kBlocked);
  }
  const fs::path destWorking = o.destination / ctx.workingFolderName();
  if (!createDirectories(destWorking)) {
    releaseLock(files);
    return refused(StartVerdict::kFolderNotCreated);
  }
  if (!pathExists(destWorking / kMarkerFileName).value_or(false)) {
    bestEffort(writeMarker(ctx, destWorking, ctx.platform.drives->info(o.destination.string()).uuid,
                           {{"created_by", "transfer"}}),
               DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "marking the transfer's working folder");
  }
  const KeyValues job = newJob(ctx, o, destWorking, rsyncBin.get());
  // The preflight above may take long; the lock is needed only from here.
  TransferControl control(files);
  if (auto written = store.reset(job); !written) {
    releaseLock(files);
    o.saveError = written.error().message();
    return refused(StartVerdict::kStateNotSaved);
  }
  ctx.log.say("Transfer (" + o.kind + ") started: " + ctx.cfg().base().string() + " -> " +
              destWorking.string());
  JobProcesses processes(ctx, serviceProgram);
  // The supervisor of a job that just ended may still be on its way out; the
  // launch below refuses while it holds the lock, so the wait's answer is not needed.
  (void)processes.supervisorEnded(kSupervisorLeaveWait);
  if (auto launched = processes.launchSupervisor(); launched) {
    o.supervisorPid = *launched;
  } else {
    ctx.log.log("transfer: " + launched.error().message());
  }
  o.verdict = StartVerdict::kStarted;
  o.phase = store.currentPhase();
  return o;
}

int renderStart(ServiceContext& ctx, const TransferStartOutcome& o) {
  switch (o.verdict) {
    case StartVerdict::kStarted: ctx.out << "Transfer started.\n"; return 0;
    case StartVerdict::kUsage:
      ctx.err
          << "Usage: brim-vale transfer-start [transfer|backup] DESTINATION CONFIRMATION, where "
             "CONFIRMATION is 1, yes or true to confirm the start. "
          << o.usageProblem << " Nothing was started.\n";
      return 2;
    case StartVerdict::kNotConfirmed: ctx.out << "Start was not confirmed.\n"; return 1;
    case StartVerdict::kDestinationMissing:
      ctx.out << "The destination drive isn't available.\n";
      return 1;
    case StartVerdict::kAlreadyRunning: ctx.out << "A transfer is already in progress.\n"; return 1;
    case StartVerdict::kBlocked: ctx.out << "The destination can't be used right now.\n"; return 1;
    case StartVerdict::kFolderNotCreated:
      ctx.out << "Couldn't create the destination folder.\n";
      return 1;
    case StartVerdict::kStateNotSaved:
      ctx.out << "Couldn't save the transfer's state, so it was not started. Your current drive "
                 "is unchanged. "
              << o.saveError << "\n";
      return 1;
  }
  return 1;
}

}  // namespace brimvale::service
