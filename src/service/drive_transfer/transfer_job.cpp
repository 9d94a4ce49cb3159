#include "service/drive_transfer/transfer_job.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <thread>

#include "common/base/disk_usage.h"
#include "common/base/file_io.h"
#include "common/base/json_writer.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/path_policy.h"
#include "service/core/marker_file.h"
#include "service/drive_transfer/transfer_progress.h"
#include "service/drive_transfer/transfer_store.h"
#include "service/drives/drive_assessment.h"
#include "service/drives/drive_commands.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kWaitingForDrive = "Waiting for the drive to reconnect.";
constexpr std::string_view kCancelled = "Transfer cancelled. Your current drive is unchanged.";
constexpr std::string_view kSwitchFailed =
    "The switch couldn't be completed. Your old drive still has everything — nothing was "
    "deleted.";
constexpr std::size_t kProgressTailBytes = 200'000;
constexpr std::size_t kErrorTailBytes = 8'192;
constexpr long long kMaxResumes = 20;
// How long pause and cancel wait for the supervisor and its copy to stop
// before they go on (cancel then kills them, so nothing writes while it deletes).
constexpr auto kStopWait = std::chrono::seconds(10);
constexpr auto kKillWait = std::chrono::seconds(5);
constexpr auto kLeaveWait = std::chrono::seconds(3);
// Where a launched supervisor finds the supervisor lock its launcher took.
constexpr int kSupervisorLockFd = 3;

TransferStore storeOf(const ServiceContext& ctx) {
  return TransferStore(TransferFiles::in(ctx.paths.state));
}

bool isDirectory(const fs::path& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

void removeFile(const fs::path& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

std::optional<pid_t> readPid(const fs::path& file) {
  auto text = readFile(file);
  if (!text) return std::nullopt;
  try {
    long long pid = std::stoll(*text);
    if (pid > 1) return static_cast<pid_t>(pid);
  } catch (...) {
  }
  return std::nullopt;
}

bool processAlive(pid_t pid) {
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
#ifdef __linux__
  // A dead process its parent has not reaped yet still answers kill(0).
  auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat) {
    std::size_t close = stat->rfind(')');
    if (close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] == 'Z') {
      return false;
    }
  }
#endif
  return true;
}

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

std::string ownExecutable() {
#ifdef __APPLE__
  char buf[4096];
  uint32_t size = sizeof buf;
  if (_NSGetExecutablePath(buf, &size) != 0) return {};
  std::error_code ec;
  fs::path resolved = fs::canonical(buf, ec);
  return ec ? std::string(buf) : resolved.string();
#else
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
#endif
}

void releaseLock(const TransferFiles& files) {
  std::error_code ec;
  fs::remove_all(files.lock, ec);
}

// Waits at most `limit` for every holder of the supervisor lock to end.
bool supervisorEnded(const TransferFiles& files, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (supervisorAlive(files)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Sends SIGTERM to the supervisor and the copy and waits until every process
// holding the supervisor lock has ended; when `escalate` is set and they
// outlive the wait, kills them and waits again.
void stopJobProcesses(const TransferFiles& files, bool escalate) {
  std::vector<pid_t> pids;
  for (const fs::path& file : {files.supervisorPid, files.copyPid}) {
    if (auto pid = readPid(file); pid && processAlive(*pid)) {
      kill(*pid, SIGTERM);
      pids.push_back(*pid);
    }
  }
  auto running = [&] {
    return supervisorAlive(files) ||
           std::any_of(pids.begin(), pids.end(), [](pid_t p) { return processAlive(p); });
  };
  auto waitFor = [&](auto limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  waitFor(kStopWait);
  if (escalate && running()) {
    for (pid_t p : pids) {
      if (processAlive(p)) kill(p, SIGKILL);
    }
    waitFor(kKillWait);
  }
}

// Starts `program __xfer-supervise` detached: a new session that ignores
// hang-ups, its output appended to transfer-rsync.log. The double fork
// leaves no child for the caller (the watch loop) to reap. The supervisor
// lock is taken here and handed over on fd 3, so no moment exists at which a
// second launch could find it free; while any supervisor of the job (or its
// copy) lives, nothing is launched. A test build passes its stop point on.
Result<pid_t> launchSupervisor(ServiceContext& ctx, const std::string& program) {
  TransferStore store = storeOf(ctx);
  const TransferFiles& files = store.files();
  if (program.empty()) return fail(Errc::kLaunchFailed, "this program's path is unknown");
  int opened = open(files.supervisorLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (opened < 0) {
    return std::unexpected(errnoError("open " + files.supervisorLock.string(), errno));
  }
  // Above the descriptors the child sets up, so its dup2 to fd 3 is a real copy.
  int lockFd = fcntl(opened, F_DUPFD_CLOEXEC, 10);
  close(opened);
  if (lockFd < 0) return std::unexpected(errnoError("fcntl", errno));
  if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(lockFd);
    return fail(Errc::kUnavailable, "a supervisor of this transfer is still running");
  }
  const std::string logPath = files.rsyncLog.string();
  std::vector<std::string> words{program, "__xfer-supervise"};
  if (std::string stop = armedStopPointOption(); !stop.empty()) words.push_back(stop);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int pipefd[2];
  if (pipe(pipefd) != 0) {
    close(lockFd);
    return std::unexpected(errnoError("pipe", errno));
  }
  pid_t first = fork();
  if (first < 0) {
    close(lockFd);
    close(pipefd[0]);
    close(pipefd[1]);
    return std::unexpected(errnoError("fork", errno));
  }
  if (first == 0) {
    close(pipefd[0]);
    setsid();
    signal(SIGHUP, SIG_IGN);
    pid_t second = fork();
    if (second == 0) {
      close(pipefd[1]);
      int in = open("/dev/null", O_RDONLY);
      int log = open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
      if (in >= 0) dup2(in, 0);
      if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
      }
      dup2(lockFd, kSupervisorLockFd);  // the copy made by dup2 survives exec
      execv(argv[0], argv.data());
      _exit(127);
    }
    (void)!write(pipefd[1], &second, sizeof second);
    _exit(second > 0 ? 0 : 1);
  }
  close(pipefd[1]);
  pid_t supervisor = -1;
  ssize_t n = read(pipefd[0], &supervisor, sizeof supervisor);
  close(pipefd[0]);
  int status = 0;
  waitpid(first, &status, 0);
  close(lockFd);  // the supervisor holds the lock now
  if (n != sizeof supervisor || supervisor <= 0) {
    return fail(Errc::kLaunchFailed, "could not start the transfer supervisor");
  }
  (void)writeFileAtomically(files.supervisorPid, std::to_string(supervisor) + "\n");
  (void)store.set({{"pid", std::to_string(supervisor)}});
  return supervisor;
}

struct Preflight {
  std::string verdict;
  std::string assessVerdict;
  std::uint64_t freeBytes = 0;
  std::uint64_t sourceBytes = 0;
  bool destHasStor = false;
  std::vector<std::string> reasons;
};

Preflight preflight(ServiceContext& ctx, const fs::path& dest) {
  Preflight p;
  platform::DriveInfo info = ctx.platform.drives->info(dest.string());
  p.assessVerdict = assessDrive(info, ctx.cfg()).verdict;
  const fs::path source = ctx.cfg().base();
  p.sourceBytes = diskUsageBytes(source).value_or(0);
  p.freeBytes = info.freeMiB * 1'048'576ull;
  const fs::path destWorking = dest / ctx.workingFolderName();
  std::error_code ec;
  p.destHasStor = fs::exists(destWorking, ec);
  p.verdict = p.assessVerdict;
  if (p.destHasStor) {
    p.verdict = "block";
    p.reasons.push_back(
        "This drive already has a Brimvale folder for this Mac. Choose a different drive.");
  }
  // Copying a folder into itself never ends and fills the drive.
  const std::string src = source.lexically_normal().string() + "/";
  if ((destWorking.lexically_normal().string() + "/").starts_with(src)) {
    p.verdict = "block";
    p.reasons.push_back(
        "The destination is inside your current drive's Brimvale folder. Choose a different "
        "drive.");
  }
  if (p.sourceBytes > 0 && p.freeBytes < p.sourceBytes + p.sourceBytes / 20) {
    p.verdict = "block";
    p.reasons.push_back(
        "Not enough free space on the destination drive for everything on your current drive.");
  }
  return p;
}

// A drive root as the mount table spells it (a job stored before roots were
// normalised may carry a trailing slash).
bool rootMounted(ServiceContext& ctx, const TransferStore& store, std::string_view key) {
  const std::string root = store.get(key).value_or("");
  return ctx.platform.mounts->isMountedAt(normalisedAbsolute(root).value_or(root).string());
}

bool rootsMounted(ServiceContext& ctx, const TransferStore& store) {
  return rootMounted(ctx, store, "sourceRoot") && rootMounted(ctx, store, "destRoot");
}

long long resumeCount(const TransferStore& store) {
  try {
    return std::stoll(store.get("resumeCount").value_or("0"));
  } catch (...) {
    return 0;
  }
}

// "Waiting for the drive to reconnect.", followed by the real cause when both
// drives are connected and it is a working folder that is missing.
std::string waitingMessage(ServiceContext& ctx, const TransferStore& store) {
  std::string message(kWaitingForDrive);
  if (!rootsMounted(ctx, store)) return message;
  for (std::string_view key : {"sourceWorking", "destWorking"}) {
    const std::string folder = store.get(key).value_or("");
    if (!isDirectory(folder)) {
      return message + " The folder " + folder + " is missing, although its drive is connected.";
    }
  }
  return message;
}

// The copy tool's own account of what went wrong, from what it wrote to
// `tail`: its last specific error line ("rsync: ..."), else its summary
// ("rsync error: ..."); empty when none.
std::string copyToolSays(std::string_view tail) {
  std::string specific, summary;
  for (std::string_view line : splitLines(tail)) {
    if (line.starts_with("rsync: ")) specific = line;
    if (line.starts_with("rsync error: ")) summary = line;
  }
  return specific.empty() ? summary : specific;
}

// Where a cancel may delete the job's copy: exactly this Mac's working folder
// directly on the job's destination drive, which must be mounted and must not
// be the current drive, checked by the path policy and carrying the marker a
// transfer writes. Read from a file anyone could have edited, so nothing in
// it is taken on trust. An empty path: there is nothing to delete. Otherwise
// the refusal sentence.
std::expected<fs::path, std::string> copyToDelete(ServiceContext& ctx, const TransferStore& store) {
  const std::string stored = store.get("destWorking").value_or("");
  std::error_code ec;
  if (stored.empty() || !fs::exists(fs::symlink_status(stored, ec))) return fs::path();
  auto refuse = [&stored](const std::string& why) {
    return std::unexpected("Brimvale did not delete " + stored + " because " + why +
                           ". Nothing there was changed.");
  };
  if (fs::is_symlink(fs::symlink_status(stored, ec))) {
    return refuse("it is a symbolic link, not the folder the transfer made");
  }
  const std::string storedRoot = store.get("destRoot").value_or("");
  const auto destRoot = normalisedAbsolute(storedRoot);
  const auto destWorking = normalisedAbsolute(stored);
  if (!destRoot || !destWorking) return refuse("the transfer's record of it is not a full path");
  if (*destWorking != *destRoot / ctx.workingFolderName()) {
    return refuse("it is not this Mac's Brimvale folder directly on the destination drive " +
                  storedRoot);
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

// Points the configuration at the job's destination and ends the job; the
// switch is never undone. When it fails the job goes back to `copied`, still
// holding the lock, with the cause in lastError, so the switch can be retried.
// Returns that sentence, or nothing on success. Runs under the control lock.
std::optional<std::string> switchToDestination(ServiceContext& ctx, TransferStore& store) {
  const std::string destRoot = store.get("destRoot").value_or("");
  auto failed = [&store](std::string cause) {
    if (cause.starts_with("ERROR: ")) cause.erase(0, 7);
    if (!cause.empty()) {
      cause[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(cause[0])));
    }
    std::string sentence =
        std::string(kSwitchFailed) + " " + cause + " Try finishing the switch again.";
    (void)store.set({{"phase", "copied"}, {"lastError", sentence}});
    return sentence;
  };
  if (!ctx.config && !loadConfig(ctx)) {
    return failed("The configuration couldn't be read.");
  }
  DriveSelection selected = selectDrive(ctx, destRoot, ParkedGuard::kBypass);
  if (selected.exitCode != 0) return failed(selected.problem);
  stopPoint("transfer:switched");
  (void)store.set({{"phase", "done"}, {"lastError", ""}});
  removeFile(store.files().supervisorPid);
  removeFile(store.files().copyPid);
  releaseLock(store.files());
  return std::nullopt;
}

// --- the supervisor -------------------------------------------------------

volatile sig_atomic_t gStopRequested = 0;
volatile pid_t gChild = 0;

void forwardStop(int) {
  gStopRequested = 1;
  if (gChild > 0) kill(gChild, SIGTERM);
}

// Starts `bin args` with standard output to `outFile` (truncated) and errors
// appended to `errFile`. On Linux the child is bound to this process's life,
// so a copy never outlives its supervisor.
Result<pid_t> spawnChild(const std::string& bin, const std::vector<std::string>& args,
                         const fs::path& outFile, const fs::path& errFile) {
  std::vector<std::string> words{bin};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::string out = outFile.string(), err = errFile.string();
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return std::unexpected(errnoError("fork", errno));
  if (pid == 0) {
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(143);  // the supervisor died before the line above
#else
    (void)parent;
#endif
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in < 0 || o < 0 || e < 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Holds the supervisor lock for the rest of this process's life (and its
// copy's, which inherits it): the one its launcher handed over on fd 3, or,
// for a supervisor started some other way, taken here. False when another
// supervisor holds it.
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

class Supervisor {
 public:
  explicit Supervisor(ServiceContext& ctx) : ctx_(ctx), store_(storeOf(ctx)) {}

  int run() {
    struct sigaction sa {};
    sa.sa_handler = forwardStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    if (!holdSupervisorLock(files())) {
      ctx_.log.log("transfer: another supervisor of this transfer is running; this one stops");
      return 0;
    }
    std::string rsync = ctx_.rsyncPath();
    const std::string stored = store_.get("rsyncBin").value_or("");
    if (rsync.empty() && !stored.empty() && access(stored.c_str(), X_OK) == 0) rsync = stored;
    if (rsync.empty()) {
      (void)store_.setIfPhase(
          {"copying", "verifying"},
          {{"phase", "failed"},
           {"lastError", "A required copy tool (rsync) wasn't found. Install it and try again."}});
      removeFile(files().supervisorPid);
      releaseLock(files());
      return 0;
    }
    source_ = store_.get("sourceWorking").value_or("");
    dest_ = store_.get("destWorking").value_or("");
    if (!isDirectory(source_) || !isDirectory(dest_)) {
      (void)store_.setIfPhase(
          {"copying", "verifying"},
          {{"phase", "waitingForDrive"}, {"lastError", waitingMessage(ctx_, store_)}});
      removeFile(files().supervisorPid);
      return 0;
    }
    // A supervisor that died while checking the copy left it finished: check it again.
    if (store_.phase() == "verifying") return verifyAndFinish(rsync);
    auto started = store_.setIfPhase({"copying"}, {{"phase", "copying"}, {"lastError", ""}});
    if (!started || !*started) return 0;  // paused or cancelled before we got going
    stopPoint("transfer:copying");

    // Earlier runs' errors stay in the log; only this run's explain its end.
    std::error_code ec;
    const auto logStart = static_cast<off_t>(fs::file_size(files().rsyncLog, ec));
    bool driveGone = false;
    int status = runAndWatch(rsync,
                             {"-aHEX", "--partial", "--info=progress2", "-v", "--no-inc-recursive",
                              "--exclude=/.hollin-managed", source_ + "/", dest_ + "/"},
                             true, &driveGone);
    removeFile(files().copyPid);
    if (gStopRequested) return 0;
    const std::string phase = store_.phase();
    if (phase == "paused") {
      removeFile(files().supervisorPid);
      return 0;
    }
    if (phase != "copying") return 0;

    if (status == 0 && !driveGone && rootsMounted(ctx_, store_)) {
      auto verifying = store_.setIfPhase({"copying"}, {{"phase", "verifying"}});
      if (!verifying || !*verifying) return 0;
      stopPoint("transfer:verifying");
      return verifyAndFinish(rsync);
    }
    const std::string said = readTail(files().rsyncLog, kErrorTailBytes, ec ? 0 : logStart);
    if (driveGone || !rootsMounted(ctx_, store_)) {
      (void)store_.setIfPhase(
          {"copying"}, {{"phase", "waitingForDrive"}, {"lastError", waitingMessage(ctx_, store_)}});
    } else if (status == 11 || asciiLower(said).find("no space left") != std::string::npos) {
      (void)store_.setIfPhase(
          {"copying"},
          {{"phase", "failed"}, {"lastError", "The destination drive ran out of space."}});
      releaseLock(files());
    } else {
      std::string message = "The copy was interrupted — it will retry automatically.";
      if (std::string cause = copyToolSays(said); !cause.empty()) {
        message += " The copy tool said: " + cause;
      }
      (void)store_.setIfPhase({"copying"}, {{"phase", "waitingForDrive"}, {"lastError", message}});
    }
    removeFile(files().supervisorPid);
    return 0;
  }

 private:
  // Runs the checksum comparison and records its outcome: a backup is done,
  // a transfer waits at `copied` for the commit, a mismatch fails the job.
  int verifyAndFinish(const std::string& rsync) {
    bool verified = verify(rsync);
    if (gStopRequested) return 0;
    if (verified) {
      const bool backup = store_.get("kind").value_or("transfer") == "backup";
      (void)store_.setIfPhase({"verifying"},
                              {{"phase", backup ? "done" : "copied"}, {"lastError", ""}});
      removeFile(files().supervisorPid);
      if (backup) releaseLock(files());
    } else if (!rootsMounted(ctx_, store_) || !isDirectory(source_) || !isDirectory(dest_)) {
      // A drive that left during the check says nothing about the copy.
      (void)store_.setIfPhase({"verifying"}, {{"phase", "waitingForDrive"},
                                              {"lastError", waitingMessage(ctx_, store_)}});
      removeFile(files().supervisorPid);
    } else {
      (void)store_.setIfPhase(
          {"verifying"},
          {{"phase", "failed"},
           {"lastError", "The copy couldn't be verified. Your current drive is unchanged."}});
      removeFile(files().supervisorPid);
      releaseLock(files());
    }
    stopPoint("transfer:verified");
    return 0;
  }

  const TransferFiles& files() const { return store_.files(); }

  // Runs one rsync to its end. While it copies (`copying`), folds progress
  // once a second and stops it when either drive disappears, since a copy
  // into a lazily detached mount would otherwise carry on unseen.
  // Returns rsync's exit status (-1 when it could not run or was signalled).
  int runAndWatch(const std::string& rsync, const std::vector<std::string>& args, bool copying,
                  bool* driveGone) {
    auto child = spawnChild(rsync, args, files().progressLog, files().rsyncLog);
    if (!child) {
      ctx_.log.log("transfer: couldn't start rsync: " + child.error().message());
      return -1;
    }
    gChild = *child;
    if (gStopRequested) kill(*child, SIGTERM);  // a stop that came while forking
    if (copying) (void)writeFileAtomically(files().copyPid, std::to_string(*child) + "\n");
    auto lastFold = std::chrono::steady_clock::now();
    int status = 0;
    while (true) {
      pid_t done = waitpid(*child, &status, WNOHANG);
      if (done == *child || (done < 0 && errno != EINTR)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!copying || std::chrono::steady_clock::now() - lastFold < std::chrono::seconds(1)) {
        continue;
      }
      lastFold = std::chrono::steady_clock::now();
      fold();
      if (driveGone && !*driveGone && !rootsMounted(ctx_, store_)) {
        *driveGone = true;
        kill(*child, SIGTERM);
      }
    }
    gChild = 0;
    if (copying) fold();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void fold() {
    auto progress = foldProgress(readTail(files().progressLog, kProgressTailBytes));
    if (!progress) return;
    (void)store_.setIfPhase({"copying"}, {{"bytesDone", progress->bytesDone},
                                          {"percent", progress->percent},
                                          {"rate", progress->rate},
                                          {"etaSeconds", std::to_string(progress->etaSeconds)},
                                          {"currentFile", progress->currentFile},
                                          {"updatedAt", isots(ctx_.clock())}});
  }

  // A checksum dry run lists nothing left to send: the copy is verified.
  bool verify(const std::string& rsync) {
    if (!isDirectory(source_) || !isDirectory(dest_)) return false;
    int status =
        runAndWatch(rsync,
                    {"-aHEX", "--no-inc-recursive", "--checksum", "--dry-run", "--itemize-changes",
                     "--exclude=/.hollin-managed", source_ + "/", dest_ + "/"},
                    false, nullptr);
    // The listing went to the progress log, which nothing folds any more.
    auto output = readFile(files().progressLog);
    return status == 0 && output && checksumPassIsClean(*output);
  }

  ServiceContext& ctx_;
  TransferStore store_;
  std::string source_;
  std::string dest_;
};

}  // namespace

int transferCheckCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  const std::string dest = args.empty() ? "" : args[0];
  if (!isDirectory(dest)) {
    ctx.out << "{\"verdict\":\"block\",\"reasons\":[\"The destination drive isn't "
               "available.\"],\"warnings\":[],\"freeBytes\":0,\"sourceBytes\":0,"
               "\"destHasStor\":false,\"assessVerdict\":\"block\"}\n";
    return 1;
  }
  Preflight p = preflight(ctx, dest);
  JsonObjectWriter w;
  w.string("verdict", p.verdict)
      .string("assessVerdict", p.assessVerdict)
      .number("freeBytes", p.freeBytes)
      .number("sourceBytes", p.sourceBytes)
      .boolean("destHasStor", p.destHasStor)
      .raw("reasons", jsonStringArray(p.reasons))
      .raw("warnings", "[]");
  ctx.out << w.str() << "\n";
  return 0;
}

int transferStartCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3 ||
      (args.size() == 3 && args[0] != "transfer" && args[0] != "backup")) {
    ctx.err << "usage: brim-vale transfer-start [transfer|backup] <destination> <consent>\n";
    return 2;
  }
  const std::string kind = args.size() == 3 ? args[0] : "transfer";
  // "/Volumes/X/" is the drive mounted at "/Volumes/X": the job keeps the
  // spelling the mount table and select-drive use.
  const std::string given = args[args.size() - 2];
  const fs::path dest = normalisedAbsolute(given).value_or(fs::path(given));
  const std::string& consent = args.back();
  if (consent != "1" && consent != "yes" && consent != "true") {
    ctx.out << "Start was not confirmed.\n";
    return 1;
  }
  if (!isDirectory(dest)) {
    ctx.out << "The destination drive isn't available.\n";
    return 1;
  }
  TransferStore store = storeOf(ctx);
  const TransferFiles& files = store.files();
  if (mkdir(files.lock.c_str(), 0700) != 0) {
    const std::string phase = store.phase();
    const bool stale = errno == EEXIST &&
                       (phase.empty() || phase == "idle" || phase == "done" || phase == "failed");
    if (!stale || (releaseLock(files), mkdir(files.lock.c_str(), 0700) != 0)) {
      ctx.out << "A transfer is already in progress.\n";
      return 1;
    }
  }
  if (preflight(ctx, dest).verdict == "block") {
    releaseLock(files);
    ctx.out << "The destination can't be used right now.\n";
    return 1;
  }
  const std::string storName = ctx.workingFolderName();
  const fs::path sourceRoot = ctx.cfg().nvme();
  const fs::path sourceWorking = ctx.cfg().base();
  const fs::path destWorking = dest / storName;
  const std::string sourceUuid = ctx.platform.drives->info(sourceRoot.string()).uuid;
  const std::string destUuid = ctx.platform.drives->info(dest.string()).uuid;
  std::error_code ec;
  fs::create_directories(destWorking, ec);
  if (ec) {
    releaseLock(files);
    ctx.out << "Couldn't create the destination folder.\n";
    return 1;
  }
  if (!fs::exists(destWorking / kMarkerFileName, ec)) {
    (void)writeMarker(ctx, destWorking, destUuid, {{"created_by", "transfer"}});
  }
  const std::string total = std::to_string(diskUsageBytes(sourceWorking).value_or(0));
  const std::string now = isots(ctx.clock());
  // Measuring and preflight above may take long; the lock is needed only from here.
  TransferControl control(files);
  auto written = store.reset({{"version", "1"},
                              {"kind", kind},
                              {"phase", "copying"},
                              {"sourceRoot", sourceRoot.string()},
                              {"destRoot", dest.string()},
                              {"storName", storName},
                              {"sourceWorking", sourceWorking.string()},
                              {"destWorking", destWorking.string()},
                              {"sourceVolumeUUID", sourceUuid},
                              {"destVolumeUUID", destUuid},
                              {"rsyncBin", ctx.rsyncPath()},
                              {"bytesDone", "0"},
                              {"bytesTotal", total},
                              {"percent", "0"},
                              {"rate", ""},
                              {"etaSeconds", "0"},
                              {"currentFile", ""},
                              {"pid", "0"},
                              {"startedAt", now},
                              {"updatedAt", now},
                              {"lastError", ""},
                              {"consent", "1"},
                              {"resumeCount", "0"}});
  if (!written) {
    releaseLock(files);
    ctx.out << "Couldn't save the transfer's state, so it was not started. Your current drive is "
               "unchanged. "
            << written.error().message() << "\n";
    return 1;
  }
  ctx.log.say("Transfer (" + kind + ") started: " + sourceWorking.string() + " -> " +
              destWorking.string());
  // The supervisor of a job that just ended may still be on its way out.
  (void)supervisorEnded(files, kLeaveWait);
  if (auto launched = launchSupervisor(ctx, ownExecutable()); !launched) {
    ctx.log.log("transfer: " + launched.error().message());
  }
  ctx.out << "Transfer started.\n";
  return 0;
}

int transferStatusCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  auto json = readFile(storeOf(ctx).files().json);
  ctx.out << (json ? *json : std::string("{\"phase\":\"idle\"}\n"));
  return 0;
}

int transferPauseCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  TransferStore store = storeOf(ctx);
  TransferControl control(store.files());
  auto paused = store.setIfPhase({"copying", "waitingForDrive"},
                                 {{"phase", "paused"}, {"lastError", "Paused."}});
  if (!paused || !*paused) {
    ctx.out << "No transfer is running.\n";
    return 0;
  }
  // Waiting here, under the control lock, means a resume can never meet the old copy.
  stopJobProcesses(store.files(), false);
  removeFile(store.files().supervisorPid);
  ctx.out << "Transfer paused.\n";
  return 0;
}

int transferResumeCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  TransferStore store = storeOf(ctx);
  const TransferFiles& files = store.files();
  TransferControl control(files);
  if (store.phase() != "paused") {
    ctx.out << "No paused transfer to resume.\n";
    return 0;
  }
  if (supervisorAlive(files)) {
    ctx.out << "The transfer is still stopping, so it wasn't resumed yet. Your current drive is "
               "unchanged; try resuming again in a moment.\n";
    return 1;
  }
  const long long resumes = resumeCount(store);
  auto resumed = store.setIfPhase(
      {"paused"},
      {{"phase", "copying"}, {"lastError", ""}, {"resumeCount", std::to_string(resumes + 1)}});
  if (!resumed || !*resumed) {
    ctx.out << "No paused transfer to resume.\n";
    return 0;
  }
  if (auto launched = launchSupervisor(ctx, ownExecutable()); !launched) {
    ctx.log.log("transfer: " + launched.error().message());
    (void)store.setIfPhase(
        {"copying"},
        {{"phase", "paused"}, {"lastError", "Paused."}, {"resumeCount", std::to_string(resumes)}});
    ctx.out << "The transfer couldn't be restarted, so it stays paused. Your current drive is "
               "unchanged; try resuming again. "
            << launched.error().message() << "\n";
    return 1;
  }
  ctx.out << "Transfer resumed.\n";
  return 0;
}

int cancelTransfer(ServiceContext& ctx, CancelConsent consent, std::istream& in) {
  TransferStore store = storeOf(ctx);
  const TransferFiles& files = store.files();
  TransferControl control(files);
  const std::string phase = store.phase();
  if (!store.exists() || phase.empty() || phase == "idle" || phase == "done") {
    ctx.out << "No transfer to cancel.\n";
    return 0;
  }
  if (phase == "switching") {
    ctx.out << "The switch to the new drive has already begun, so the transfer can't be cancelled "
               "now. Nothing was deleted; Brimvale finishes the switch on its own.\n";
    return 1;
  }
  auto toDelete = copyToDelete(ctx, store);
  // A verified copy may already be where the app points its links.
  if (phase == "copied" && toDelete && !toDelete->empty() && consent != CancelConsent::kGiven) {
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
  (void)store.set({{"phase", "cancelling"}});
  stopJobProcesses(files, true);
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
  (void)store.set({{"phase", "failed"},
                   {"lastError", leftOver.empty() ? std::string(kCancelled)
                                                  : std::string(kCancelled) + " " + leftOver}});
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

int transferCommitCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  TransferStore store = storeOf(ctx);
  TransferControl control(store.files());
  if (store.phase() != "copied") {
    ctx.out << "Transfer is not ready to finalise.\n";
    return 1;
  }
  const std::string destRoot = store.get("destRoot").value_or("");
  if (destRoot.empty()) {
    ctx.out << "Missing destination.\n";
    return 1;
  }
  // Never point the configuration at an empty mount point.
  const std::string destWorking = store.get("destWorking").value_or("");
  if (!rootMounted(ctx, store, "destRoot") || !isDirectory(destWorking)) {
    std::string sentence = std::string(kSwitchFailed) + " The new drive isn't connected at " +
                           destRoot + "; connect it and try finishing the switch again.";
    (void)store.set({{"lastError", sentence}});
    ctx.out << sentence << "\n";
    return 1;
  }
  (void)store.set({{"phase", "switching"}});
  stopPoint("transfer:switching");
  if (auto problem = switchToDestination(ctx, store)) {
    ctx.out << *problem << "\n";
    return 1;
  }
  ctx.out << "Transfer complete. Now using " << destRoot << ".\n";
  return 0;
}

int transferSuperviseCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  return Supervisor(ctx).run();
}

void transferTick(ServiceContext& ctx) { transferTick(ctx, ownExecutable()); }

void transferTick(ServiceContext& ctx, const std::string& serviceProgram) {
  TransferStore store = storeOf(ctx);
  if (!store.exists()) return;
  const TransferFiles& files = store.files();
  TransferControl control(files);
  const std::string phase = store.phase();
  if (phase == "switching") {
    // The commit switches under the control lock: seen here, it died midway.
    const std::string destRoot = store.get("destRoot").value_or("");
    ctx.log.say("Finishing the interrupted switch to " + destRoot + ".");
    if (auto problem = switchToDestination(ctx, store)) {
      ctx.log.log("transfer: " + *problem);
    } else {
      ctx.log.say("Transfer complete. Now using " + destRoot + ".");
    }
    return;
  }
  if (phase != "copying" && phase != "waitingForDrive" && phase != "verifying") return;
  if (supervisorAlive(files)) {
    // Waiting for the drive is a supervisor's last record before it ends:
    // give it (and its copy's helpers) a moment to finish leaving.
    if (phase != "waitingForDrive" || !supervisorEnded(files, kLeaveWait)) return;
  }
  const bool present = rootsMounted(ctx, store) &&
                       isDirectory(store.get("sourceWorking").value_or("")) &&
                       isDirectory(store.get("destWorking").value_or(""));
  if (!present) {
    (void)store.setIfPhase(
        {"copying", "waitingForDrive", "verifying"},
        {{"phase", "waitingForDrive"}, {"lastError", waitingMessage(ctx, store)}});
    return;
  }
  const long long count = resumeCount(store);
  if (count >= kMaxResumes) {
    (void)store.setIfPhase(
        {"copying", "waitingForDrive", "verifying"},
        {{"phase", "failed"},
         {"lastError",
          "The transfer kept failing and was stopped. Your current drive is unchanged."}});
    removeFile(files.supervisorPid);
    releaseLock(files);
    return;
  }
  // A dead supervisor's check is run again; anything else copies on.
  auto resumed =
      store.setIfPhase({phase}, {{"phase", phase == "verifying" ? "verifying" : "copying"},
                                 {"lastError", ""},
                                 {"resumeCount", std::to_string(count + 1)}});
  if (!resumed || !*resumed) return;
  ctx.log.say("Resuming transfer (attempt " + std::to_string(count + 1) + ").");
  if (auto launched = launchSupervisor(ctx, serviceProgram); !launched) {
    ctx.log.log("transfer: " + launched.error().message());
  }
}

}  // namespace brimvale::service
