#include "app/core/drive_transfer_command.h"

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/core/service_command.h"
#include "app/core/service_view.h"
#include "common/base/file_io.h"
#include "common/base/file_lock.h"
#include "mover/safety_checks.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

// The commit re-reads the configuration and points it at the new drive.
constexpr std::chrono::seconds kSwitchServiceLimit{120};

constexpr std::string_view kRequests =
    "`brimvale drive-transfer check DEST`, `start [backup|transfer] DEST`, `status [--wait]`, "
    "`pause`, `resume` or `cancel`";

int usage(DriveTransferHost& host, const std::string& missing) {
  host.view.err << missing << " Nothing was changed.\n";
  return 2;
}

// Runs one service subcommand and shows what it printed; its exit status, or
// 1 with a sentence when it did not exit on its own.
int passed(DriveTransferHost& host, const std::vector<std::string>& args) {
  ProcessResult run = host.view.service(args);
  host.view.out << run.out;
  host.view.err << run.err;
  if (run.outcome == ProcessOutcome::kExited) return run.exitCode;
  host.view.err << serviceRunFailure(run);
  return 1;
}

int check(DriveTransferHost& host, const std::vector<std::string>& args) {
  if (args.size() < 2 || args[1].empty()) {
    return usage(host, "Say which drive to check: `brimvale drive-transfer check DEST`.");
  }
  ProcessResult run = host.view.service({"transfer-check", args[1]});
  if (run.outcome != ProcessOutcome::kExited) {
    host.view.err << run.err << serviceRunFailure(run);
    return 1;
  }
  if (host.view.json) {
    host.view.out << run.out;
    host.view.err << run.err;
    return run.exitCode;
  }
  json doc = json::parse(run.out, nullptr, false);
  if (!doc.is_object()) {
    host.view.err << run.err
                  << "Brimvale couldn't read the background service's answer. Nothing "
                     "was changed; run `brimvale self-check`, then try again.\n";
    return 1;
  }
  const auto found = doc.find("verdict");
  const std::string verdict =
      found != doc.end() && found->is_string() ? found->get<std::string>() : std::string();
  if (verdict == "block") {
    host.view.out << args[1] << " can't take everything on your current drive:\n";
    for (const auto& reason : doc.value("reasons", json::array())) {
      if (reason.is_string()) host.view.out << "  - " << reason.get<std::string>() << "\n";
    }
  } else {
    host.view.out << args[1] << " can take everything on your current drive"
                  << (verdict == "warn" ? ", though it is not the kind of drive we recommend" : "")
                  << ".\n";
  }
  return run.exitCode;
}

int start(DriveTransferHost& host, const std::vector<std::string>& args) {
  std::string kind = "transfer";
  std::size_t at = 1;
  if (args.size() > 1 && (args[1] == "backup" || args[1] == "transfer")) kind = args[at++];
  if (args.size() != at + 1 || args[at].empty()) {
    return usage(host,
                 "Say which drive to copy to: `brimvale drive-transfer start [backup|transfer] "
                 "DEST`.");
  }
  const int status = passed(host, {"transfer-start", kind, args[at], "yes"});
  if (status == 0) {
    host.view.out << "Follow it with `brimvale drive-transfer status --wait`"
                  << (kind == "transfer" ? ", which also switches to the new drive once the "
                                           "copy is verified"
                                         : "")
                  << ".\n";
  }
  return status;
}

// Whether a switch has re-pointed links to the job's copy, which a cancel
// would delete.
bool switchBegun(const StatePaths& paths) {
  auto job = mover::readSwitchJob(paths);
  if (!job || job->phase != TransferPhase::kCopied || job->route.newWorking.empty()) return false;
  const mover::SwitchRoute back{.oldWorking = job->route.newWorking,
                                .newWorking = job->route.oldWorking};
  return !mover::collectLinks(mover::relocatedPlaces(paths), back).updates.empty();
}

// Follows the job until it ends, pauses or needs the switch, which it runs.
// Whether another holds the lock on `file`. Asked with a shared lock, so the
// question never looks like a holder itself.
bool lockHeldElsewhere(const std::filesystem::path& file) {
  auto lock = FileLock::open(file);
  if (!lock) return false;
  auto taken = lock->tryLock(FileLock::Mode::kShared);
  return taken && !*taken;
}

// Whether a supervisor of the drive-to-drive job holds its lock.
bool supervisorHoldsJob(const StatePaths& paths) {
  return lockHeldElsewhere(paths.transferSupervisorLock);
}

// How long a job that should be running may show no supervisor (one is
// launched just after its phase is written) before the wait says so.
constexpr auto kUnsupervisedGrace = std::chrono::seconds(3);

int waitForJob(DriveTransferHost& host) {
  std::ostringstream discarded;
  std::ostream& out = host.view.json ? discarded : host.view.out;
  MoveProgressPrinter printer(out, host.output);
  std::string shownLine;
  auto show = [&](const std::string& line) {
    if (line == shownLine) return;
    printer.endBar();
    out << line << "\n" << std::flush;
    shownLine = line;
  };
  auto finish = [&](int status) {
    printer.endBar();
    if (host.view.json)
      host.view.out << readFile(host.paths.transferJobJson).value_or("{\"phase\":\"idle\"}\n");
    return status;
  };
  std::optional<std::chrono::steady_clock::time_point> unsupervisedSince;
  for (;;) {
    const std::optional<DriveTransferJob> job = readDriveTransferJob(host.paths.transferJobJson);
    if (!job || job->neverStarted()) {
      out << "No drive transfer is under way.\n";
      return finish(0);
    }
    const bool backup = job->isBackup();
    const std::optional<TransferPhase> phase = job->phase;
    if (phase == TransferPhase::kDone) {
      out << (backup ? mover::kBackedUpSentence : mover::kSwitchedSentence) << "\n";
      return finish(0);
    }
    show(transferStatusLine(phase, backup, false));
    const bool shouldRun = phase == TransferPhase::kCopying || phase == TransferPhase::kVerifying ||
                           phase == TransferPhase::kWaitingForDrive;
    if (shouldRun && !supervisorHoldsJob(host.paths)) {
      const auto now = std::chrono::steady_clock::now();
      if (!unsupervisedSince) unsupervisedSince = now;
      if (now - *unsupervisedSince >= kUnsupervisedGrace) {
        if (!job->lastError.empty()) out << job->lastError << "\n";
        out << "The drive transfer is not running right now. Your current drive is unchanged "
               "and nothing was lost; run `brimvale drive-transfer resume` to continue it.\n";
        return finish(1);
      }
    } else {
      unsupervisedSince.reset();
    }
    if (phase == TransferPhase::kCopying) {
      printer.showCopy("transfer", {.fraction = static_cast<double>(job->percent) / 100,
                                    .bytesDone = job->bytesDone,
                                    .totalBytes = job->bytesTotal,
                                    .currentFile = job->currentFile});
    } else if (phase == TransferPhase::kCopied && !backup) {
      show(transferStatusLine(phase, backup, true));
      mover::SwitchOutcome outcome =
          host.runSwitch([&](std::string_view step) { out << "  " << step << "\n"
                                                          << std::flush; });
      out << outcome.text();
      return finish(outcome.end == mover::SwitchEnd::kRefused ? 1 : 0);
    } else if (phase == TransferPhase::kFailed) {
      if (!job->lastError.empty()) out << job->lastError << "\n";
      out << (backup ? mover::kBackupFailedSentence : mover::kSwitchFailedSentence) << "\n";
      return finish(1);
    } else if (phase == TransferPhase::kPaused) {
      out << "Resume it with `brimvale drive-transfer resume`.\n";
      return finish(0);
    }
    host.pause();
  }
}

int status(DriveTransferHost& host, const std::vector<std::string>& args) {
  if (args.size() != 1) {
    return usage(host,
                 "`brimvale drive-transfer status` takes no words after it, only --wait or "
                 "--json.");
  }
  if (host.wait) return waitForJob(host);
  return driveTransferViewCommand(host.view, args);
}

}  // namespace

mover::SwitchOutcome switchToNewDrive(const ProcessRunner& run, const StatePaths& paths,
                                      const std::string& rsyncPath,
                                      const std::function<void(std::string_view)>& showStep,
                                      std::chrono::milliseconds lockWait) {
  const DiagnosticsLog diagnostics(paths.diagnosticsLog);
  std::error_code ec;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  mover::SwitchSeams seams{
      .files = FileOperations::real(),
      .diagnostics = diagnostics,
      .service =
          [&](const std::vector<std::string>& args) {
            return runServiceCommand(run, paths, rsyncPath, args, kSwitchServiceLimit);
          },
      .privileged = mover::makePrivilegedRelinker(run, findExecutable("pkexec"), self),
      .showStep = showStep,
      .lockWait = lockWait};
  return mover::runDriveSwitch(paths, seams);
}

bool switchRunning(const StatePaths& paths, const std::optional<DriveTransferJob>& job) {
  if (!job || job->isBackup() || job->phase != TransferPhase::kCopied) return false;
  return lockHeldElsewhere(mover::RelocatorLock::fileIn(paths.state));
}

std::string transferStatusLine(std::optional<TransferPhase> phase, bool backup, bool switching) {
  return switching ? "Switching to the new drive…" : transferPhaseWords(phase, backup);
}

int driveTransferCommand(DriveTransferHost& host, const std::vector<std::string>& args) {
  if (args.empty()) return usage(host, "Say what to do: " + std::string(kRequests) + ".");
  const std::string& verb = args[0];
  if (host.wait && verb != "status") {
    return usage(host,
                 "--wait goes with `brimvale drive-transfer status`, not with \"" + verb + "\".");
  }
  if (verb == "check") return check(host, args);
  if (verb == "start") return start(host, args);
  if (verb == "status") return status(host, args);
  if (verb == "cancel" && switchBegun(host.paths)) {
    host.view.err << "Some links already lead to the copy on the new drive, so the transfer "
                     "can't be cancelled: that would delete what they lead to. Nothing was "
                     "changed; finish the switch with `brimvale drive-transfer status --wait`.\n";
    return 1;
  }
  if (verb == "pause" || verb == "resume" || verb == "cancel") {
    if (args.size() != 1) {
      return usage(host, "`brimvale drive-transfer " + verb + "` takes no words after it.");
    }
    return passed(host, {"transfer-" + verb});
  }
  return usage(host, "\"" + verb + "\" is not something drive-transfer does; say " +
                         std::string(kRequests) + ".");
}

}  // namespace brimvale::app
