#include "service/transfer_job.h"

#include <fcntl.h>
#include <signal.h>
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
#include <thread>

#include "common/disk_usage.h"
#include "common/text_formats.h"
#include "common/file_io.h"
#include "common/json_writer.h"
#include "common/timestamps.h"
#include "service/drive_assessment.h"
#include "service/drive_commands.h"
#include "service/marker_file.h"
#include "service/transfer_progress.h"
#include "service/transfer_store.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kWaitingForDrive = "Waiting for the drive to reconnect.";
constexpr std::size_t kProgressTailBytes = 200'000;
constexpr std::size_t kErrorTailBytes = 8'192;
constexpr long long kMaxResumes = 20;
// How long pause and cancel wait for the supervisor and its copy to stop
// before they go on (cancel then kills them, so nothing writes while it deletes).
constexpr auto kStopWait = std::chrono::seconds(10);

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

bool pidFileAlive(const fs::path& file) {
  auto pid = readPid(file);
  return pid && processAlive(*pid);
}

// The last `bytes` bytes of a file; empty when unreadable.
std::string readTail(const fs::path& file, std::size_t bytes) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  std::string out;
  if (fstat(fd, &st) == 0) {
    off_t size = st.st_size;
    off_t from = size > static_cast<off_t>(bytes) ? size - static_cast<off_t>(bytes) : 0;
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

// Sends SIGTERM to the supervisor and the copy, waits for both to end and,
// when `escalate` is set and they outlive the wait, kills them.
void stopJobProcesses(const TransferFiles& files, bool escalate) {
  std::vector<pid_t> pids;
  for (const fs::path& file : {files.supervisorPid, files.copyPid}) {
    if (auto pid = readPid(file); pid && processAlive(*pid)) {
      kill(*pid, SIGTERM);
      pids.push_back(*pid);
    }
  }
  auto deadline = std::chrono::steady_clock::now() + kStopWait;
  auto anyAlive = [&pids] {
    return std::any_of(pids.begin(), pids.end(), [](pid_t p) { return processAlive(p); });
  };
  while (anyAlive() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (escalate) {
    for (pid_t p : pids) {
      if (processAlive(p)) kill(p, SIGKILL);
    }
  }
}

// Starts `program __xfer-supervise` detached: a new session that ignores
// hang-ups, its output appended to transfer-rsync.log. The double fork
// leaves no child for the caller (the watch loop) to reap.
Result<pid_t> launchSupervisor(ServiceContext& ctx, const std::string& program) {
  TransferStore store = storeOf(ctx);
  const TransferFiles& files = store.files();
  if (program.empty()) return fail(Errc::kLaunchFailed, "this program's path is unknown");
  const std::string logPath = files.rsyncLog.string();
  const std::string arg0 = program;
  const std::string arg1 = "__xfer-supervise";
  char* argv[] = {const_cast<char*>(arg0.c_str()), const_cast<char*>(arg1.c_str()), nullptr};
  int pipefd[2];
  if (pipe(pipefd) != 0) return std::unexpected(errnoError("pipe", errno));
  pid_t first = fork();
  if (first < 0) {
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
      execv(arg0.c_str(), argv);
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

bool rootsMounted(ServiceContext& ctx, const TransferStore& store) {
  return ctx.platform.mounts->isMountedAt(store.get("sourceRoot").value_or("")) &&
         ctx.platform.mounts->isMountedAt(store.get("destRoot").value_or(""));
}

long long resumeCount(const TransferStore& store) {
  try {
    return std::stoll(store.get("resumeCount").value_or("0"));
  } catch (...) {
    return 0;
  }
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

class Supervisor {
 public:
  explicit Supervisor(ServiceContext& ctx) : ctx_(ctx), store_(storeOf(ctx)) {}

  int run() {
    struct sigaction sa {};
    sa.sa_handler = forwardStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::string rsync = ctx_.rsyncPath();
    const std::string stored = store_.get("rsyncBin").value_or("");
    if (rsync.empty() && !stored.empty() && access(stored.c_str(), X_OK) == 0) rsync = stored;
    if (rsync.empty()) {
      (void)store_.set({{"phase", "failed"},
                        {"lastError",
                         "A required copy tool (rsync) wasn't found. Install it and try again."}});
      removeFile(files().supervisorPid);
      releaseLock(files());
      return 0;
    }
    source_ = store_.get("sourceWorking").value_or("");
    dest_ = store_.get("destWorking").value_or("");
    if (!isDirectory(source_) || !isDirectory(dest_)) {
      (void)store_.setIfPhase({"copying"}, {{"phase", "waitingForDrive"},
                                            {"lastError", std::string(kWaitingForDrive)}});
      removeFile(files().supervisorPid);
      return 0;
    }
    auto started = store_.setIfPhase({"copying"}, {{"phase", "copying"}, {"lastError", ""}});
    if (!started || !*started) return 0;  // paused or cancelled before we got going

    bool driveGone = false;
    int status = runAndWatch(rsync,
                             {"-aHEX", "--partial", "--info=progress2", "-v",
                              "--no-inc-recursive", "--exclude=/.hollin-managed",
                              source_ + "/", dest_ + "/"},
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
      (void)store_.setIfPhase({"copying"}, {{"phase", "verifying"}});
      bool verified = verify(rsync);
      if (gStopRequested) return 0;
      if (verified) {
        const bool backup = store_.get("kind").value_or("transfer") == "backup";
        (void)store_.setIfPhase({"verifying"},
                                {{"phase", backup ? "done" : "copied"}, {"lastError", ""}});
        removeFile(files().supervisorPid);
        if (backup) releaseLock(files());
      } else {
        (void)store_.setIfPhase(
            {"verifying"},
            {{"phase", "failed"},
             {"lastError", "The copy couldn't be verified. Your current drive is unchanged."}});
        removeFile(files().supervisorPid);
        releaseLock(files());
      }
      return 0;
    }
    if (driveGone || !rootsMounted(ctx_, store_)) {
      (void)store_.setIfPhase({"copying"}, {{"phase", "waitingForDrive"},
                                            {"lastError", std::string(kWaitingForDrive)}});
    } else if (status == 11 ||
               asciiLower(readTail(files().rsyncLog, kErrorTailBytes)).find("no space left") !=
                   std::string::npos) {
      (void)store_.setIfPhase({"copying"},
                              {{"phase", "failed"},
                               {"lastError", "The destination drive ran out of space."}});
      releaseLock(files());
    } else {
      (void)store_.setIfPhase(
          {"copying"}, {{"phase", "waitingForDrive"},
                        {"lastError", "The copy was interrupted — it will retry automatically."}});
    }
    removeFile(files().supervisorPid);
    return 0;
  }

 private:
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
    int status = runAndWatch(rsync,
                             {"-aHEX", "--no-inc-recursive", "--checksum", "--dry-run",
                              "--itemize-changes", "--exclude=/.hollin-managed", source_ + "/",
                              dest_ + "/"},
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
  const fs::path dest = args[args.size() - 2];
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
    const bool stale = errno == EEXIST && (phase.empty() || phase == "idle" ||
                                           phase == "done" || phase == "failed");
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
  auto paused = store.setIfPhase({"copying", "waitingForDrive"},
                                 {{"phase", "paused"}, {"lastError", "Paused."}});
  if (!paused || !*paused) {
    ctx.out << "No transfer is running.\n";
    return 0;
  }
  // Waiting here means a resume right after can never meet the old copy.
  stopJobProcesses(store.files(), false);
  removeFile(store.files().supervisorPid);
  ctx.out << "Transfer paused.\n";
  return 0;
}

int transferResumeCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  TransferStore store = storeOf(ctx);
  const std::string count = std::to_string(resumeCount(store) + 1);
  auto resumed = store.setIfPhase(
      {"paused"}, {{"phase", "copying"}, {"lastError", ""}, {"resumeCount", count}});
  if (!resumed || !*resumed) {
    ctx.out << "No paused transfer to resume.\n";
    return 0;
  }
  if (auto launched = launchSupervisor(ctx, ownExecutable()); !launched) {
    ctx.log.log("transfer: " + launched.error().message());
  }
  ctx.out << "Transfer resumed.\n";
  return 0;
}

int transferCancelCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  TransferStore store = storeOf(ctx);
  const TransferFiles& files = store.files();
  const std::string phase = store.phase();
  if (!store.exists() || phase.empty() || phase == "idle" || phase == "done") {
    ctx.out << "No transfer to cancel.\n";
    return 0;
  }
  (void)store.set({{"phase", "cancelling"}});
  stopJobProcesses(files, true);
  const fs::path dest = fs::path(store.get("destWorking").value_or("")).lexically_normal();
  const fs::path source = fs::path(store.get("sourceWorking").value_or("")).lexically_normal();
  // Only ever a working folder on the other drive: never the source, nothing
  // above it, nothing outside a BRIM- folder.
  const bool deletable =
      !dest.empty() && dest.is_absolute() && dest != source &&
      dest.string().find("/BRIM-") != std::string::npos &&
      !(source.string() + "/").starts_with(dest.string() + "/");
  if (deletable) {
    std::error_code ec;
    fs::remove_all(dest, ec);
    if (ec) ctx.log.log("transfer: couldn't delete " + dest.string() + ": " + ec.message());
  }
  removeFile(files.supervisorPid);
  removeFile(files.copyPid);
  (void)store.set({{"phase", "failed"},
                   {"lastError", "Transfer cancelled. Your current drive is unchanged."}});
  releaseLock(files);
  ctx.out << "Transfer cancelled.\n";
  return 0;
}

int transferCommitCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  TransferStore store = storeOf(ctx);
  const TransferFiles& files = store.files();
  if (store.phase() != "copied") {
    ctx.out << "Transfer is not ready to finalise.\n";
    return 1;
  }
  const std::string destRoot = store.get("destRoot").value_or("");
  if (destRoot.empty()) {
    ctx.out << "Missing destination.\n";
    return 1;
  }
  (void)store.set({{"phase", "switching"}});
  (void)selectDrive(ctx, destRoot, ParkedGuard::kBypass);
  (void)store.set({{"phase", "done"}, {"lastError", ""}});
  removeFile(files.supervisorPid);
  removeFile(files.copyPid);
  releaseLock(files);
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
  const std::string phase = store.phase();
  if (phase != "copying" && phase != "waitingForDrive") return;
  if (phase == "copying" && pidFileAlive(store.files().supervisorPid)) return;
  const bool present = rootsMounted(ctx, store) &&
                       isDirectory(store.get("sourceWorking").value_or("")) &&
                       isDirectory(store.get("destWorking").value_or(""));
  if (!present) {
    (void)store.setIfPhase({"copying", "waitingForDrive"},
                           {{"phase", "waitingForDrive"},
                            {"lastError", std::string(kWaitingForDrive)}});
    return;
  }
  const long long count = resumeCount(store);
  if (count >= kMaxResumes) {
    (void)store.setIfPhase(
        {"copying", "waitingForDrive"},
        {{"phase", "failed"},
         {"lastError",
          "The transfer kept failing and was stopped. Your current drive is unchanged."}});
    removeFile(store.files().supervisorPid);
    releaseLock(store.files());
    return;
  }
  auto resumed = store.setIfPhase(
      {"copying", "waitingForDrive"},
      {{"phase", "copying"}, {"lastError", ""}, {"resumeCount", std::to_string(count + 1)}});
  if (!resumed || !*resumed) return;
  ctx.log.say("Resuming transfer (attempt " + std::to_string(count + 1) + ").");
  if (auto launched = launchSupervisor(ctx, serviceProgram); !launched) {
    ctx.log.log("transfer: " + launched.error().message());
  }
}

}  // namespace brimvale::service
