#include "service/drive_transfer/transfer_supervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "service/drive_transfer/transfer_job_state.h"
#include "service/drive_transfer/transfer_processes.h"
#include "service/drive_transfer/transfer_progress.h"
#include "service/drive_transfer/transfer_temporaries.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kProgressTailBytes = 200'000;
constexpr std::size_t kErrorTailBytes = 8'192;
constexpr auto kFoldInterval = std::chrono::seconds(1);

// The last `bytes` bytes of a file, none before offset `floor`; empty when
// unreadable.
std::string readTail(const fs::path& file, std::size_t bytes, off_t floor = 0) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  std::string out;
  if (fstat(fd, &st) == 0) {
    off_t size = st.st_size;
    off_t from = size > static_cast<off_t>(bytes) ? size - static_cast<off_t>(bytes) : 0;
    from = std::min(std::max(from, floor), size);
    out.resize(static_cast<std::size_t>(size - from));
    ssize_t n = pread(fd, out.data(), out.size(), from);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  close(fd);
  return out;
}

volatile sig_atomic_t gStopRequested = 0;
volatile pid_t gChild = 0;

// Pause and cancel stop the job with SIGTERM to the supervisor; it passes
// the signal on so the copy stops writing at once rather than when the
// parent-death signal reaches it, and then records nothing more. Only kill()
// is async-signal-safe here, so the handler does not use the launcher.
void forwardStop(int) {
  gStopRequested = 1;
  if (gChild > 0) kill(gChild, SIGTERM);
}

// Only cuts the wait for the copy short; the copy is reaped by the launcher.
void wakeOnChildEnd(int) {}

// Sleeps for `limit` at most: a child that ends or a stop request wakes it at
// once. SIGCHLD stays blocked outside this wait, so a copy that ends after
// its end was last looked for still cuts the wait short.
void waitForSignal(std::chrono::nanoseconds limit, const sigset_t& waitMask) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
  const timespec time{static_cast<time_t>(seconds.count()),
                      static_cast<long>((limit - seconds).count())};
  pselect(0, nullptr, nullptr, nullptr, &time, &waitMask);
}

KeyValues joined(KeyValues first, const KeyValues& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

class Supervisor {
 public:
  explicit Supervisor(ServiceContext& ctx)
      : ctx_(ctx), store_(storeOf(ctx)), diagnostics_(ctx.paths.diagnosticsLog, ctx.clock) {}

  int run() {
    struct sigaction sa {};
    sa.sa_handler = forwardStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = wakeOnChildEnd;
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
    sigset_t childEnd;
    sigemptyset(&childEnd);
    sigaddset(&childEnd, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childEnd, &waitMask_);
    sigdelset(&waitMask_, SIGCHLD);

    if (!holdSupervisorLock(files())) {
      ctx_.log.log("transfer: another supervisor of this transfer is running; this one stops");
      return 0;
    }
    std::string rsync = ctx_.rsyncPath();
    const std::string stored = store_.get("rsyncBin").value_or("");
    if (rsync.empty() && !stored.empty() && access(stored.c_str(), X_OK) == 0) rsync = stored;
    if (rsync.empty()) {
      bestEffort(store_.setIfPhase(
                     {TransferPhase::kCopying, TransferPhase::kVerifying}, TransferPhase::kFailed,
                     {{transfer_keys::kLastError,
                       "A required copy tool (rsync) wasn't found. Install it and try again."}}),
                 diagnostics_, "recording the missing copy tool");
      removeFile(files().supervisorPid);
      releaseLock(files());
      return 0;
    }
    source_ = store_.get(transfer_keys::kSourceWorking).value_or("");
    dest_ = store_.get(transfer_keys::kDestWorking).value_or("");
    if (!isDirectory(source_) || !isDirectory(dest_)) {
      bestEffort(store_.setIfPhase({TransferPhase::kCopying, TransferPhase::kVerifying},
                                   TransferPhase::kWaitingForDrive,
                                   {{transfer_keys::kLastError, waitingMessage(ctx_, store_)}}),
                 diagnostics_, "recording the wait for a drive");
      removeFile(files().supervisorPid);
      return 0;
    }
    // A supervisor that died while checking the copy left it finished: check it again.
    if (store_.currentPhase() == TransferPhase::kVerifying) return verifyAndFinish(rsync, true);
    auto started = store_.setIfPhase({TransferPhase::kCopying}, TransferPhase::kCopying,
                                     {{transfer_keys::kLastError, ""}});
    if (!started || !*started) return 0;  // paused or cancelled before we got going
    stopPoint("transfer:copying");

    // Earlier runs' errors stay in the log; only this run's explain its end.
    const auto logStart = fileSize(files().rsyncLog);
    bool driveGone = false;
    int status = runAndWatch(rsync, copyArguments(source_, dest_), true, &driveGone);
    removeFile(files().copyPid);
    // The copy's last progress goes into the store's next write, which the
    // way on from here makes anyway.
    const KeyValues lastProgress = progressPairs();
    if (gStopRequested) {
      recordProgress(lastProgress);
      return 0;
    }
    const auto phase = store_.currentPhase();
    if (phase == TransferPhase::kPaused) {
      removeFile(files().supervisorPid);
      return 0;
    }
    if (phase != TransferPhase::kCopying) return 0;

    if (status == 0 && !driveGone && rootsMounted(ctx_, store_)) {
      auto verifying =
          store_.setIfPhase({TransferPhase::kCopying}, TransferPhase::kVerifying, lastProgress);
      if (!verifying || !*verifying) return 0;
      stopPoint("transfer:verifying");
      // Only a copy stopped part-way leaves temporaries; every copy after
      // the job's first counts a resume.
      return verifyAndFinish(rsync, resumeCount(store_) > 0);
    }
    const std::string said =
        readTail(files().rsyncLog, kErrorTailBytes, logStart ? static_cast<off_t>(*logStart) : 0);
    if (driveGone || !rootsMounted(ctx_, store_)) {
      bestEffort(
          store_.setIfPhase(
              {TransferPhase::kCopying}, TransferPhase::kWaitingForDrive,
              joined({{transfer_keys::kLastError, waitingMessage(ctx_, store_)}}, lastProgress)),
          diagnostics_, "recording the wait for a drive");
    } else if (status == 11 || asciiLower(said).find("no space left") != std::string::npos) {
      bestEffort(
          store_.setIfPhase(
              {TransferPhase::kCopying}, TransferPhase::kFailed,
              joined({{transfer_keys::kLastError, "The destination drive ran out of space."}},
                     lastProgress)),
          diagnostics_, "recording the full destination");
      releaseLock(files());
    } else {
      std::string message = "The copy was interrupted — it will retry automatically.";
      if (std::string cause = copyToolSays(said); !cause.empty()) {
        message += " The copy tool said: " + cause;
      }
      bestEffort(store_.setIfPhase({TransferPhase::kCopying}, TransferPhase::kWaitingForDrive,
                                   joined({{transfer_keys::kLastError, message}}, lastProgress)),
                 diagnostics_, "recording the interrupted copy");
    }
    removeFile(files().supervisorPid);
    return 0;
  }

 private:
  // Runs the checksum comparison and records its outcome: a backup is done,
  // a transfer waits at `copied` for the commit, a mismatch fails the job.
  // `mayHoldTemporaries`: some copy of the job may have been stopped
  // part-way, so its leftovers are looked for first.
  int verifyAndFinish(const std::string& rsync, bool mayHoldTemporaries) {
    if (mayHoldTemporaries) removeOwnTemporaries();
    bool verified = verify(rsync);
    if (gStopRequested) return 0;
    if (verified) {
      const bool backup =
          store_.get(transfer_keys::kKind).value_or(kTransferKindSwitch) == kTransferKindBackup;
      bestEffort(store_.setIfPhase({TransferPhase::kVerifying},
                                   backup ? TransferPhase::kDone : TransferPhase::kCopied,
                                   {{transfer_keys::kLastError, ""}}),
                 diagnostics_, "recording the verified copy");
      removeFile(files().supervisorPid);
      if (backup) releaseLock(files());
    } else if (!rootsMounted(ctx_, store_) || !isDirectory(source_) || !isDirectory(dest_)) {
      // A drive that left during the check says nothing about the copy.
      bestEffort(store_.setIfPhase({TransferPhase::kVerifying}, TransferPhase::kWaitingForDrive,
                                   {{transfer_keys::kLastError, waitingMessage(ctx_, store_)}}),
                 diagnostics_, "recording the wait for a drive");
      removeFile(files().supervisorPid);
    } else {
      bestEffort(
          store_.setIfPhase({TransferPhase::kVerifying}, TransferPhase::kFailed,
                            {{transfer_keys::kLastError,
                              "The copy couldn't be verified. Your current drive is unchanged."}}),
          diagnostics_, "recording the failed check");
      removeFile(files().supervisorPid);
      releaseLock(files());
    }
    stopPoint("transfer:verified");
    return 0;
  }

  const TransferFiles& files() const { return store_.files(); }

  // Runs one rsync to its end, which is seen the moment it comes. While it
  // copies (`copying`), folds progress once a second and stops it when
  // either drive disappears, since a copy into a lazily detached mount would
  // otherwise carry on unseen. The last progress is left to the caller.
  // Returns rsync's exit status (-1 when it could not run or was signalled).
  int runAndWatch(const std::string& rsync, const std::vector<std::string>& args, bool copying,
                  bool* driveGone) {
    platform::ProcessLauncher& launcher = *ctx_.platform.launcher;
    // Bound to this supervisor's life: a copy left running by a supervisor
    // that was killed would write on while a new one starts.
    auto child = launcher.spawn({.path = rsync,
                                 .args = args,
                                 .stdoutTo = OutputTarget::truncate(files().progressLog.string()),
                                 .stderrTo = OutputTarget::append(files().rsyncLog.string()),
                                 .parentDeathSignal = SIGTERM});
    if (!child) {
      ctx_.log.log("transfer: couldn't start rsync: " + child.error().message());
      return -1;
    }
    const int pid = child->pid;
    gChild = pid;
    if (gStopRequested) launcher.signal(pid, SIGTERM);  // a stop that came while starting it
    if (copying) {
      bestEffort(writeFileAtomically(files().copyPid, std::to_string(pid) + "\n"), diagnostics_,
                 "recording the copy's pid file");
    }
    auto nextFold = std::chrono::steady_clock::now() + kFoldInterval;
    std::optional<int> status;
    while (!(status = launcher.exitCodeIfEnded(pid))) {
      const auto now = std::chrono::steady_clock::now();
      if (!copying || now < nextFold) {
        waitForSignal(copying ? nextFold - now : kFoldInterval, waitMask_);
        continue;
      }
      nextFold = now + kFoldInterval;
      recordProgress(progressPairs());
      if (driveGone && !*driveGone && !rootsMounted(ctx_, store_)) {
        *driveGone = true;
        launcher.signal(pid, SIGTERM);
      }
    }
    gChild = 0;
    return *status;
  }

  // The copy's progress as the store keeps it; empty before its first
  // progress line.
  KeyValues progressPairs() const {
    auto progress = foldProgress(readTail(files().progressLog, kProgressTailBytes));
    if (!progress) return {};
    return {{transfer_keys::kBytesDone, progress->bytesDone},
            {transfer_keys::kPercent, progress->percent},
            {transfer_keys::kRate, progress->rate},
            {transfer_keys::kEtaSeconds, std::to_string(progress->etaSeconds)},
            {transfer_keys::kCurrentFile, progress->currentFile},
            {transfer_keys::kUpdatedAt, isots(ctx_.clock())}};
  }

  void recordProgress(const KeyValues& progress) {
    if (progress.empty()) return;
    bestEffort(store_.setIfPhase({TransferPhase::kCopying}, progress), diagnostics_,
               "recording the copy's progress");
  }

  // A copy killed mid-file leaves the file it was writing under a temporary
  // name, which no later copy removes. No copy of this job runs now (each
  // holds the supervisor lock), so those are cleared before the check, which
  // counts anything else the source lacks.
  void removeOwnTemporaries() {
    auto copy = checkedJobCopy(ctx_, store_);
    if (!copy) {
      ctx_.log.log("transfer: an interrupted copy's temporary files were not looked for. " +
                   copy.error());
      return;
    }
    if (copy->empty()) return;
    for (const auto& removed : removeCopyTemporaries(source_, *copy)) {
      ctx_.log.log("transfer: removed " + (*copy / removed).string() +
                   ", which an interrupted copy left");
    }
  }

  bool verify(const std::string& rsync) {
    if (!isDirectory(source_) || !isDirectory(dest_)) return false;
    int status = runAndWatch(rsync, checkArguments(source_, dest_), false, nullptr);
    // The listing went to the progress log, which nothing folds any more.
    auto output = readFile(files().progressLog);
    return status == 0 && output && checksumPassIsClean(*output);
  }

  ServiceContext& ctx_;
  TransferStore store_;
  DiagnosticsLog diagnostics_;
  std::string source_;
  std::string dest_;
  // The signal mask while waiting for the copy: SIGCHLD let through.
  sigset_t waitMask_{};
};

}  // namespace

std::vector<std::string> copyArguments(const std::string& source, const std::string& dest) {
  return {"-aHEX",
          "--partial",
          "--info=progress2",
          "-v",
          "--no-inc-recursive",
          "--exclude=/.hollin-managed",
          source + "/",
          dest + "/"};
}

// A checksum dry run lists nothing left to send and nothing on the
// destination that the source lacks (--delete only lists it here, under
// --dry-run): the copy is verified.
std::vector<std::string> checkArguments(const std::string& source, const std::string& dest) {
  return {"-aHEX",
          "--no-inc-recursive",
          "--checksum",
          "--delete",
          "--dry-run",
          "--itemize-changes",
          "--exclude=/.hollin-managed",
          source + "/",
          dest + "/"};
}

std::string copyToolSays(std::string_view tail) {
  std::string specific, summary;
  for (std::string_view line : splitLines(tail)) {
    if (line.starts_with("rsync: ")) specific = line;
    if (line.starts_with("rsync error: ")) summary = line;
  }
  return specific.empty() ? summary : specific;
}

int superviseTransfer(ServiceContext& ctx) { return Supervisor(ctx).run(); }

}  // namespace brimvale::service
