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

struct Pipe {
  int read = -1;
  int write = -1;
};

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

std::optional<std::string> outputOf(const std::string& path, std::vector<std::string> args,
                                    std::chrono::milliseconds deadline) {
  ProcessResult result = runProcess({.path = path, .args = std::move(args), .deadline = deadline});
  if (!result.succeeded()) return std::nullopt;
  return std::move(result.out);
}

ProcessResult runTool(const std::string& path, std::vector<std::string> args,
                      std::chrono::milliseconds deadline) {
  ProcessInvocation invocation;
  invocation.path = path;
  invocation.args = std::move(args);
  invocation.deadline = deadline;
  return runProcess(invocation);
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
  const bool feedsStdin = !invocation.stdinData.empty();
  auto spawned = spawn({.path = invocation.path,
                        .args = invocation.args,
                        .envAdditions = invocation.envAdditions,
                        .stdinFrom = feedsStdin ? InputSource::kPipe : InputSource::kDevNull,
                        .stdoutTo = OutputTarget::pipe(),
                        .stderrTo = OutputTarget::pipe(),
                        // Own process group, so a deadline stops the program's children too.
                        .grouping = Grouping::kNewProcessGroup,
                        .parentDeathSignal = invocation.dieWithParent ? SIGKILL : 0,
                        .workingDir = invocation.workingDir});
  if (!spawned) {
    result.launchError = spawned.error().detail;
    return result;
  }
  const pid_t pid = spawned->pid;
  Pipe out{spawned->stdoutFd, -1};
  Pipe err{spawned->stderrFd, -1};
  Pipe in{-1, spawned->stdinFd};
  if (invocation.onStart) invocation.onStart(static_cast<int>(pid));

  if (in.write >= 0) fcntl(in.write, F_SETFL, O_NONBLOCK);
  const bool paced = invocation.outputPacing.count() > 0;
  std::optional<PacedWait> pacedWait;
  if (paced) {
    pacedWait.emplace(pid);
    for (int fd : {out.read, err.read}) {
#if defined(F_SETPIPE_SZ)
      fcntl(fd, F_SETPIPE_SZ, 1 << 20);  // best effort: the system may cap it
#endif
      fcntl(fd, F_SETFL, O_NONBLOCK);
    }
  }
  std::size_t stdinOffset = 0;

  const auto start = Clock::now();
  bool timedOut = false;
  bool reaped = false;
  int status = 0;
  std::array<char, 65536> buf;

  // While draining after the program ended, "nothing more buffered" ends the stream.
  // Paced reads take everything gathered, a full buffer at a time.
  auto consume = [&](int& fd, std::string& sink, const std::function<void(std::string_view)>& cb,
                     bool draining = false) {
    while (true) {
      ssize_t r = read(fd, buf.data(), buf.size());
      if (r > 0) {
        std::string_view chunk(buf.data(), static_cast<std::size_t>(r));
        if (sink.size() < invocation.captureLimit) {
          sink.append(chunk.substr(0, invocation.captureLimit - sink.size()));
        }
        if (cb) cb(chunk);
        if (paced && static_cast<std::size_t>(r) == buf.size()) continue;
      } else if (r == 0 || draining || (errno != EINTR && errno != EAGAIN)) {
        closeFd(fd);
      }
      return;
    }
  };

  auto terminate = [&] {
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    const auto graceEnd = Clock::now() + invocation.killGrace;
    while (!(reaped = tryReap(pid, status)) && Clock::now() < graceEnd) usleep(10000);
    if (!reaped) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      reaped = true;
    }
  };

  while (out.read >= 0 || err.read >= 0) {
    int waitMs = 100;
    if (invocation.deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          start + *invocation.deadline - Clock::now());
      if (left.count() <= 0) {
        timedOut = true;
        break;
      }
      waitMs = static_cast<int>(std::min<long long>(left.count(), 100));
    }
    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    int outIdx = -1, errIdx = -1, inIdx = -1;
    if (out.read >= 0) {
      outIdx = static_cast<int>(count);
      fds[count++] = {out.read, POLLIN, 0};
    }
    if (err.read >= 0) {
      errIdx = static_cast<int>(count);
      fds[count++] = {err.read, POLLIN, 0};
    }
    if (in.write >= 0) {
      inIdx = static_cast<int>(count);
      fds[count++] = {in.write, POLLOUT, 0};
    }
    int ready = poll(fds.data(), count, waitMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      if (outIdx >= 0 && fds[outIdx].revents) consume(out.read, result.out, invocation.onStdout);
      if (errIdx >= 0 && fds[errIdx].revents) consume(err.read, result.err, invocation.onStderr);
      if (paced && (out.read >= 0 || err.read >= 0)) pacedWait->pause(invocation.outputPacing);
      if (inIdx >= 0 && fds[inIdx].revents) {
        if (fds[inIdx].revents & (POLLERR | POLLHUP)) {
          closeFd(in.write);
        } else {
          ssize_t w = write(in.write, invocation.stdinData.data() + stdinOffset,
                            invocation.stdinData.size() - stdinOffset);
          if (w > 0) stdinOffset += static_cast<std::size_t>(w);
          if ((w < 0 && errno != EAGAIN && errno != EINTR) ||
              stdinOffset >= invocation.stdinData.size())
            closeFd(in.write);
        }
      }
    } else if (!reaped && tryReap(pid, status)) {
      // The program has ended but a descendant keeps its pipes open: take what
      // is already buffered and stop waiting for the rest.
      reaped = true;
      for (int* fd : {&out.read, &err.read}) {
        fcntl(*fd, F_SETFL, O_NONBLOCK);
      }
      while (out.read >= 0) consume(out.read, result.out, invocation.onStdout, true);
      while (err.read >= 0) consume(err.read, result.err, invocation.onStderr, true);
    }
  }
  closeFd(in.write);

  if (!reaped && invocation.deadline) {
    // Output is closed; wait for the exit within what is left of the deadline.
    while (!(reaped = tryReap(pid, status))) {
      if (Clock::now() >= start + *invocation.deadline) {
        timedOut = true;
        break;
      }
      usleep(5000);
    }
  }
  if (timedOut) terminate();
  if (!reaped) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  closeFd(out.read);
  closeFd(err.read);

  if (timedOut) {
    result.outcome = ProcessOutcome::kTimedOut;
  } else if (WIFEXITED(status)) {
    result.outcome = ProcessOutcome::kExited;
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.outcome = ProcessOutcome::kSignalled;
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace brimvale
