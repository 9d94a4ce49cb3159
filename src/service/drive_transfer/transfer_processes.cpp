#include "service/drive_transfer/transfer_processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

#include <algorithm>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/stop_point.h"
#include "service/drive_transfer/transfer_job_state.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

// How long a stop waits for the supervisor and its copy to end, before
// (cancel only) killing them, so nothing writes while cancel deletes.
constexpr auto kStopWait = std::chrono::seconds(10);
constexpr auto kKillWait = std::chrono::seconds(5);
constexpr auto kPollStep = std::chrono::milliseconds(50);

std::optional<int> readPid(const fs::path& file) {
  auto text = readFile(file);
  if (!text) return std::nullopt;
  try {
    long long pid = std::stoll(*text);
    if (pid > 1) return static_cast<int>(pid);
  } catch (...) {
  }
  return std::nullopt;
}

}  // namespace

JobProcesses::JobProcesses(ServiceContext& ctx, std::string serviceProgram)
    : ctx_(ctx), store_(storeOf(ctx)), serviceProgram_(std::move(serviceProgram)) {}

Result<int> JobProcesses::launchSupervisor() {
  const TransferFiles& files = store_.files();
  if (serviceProgram_.empty()) return fail(Errc::kLaunchFailed, "this program's path is unknown");
  // The lock is taken here and handed over, so no moment exists at which a
  // second launch could find it free: while any supervisor of the job (or
  // its copy) lives, nothing is launched.
  int lockFd = open(files.supervisorLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) {
    return std::unexpected(errnoError("open " + files.supervisorLock.string(), errno));
  }
  if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(lockFd);
    return fail(Errc::kUnavailable, "a supervisor of this transfer is still running");
  }
  std::vector<std::string> args{"__xfer-supervise"};
  for (std::string& armed : armedStopPointOptions()) args.push_back(std::move(armed));
  const std::string log = files.rsyncLog.string();
  // Detached by a double fork: the caller (often the long-lived watch loop)
  // is left no child to reap, and the copy outlives the command that started
  // it. Its own session ignoring hang-ups keeps a closing terminal from
  // ending it.
  auto launched =
      ctx_.platform.launcher->spawn({.path = serviceProgram_,
                                     .args = std::move(args),
                                     .stdoutTo = OutputTarget::append(log),
                                     .stderrTo = OutputTarget::append(log),
                                     .handOver = HandedDescriptor{lockFd, kSupervisorLockFd},
                                     .grouping = Grouping::kNewSession,
                                     .detachment = Detachment::kDoubleFork,
                                     .hangUp = HangUp::kIgnore});
  close(lockFd);  // the supervisor holds the lock now (or nobody, when it failed to start)
  if (!launched) return std::unexpected(launched.error());
  const DiagnosticsLog diagnostics(ctx_.paths.diagnosticsLog, ctx_.clock);
  bestEffort(writeFileAtomically(files.supervisorPid, std::to_string(launched->pid) + "\n"),
             diagnostics, "recording the supervisor's pid file");
  bestEffort(store_.set({{transfer_keys::kPid, std::to_string(launched->pid)}}), diagnostics,
             "recording the supervisor's pid");
  return launched->pid;
}

bool JobProcesses::isJobProcess(int pid, const std::string& program, bool lockHeld) {
  // The lock answers for processes that inherited it whatever their command
  // line (a copy tool behind a wrapper, a system without /proc).
  return ctx_.platform.launcher->runsProgram(pid, program) ||
         (lockHeld && ctx_.platform.launcher->isAlive(pid));
}

bool JobProcesses::supervisorRuns() {
  if (supervisorAlive(store_.files())) return true;
  auto pid = readPid(store_.files().supervisorPid);
  return pid && isJobProcess(*pid, serviceProgram_, false);
}

bool JobProcesses::supervisorEnded(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (supervisorRuns()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}

void JobProcesses::stop(StopEscalation escalation) {
  const TransferFiles& files = store_.files();
  platform::ProcessLauncher& launcher = *ctx_.platform.launcher;
  const bool lockHeld = supervisorAlive(files);
  const std::string copyProgram = store_.get("rsyncBin").value_or("");
  std::vector<int> pids;
  for (const auto& [file, program] :
       {std::pair{files.supervisorPid, serviceProgram_}, std::pair{files.copyPid, copyProgram}}) {
    if (auto pid = readPid(file); pid && isJobProcess(*pid, program, lockHeld)) {
      launcher.signal(*pid, SIGTERM);
      pids.push_back(*pid);
    }
  }
  auto running = [&] {
    return supervisorAlive(files) ||
           std::any_of(pids.begin(), pids.end(), [&](int p) { return launcher.isAlive(p); });
  };
  auto waitFor = [&](auto limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(kPollStep);
    }
  };
  waitFor(kStopWait);
  if (escalation == StopEscalation::kKillAfterWait && running()) {
    for (int p : pids) {
      if (launcher.isAlive(p)) launcher.signal(p, SIGKILL);
    }
    waitFor(kKillWait);
  }
}

std::string ownExecutable() {
#ifdef __APPLE__
  char buf[4096];
  uint32_t size = sizeof buf;
  if (_NSGetExecutablePath(buf, &size) != 0) return {};
  return canonicalPath(buf).value_or(fs::path(buf)).string();
#else
  return readSymlink("/proc/self/exe").value_or(fs::path()).string();
#endif
}

bool holdSupervisorLock(const TransferFiles& files) {
  struct stat inherited {
  }, lockFile{};
  if (fstat(kSupervisorLockFd, &inherited) == 0 &&
      stat(files.supervisorLock.c_str(), &lockFile) == 0 && inherited.st_dev == lockFile.st_dev &&
      inherited.st_ino == lockFile.st_ino) {
    return flock(kSupervisorLockFd, LOCK_EX | LOCK_NB) == 0;  // already ours
  }
  int fd = open(files.supervisorLock.c_str(), O_RDWR | O_CREAT, 0600);  // left open on purpose
  return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

}  // namespace brimvale::service
