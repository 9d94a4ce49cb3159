#include "common/base/spawn.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

extern char** environ;

namespace brimvale {
namespace {

// Descriptors the child sets up from are moved at or above this number, so
// none of them is ever one of the numbers it is dup2'd onto.
constexpr int kFirstHighFd = 10;

// Closes the descriptor when it goes out of scope, unless released.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    reset();
    fd_ = other.release();
    return *this;
  }
  ~OwnedFd() { reset(); }
  [[nodiscard]] int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

Error launchError(std::string detail) { return Error{Errc::kLaunchFailed, std::move(detail)}; }

// A close-on-exec copy of `fd` at or above kFirstHighFd; `fd` is closed.
Result<OwnedFd> moveHigh(int fd) {
  OwnedFd original(fd);
  int high = fcntl(fd, F_DUPFD_CLOEXEC, kFirstHighFd);
  if (high < 0) return std::unexpected(errnoError("fcntl", errno));
  return OwnedFd(high);
}

struct PipeEnds {
  OwnedFd parent;
  OwnedFd child;
};

// A pipe whose child end is high; `childReads` says which end the child gets.
Result<PipeEnds> makePipe(bool childReads) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return std::unexpected(launchError(std::string("pipe: ") + std::strerror(errno)));
  OwnedFd parent(childReads ? fds[1] : fds[0]);
  auto child = moveHigh(childReads ? fds[0] : fds[1]);
  if (!child) return std::unexpected(child.error());
  return PipeEnds{std::move(parent), std::move(*child)};
}

Result<OwnedFd> openHigh(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) return std::unexpected(errnoError("open " + path, errno));
  return moveHigh(fd);
}

// The child's end for one output stream, and the caller's end when it is a pipe.
Result<PipeEnds> outputEnds(const OutputTarget& target) {
  switch (target.kind) {
    case OutputTarget::Kind::kPipe: return makePipe(false);
    case OutputTarget::Kind::kDevNull: {
      auto fd = openHigh("/dev/null", O_WRONLY);
      if (!fd) return std::unexpected(fd.error());
      return PipeEnds{{}, std::move(*fd)};
    }
    case OutputTarget::Kind::kTruncateFile:
    case OutputTarget::Kind::kAppendFile: {
      const int mode = target.kind == OutputTarget::Kind::kAppendFile ? O_APPEND : O_TRUNC;
      auto fd = openHigh(target.file, O_WRONLY | O_CREAT | mode);
      if (!fd) return std::unexpected(fd.error());
      return PipeEnds{{}, std::move(*fd)};
    }
  }
  return std::unexpected(launchError("unknown output target"));
}

Result<PipeEnds> inputEnds(InputSource source) {
  if (source == InputSource::kPipe) return makePipe(true);
  auto fd = openHigh("/dev/null", O_RDONLY);
  if (!fd) return std::unexpected(fd.error());
  return PipeEnds{{}, std::move(*fd)};
}

std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& additions) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [key, value] : additions) {
      if (entry.size() > key.size() && entry.starts_with(key) && entry[key.size()] == '=') {
        replaced = true;
        break;
      }
    }
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& [key, value] : additions) env.push_back(key + "=" + value);
  return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (auto& w : words) pointers.push_back(w.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Everything the child needs, prepared before fork: after it only
// async-signal-safe calls are allowed (the application is multi-threaded).
struct ChildPlan {
  const SpawnRequest& request;
  std::vector<char*> argv;
  std::vector<char*> envp;
  int stdinFd;
  int stdoutFd;
  int stderrFd;
  int handFd;
  pid_t parent;
  int errorPipe;  // the exec's errno goes here; closed by a successful exec
};

[[noreturn]] void failInChild(int errorPipe, int err) {
  (void)!write(errorPipe, &err, sizeof err);
  _exit(127);
}

void applyGrouping(Grouping grouping) {
  if (grouping == Grouping::kNewProcessGroup) setpgid(0, 0);
  if (grouping == Grouping::kNewSession) setsid();
}

// Runs in the forked child (the grandchild when detached) and never returns.
[[noreturn]] void becomeProgram(const ChildPlan& plan, bool applyOwnGrouping) {
  const SpawnRequest& r = plan.request;
  if (applyOwnGrouping) applyGrouping(r.grouping);
#if defined(__linux__)
  if (r.parentDeathSignal != 0 && r.detachment == Detachment::kAttached) {
    prctl(PR_SET_PDEATHSIG, r.parentDeathSignal);
    // The parent may have ended before the request took effect.
    if (getppid() != plan.parent) _exit(128 + r.parentDeathSignal);
  }
#endif
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT}) signal(sig, SIG_DFL);
  if (r.hangUp == HangUp::kIgnore) signal(SIGHUP, SIG_IGN);
  if (dup2(plan.stdinFd, STDIN_FILENO) < 0 || dup2(plan.stdoutFd, STDOUT_FILENO) < 0 ||
      dup2(plan.stderrFd, STDERR_FILENO) < 0) {
    failInChild(plan.errorPipe, errno);
  }
  if (r.handOver && dup2(plan.handFd, r.handOver->as) < 0) failInChild(plan.errorPipe, errno);
  if (!r.workingDir.empty() && chdir(r.workingDir.c_str()) != 0) {
    failInChild(plan.errorPipe, errno);
  }
  execve(r.path.c_str(), plan.argv.data(), plan.envp.data());
  failInChild(plan.errorPipe, errno);
}

// Writes `value` in decimal at `out`; gives the number of characters.
std::size_t formatDecimal(char* out, long value) {
  char digits[24];
  std::size_t n = 0;
  const bool negative = value < 0;
  unsigned long rest = negative ? -static_cast<unsigned long>(value) : value;
  do {
    digits[n++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  std::size_t written = 0;
  if (negative) out[written++] = '-';
  while (n > 0) out[written++] = digits[--n];
  return written;
}

// The supervisor of a detached program: waits for it and records how it ended.
[[noreturn]] void superviseUntilExit(pid_t program, const char* statusFile) {
  // Nothing of the caller's is kept: its pipes must reach end of file and its
  // locks be released while the program runs on.
  if (close_range(0, ~0U, 0) != 0) {
    for (int fd = 0; fd < 4096; ++fd) close(fd);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGTERM, SIGINT}) signal(sig, SIG_DFL);
  signal(SIGHUP, SIG_IGN);
  int status = 0;
  while (waitpid(program, &status, 0) < 0) {
    if (errno != EINTR) _exit(1);
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  char line[64];
  std::size_t n = formatDecimal(line, program);
  line[n++] = ' ';
  n += formatDecimal(line + n, code);
  line[n++] = '\n';
  const int fd = open(statusFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    (void)!write(fd, line, n);
    close(fd);
  }
  _exit(0);
}

// The intermediate of a double fork: starts the program in a new child,
// reports its pid (or the fork's errno as a negative number) and exits. To
// record the exit status it starts a supervisor instead, which starts the
// program, reports and waits for it.
[[noreturn]] void startDetached(const ChildPlan& plan, int pidPipe) {
  applyGrouping(plan.request.grouping);
  if (plan.request.hangUp == HangUp::kIgnore) signal(SIGHUP, SIG_IGN);
  const bool supervise = !plan.request.exitStatusFile.empty();
  if (supervise) {
    // The caller reaps this intermediate at once; the supervisor forked here
    // lives on, adopted by init, for as long as the program runs.
    const pid_t supervisor = fork();
    if (supervisor < 0) {
      const pid_t report = -errno;
      (void)!write(pidPipe, &report, sizeof report);
      _exit(1);
    }
    if (supervisor > 0) _exit(0);
  }
  pid_t program = fork();
  if (program == 0) {
    // A group of its own: stopping the program and its children spares the supervisor.
    if (supervise) setpgid(0, 0);
    becomeProgram(plan, false);
  }
  const pid_t report = program > 0 ? program : -errno;
  // Also from here, so the caller's kill(-pid) right away reaches the whole group.
  if (program > 0 && supervise) setpgid(program, program);
  (void)!write(pidPipe, &report, sizeof report);
  if (program > 0 && supervise) superviseUntilExit(program, plan.request.exitStatusFile.c_str());
  _exit(program > 0 ? 0 : 1);
}

template <class T>
ssize_t readWhole(int fd, T& value) {
  ssize_t n;
  do {
    n = read(fd, &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  return n;
}

void reap(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

Result<SpawnedProcess> spawn(const SpawnRequest& request) {
  if (request.path.empty() || request.path[0] != '/') {
    return std::unexpected(launchError("not an absolute path: " + request.path));
  }
  auto in = inputEnds(request.stdinFrom);
  if (!in) return std::unexpected(in.error());
  auto out = outputEnds(request.stdoutTo);
  if (!out) return std::unexpected(out.error());
  auto err = outputEnds(request.stderrTo);
  if (!err) return std::unexpected(err.error());
  OwnedFd handed;
  if (request.handOver) {
    int copy = fcntl(request.handOver->fd, F_DUPFD_CLOEXEC, kFirstHighFd);
    if (copy < 0) return std::unexpected(errnoError("fcntl", errno));
    handed = OwnedFd(copy);
  }
  auto errorPipe = makePipe(false);
  if (!errorPipe) return std::unexpected(errorPipe.error());
  const bool detached = request.detachment == Detachment::kDoubleFork;
  PipeEnds pidPipe;
  if (detached) {
    auto made = makePipe(false);
    if (!made) return std::unexpected(made.error());
    pidPipe = std::move(*made);
  }

  std::vector<std::string> words{request.path};
  words.insert(words.end(), request.args.begin(), request.args.end());
  std::vector<std::string> env = environmentWith(request.envAdditions);
  const ChildPlan plan{request,         pointersTo(words), pointersTo(env),
                       in->child.get(), out->child.get(),  err->child.get(),
                       handed.get(),    getpid(),          errorPipe->child.get()};

  pid_t pid = fork();
  if (pid < 0) return std::unexpected(launchError(std::string("fork: ") + std::strerror(errno)));
  if (pid == 0) {
    if (detached) startDetached(plan, pidPipe.child.get());
    becomeProgram(plan, true);
  }
  // Also from the parent, so a kill(-pid) right away reaches the whole group.
  if (!detached && request.grouping == Grouping::kNewProcessGroup) setpgid(pid, pid);
  errorPipe->child.reset();
  pidPipe.child.reset();
  if (detached) {
    pid_t program = -1;
    const ssize_t n = readWhole(pidPipe.parent.get(), program);
    reap(pid);
    if (n != static_cast<ssize_t>(sizeof program) || program <= 0) {
      const int forkErr = n == static_cast<ssize_t>(sizeof program) ? -program : EAGAIN;
      return std::unexpected(launchError(std::string("fork: ") + std::strerror(forkErr)));
    }
    pid = program;
  }
  int childErrno = 0;
  if (readWhole(errorPipe->parent.get(), childErrno) == static_cast<ssize_t>(sizeof childErrno)) {
    if (!detached) reap(pid);
    return std::unexpected(launchError(request.path + ": " + std::strerror(childErrno)));
  }
  return SpawnedProcess{pid, in->parent.release(), out->parent.release(), err->parent.release()};
}

}  // namespace brimvale
