#include "common/base/process.h"

#include "common/base/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace brimvale {
namespace {

using Clock = std::chrono::steady_clock;

// The pause between paced reads, cut short when the program ends (through a
// pidfd where the system has them), so the end of a copy is seen at once.
class PacedWait {
 public:
  explicit PacedWait(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    fd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
#endif
  }
  ~PacedWait() {
    if (fd_ >= 0) close(fd_);
  }
  PacedWait(const PacedWait&) = delete;
  PacedWait& operator=(const PacedWait&) = delete;
  void pause(std::chrono::milliseconds pace) const {
    if (fd_ < 0) {
      std::this_thread::sleep_for(pace);
      return;
    }
    pollfd ended{fd_, POLLIN, 0};
    poll(&ended, 1, static_cast<int>(pace.count()));
  }

 private:
  int fd_ = -1;
};

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Reaps the child without blocking; returns true once it has been reaped.
bool tryReap(pid_t pid, int& status) {
  while (true) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;  // ECHILD: someone else reaped it
  }
}

// A started child and the ends of its pipes this side holds (-1 once closed).
struct Child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
};

// How a child's run ended: its wait status once reaped, or its deadline.
struct Ending {
  bool timedOut = false;
  bool reaped = false;
  int status = 0;
  Clock::time_point started;
};

// Starts the program in a process group of its own, so a deadline stops the
// program's children too; its output comes back through pipes.
Result<Child> startChild(const ProcessInvocation& invocation) {
  const bool feedsStdin = !invocation.stdinData.empty();
  auto spawned = spawn({.path = invocation.path,
                        .args = invocation.args,
                        .envAdditions = invocation.envAdditions,
                        .stdinFrom = feedsStdin ? InputSource::kPipe : InputSource::kDevNull,
                        .stdoutTo = OutputTarget::pipe(),
                        .stderrTo = OutputTarget::pipe(),
                        .grouping = Grouping::kNewProcessGroup,
                        .parentDeathSignal = invocation.dieWithParent ? SIGKILL : 0,
                        .workingDir = invocation.workingDir});
  if (!spawned) return std::unexpected(spawned.error());
  return Child{spawned->pid, spawned->stdinFd, spawned->stdoutFd, spawned->stderrFd};
}

// Feeds the child its input and gathers its output until both output streams
// close, the deadline passes, or the child ends while a descendant still
// holds its pipes.
class OutputPump {
 public:
  OutputPump(Child& child, const ProcessInvocation& invocation, ProcessResult& result)
      : child_(child), invocation_(invocation), result_(result) {
    if (child_.in >= 0) fcntl(child_.in, F_SETFL, O_NONBLOCK);
    if (paced()) {
      pacedWait_.emplace(child_.pid);
      for (int fd : {child_.out, child_.err}) {
#if defined(F_SETPIPE_SZ)
        fcntl(fd, F_SETPIPE_SZ, 1 << 20);  // best effort: the system may cap it
#endif
        fcntl(fd, F_SETFL, O_NONBLOCK);
      }
    }
  }

  Ending run() {
    Ending ending{.started = Clock::now()};
    while (child_.out >= 0 || child_.err >= 0) {
      int waitMs = 100;
      if (invocation_.deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            ending.started + *invocation_.deadline - Clock::now());
        if (left.count() <= 0) {
          ending.timedOut = true;
          break;
        }
        waitMs = static_cast<int>(std::min<long long>(left.count(), 100));
      }
      std::array<pollfd, 3> fds{};
      nfds_t count = 0;
      int outIdx = -1, errIdx = -1, inIdx = -1;
      if (child_.out >= 0) {
        outIdx = static_cast<int>(count);
        fds[count++] = {child_.out, POLLIN, 0};
      }
      if (child_.err >= 0) {
        errIdx = static_cast<int>(count);
        fds[count++] = {child_.err, POLLIN, 0};
      }
      if (child_.in >= 0) {
        inIdx = static_cast<int>(count);
        fds[count++] = {child_.in, POLLOUT, 0};
      }
      int ready = poll(fds.data(), count, waitMs);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0) {
        if (outIdx >= 0 && fds[outIdx].revents) consumeStdout();
        if (errIdx >= 0 && fds[errIdx].revents) consumeStderr();
        if (paced() && (child_.out >= 0 || child_.err >= 0)) {
          pacedWait_->pause(invocation_.outputPacing);
        }
        if (inIdx >= 0 && fds[inIdx].revents) feedStdin(fds[inIdx].revents);
      } else if (!ending.reaped && tryReap(child_.pid, ending.status)) {
        ending.reaped = true;
        drainAfterExit();
      }
    }
    closeFd(child_.in);
    return ending;
  }

 private:
  [[nodiscard]] bool paced() const { return invocation_.outputPacing.count() > 0; }

  void consumeStdout(bool draining = false) {
    consume(child_.out, result_.out, invocation_.onStdout, draining);
  }
  void consumeStderr(bool draining = false) {
    consume(child_.err, result_.err, invocation_.onStderr, draining);
  }

  // While draining after the program ended, "nothing more buffered" ends the
  // stream. Paced reads take everything gathered, a full buffer at a time.
  void consume(int& fd, std::string& sink, const std::function<void(std::string_view)>& cb,
               bool draining) {
    while (true) {
      ssize_t r = read(fd, buf_.data(), buf_.size());
      if (r > 0) {
        std::string_view chunk(buf_.data(), static_cast<std::size_t>(r));
        if (sink.size() < invocation_.captureLimit) {
          sink.append(chunk.substr(0, invocation_.captureLimit - sink.size()));
        }
        if (cb) cb(chunk);
        if (paced() && static_cast<std::size_t>(r) == buf_.size()) continue;
      } else if (r == 0 || draining || (errno != EINTR && errno != EAGAIN)) {
        closeFd(fd);
      }
      return;
    }
  }

  void feedStdin(short revents) {
    if (revents & (POLLERR | POLLHUP)) {
      closeFd(child_.in);
      return;
    }
    const std::string& data = invocation_.stdinData;
    ssize_t w = write(child_.in, data.data() + stdinOffset_, data.size() - stdinOffset_);
    if (w > 0) stdinOffset_ += static_cast<std::size_t>(w);
    if ((w < 0 && errno != EAGAIN && errno != EINTR) || stdinOffset_ >= data.size()) {
      closeFd(child_.in);
    }
  }

  // The program has ended but a descendant keeps its pipes open: take what
  // is already buffered and stop waiting for the rest.
  void drainAfterExit() {
    for (int fd : {child_.out, child_.err}) fcntl(fd, F_SETFL, O_NONBLOCK);
    while (child_.out >= 0) consumeStdout(true);
    while (child_.err >= 0) consumeStderr(true);
  }

  Child& child_;
  const ProcessInvocation& invocation_;
  ProcessResult& result_;
  std::optional<PacedWait> pacedWait_;
  std::size_t stdinOffset_ = 0;
  std::array<char, 65536> buf_;
};

Ending pumpOutput(Child& child, const ProcessInvocation& invocation, ProcessResult& result) {
  return OutputPump(child, invocation, result).run();
}

// SIGTERM to the program's group, then SIGKILL when it outlives the grace.
void terminate(pid_t pid, std::chrono::milliseconds grace, Ending& ending) {
  kill(-pid, SIGTERM);
  kill(pid, SIGTERM);
  const auto graceEnd = Clock::now() + grace;
  while (!(ending.reaped = tryReap(pid, ending.status)) && Clock::now() < graceEnd) usleep(10000);
  if (!ending.reaped) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, &ending.status, 0) < 0 && errno == EINTR) {
    }
    ending.reaped = true;
  }
}

// Waits for the program to end once its output is closed (within what is
// left of the deadline, else it is stopped) and closes the pipes.
Ending reapChild(Child& child, const ProcessInvocation& invocation, Ending ending) {
  if (!ending.reaped && invocation.deadline) {
    while (!(ending.reaped = tryReap(child.pid, ending.status))) {
      if (Clock::now() >= ending.started + *invocation.deadline) {
        ending.timedOut = true;
        break;
      }
      usleep(5000);
    }
  }
  if (ending.timedOut) terminate(child.pid, invocation.killGrace, ending);
  if (!ending.reaped) {
    while (waitpid(child.pid, &ending.status, 0) < 0 && errno == EINTR) {
    }
  }
  closeFd(child.out);
  closeFd(child.err);
  return ending;
}

void recordOutcome(const Ending& ending, ProcessResult& result) {
  if (ending.timedOut) {
    result.outcome = ProcessOutcome::kTimedOut;
  } else if (WIFEXITED(ending.status)) {
    result.outcome = ProcessOutcome::kExited;
    result.exitCode = WEXITSTATUS(ending.status);
  } else if (WIFSIGNALED(ending.status)) {
    result.outcome = ProcessOutcome::kSignalled;
    result.signal = WTERMSIG(ending.status);
  }
}

}  // namespace

std::string ProcessResult::describe() const {
  switch (outcome) {
    case ProcessOutcome::kExited: return "exited with " + std::to_string(exitCode);
    case ProcessOutcome::kSignalled: return "killed by signal " + std::to_string(signal);
    case ProcessOutcome::kTimedOut: return "timed out";
    case ProcessOutcome::kFailedToStart: return "could not start: " + launchError;
  }
  return {};
}

std::optional<std::string> outputOf(const ProcessRunner& run, const std::string& path,
                                    std::vector<std::string> args,
                                    std::chrono::milliseconds deadline) {
  ProcessResult result = run({.path = path, .args = std::move(args), .deadline = deadline});
  if (!result.succeeded()) return std::nullopt;
  return std::move(result.out);
}

ProcessResult runTool(const ProcessRunner& run, const std::string& path,
                      std::vector<std::string> args, std::chrono::milliseconds deadline) {
  ProcessInvocation invocation;
  invocation.path = path;
  invocation.args = std::move(args);
  invocation.deadline = deadline;
  return run(invocation);
}

std::string findExecutable(std::string_view name) {
  static constexpr std::array kDirs{"/usr/local/bin", "/usr/bin", "/bin", "/usr/sbin", "/sbin"};
  for (const char* dir : kDirs) {
    std::string candidate = std::string(dir) + "/" + std::string(name);
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

ProcessResult runProcess(const ProcessInvocation& invocation) {
  ProcessResult result;
  auto child = startChild(invocation);
  if (!child) {
    result.launchError = child.error().detail;
    return result;
  }
  if (invocation.onStart) invocation.onStart(static_cast<int>(child->pid));
  const Ending ending = reapChild(*child, invocation, pumpOutput(*child, invocation, result));
  recordOutcome(ending, result);
  return result;
}

}  // namespace brimvale
