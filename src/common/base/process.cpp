#include "common/base/process.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

extern char** environ;

namespace brimvale {
namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
  int read = -1;
  int write = -1;
};

bool makePipe(Pipe& p) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  p.read = fds[0];
  p.write = fds[1];
  return true;
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::vector<std::string> buildEnvironment(const ProcessInvocation& invocation) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [key, value] : invocation.envAdditions) {
      if (entry.size() > key.size() && entry.starts_with(key) && entry[key.size()] == '=') {
        replaced = true;
        break;
      }
    }
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& [key, value] : invocation.envAdditions) env.push_back(key + "=" + value);
  return env;
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
  if (invocation.path.empty() || invocation.path[0] != '/') {
    result.launchError = "not an absolute path: " + invocation.path;
    return result;
  }

  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are allowed (the application is multi-threaded).
  std::vector<std::string> argStore;
  argStore.push_back(invocation.path);
  argStore.insert(argStore.end(), invocation.args.begin(), invocation.args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore = buildEnvironment(invocation);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  Pipe out, err, in, execErr;
  if (!makePipe(out) || !makePipe(err) || !makePipe(in) || !makePipe(execErr)) {
    result.launchError = std::string("pipe: ") + std::strerror(errno);
    for (Pipe* p : {&out, &err, &in, &execErr}) {
      closeFd(p->read);
      closeFd(p->write);
    }
    return result;
  }

  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    result.launchError = std::string("fork: ") + std::strerror(errno);
    for (Pipe* p : {&out, &err, &in, &execErr}) {
      closeFd(p->read);
      closeFd(p->write);
    }
    return result;
  }
  if (pid == 0) {
    // Own process group, so a deadline stops the program's children too.
    setpgid(0, 0);
#if defined(__linux__)
    if (invocation.dieWithParent) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);  // the parent died before prctl
    }
#endif
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    dup2(in.read, STDIN_FILENO);
    dup2(out.write, STDOUT_FILENO);
    dup2(err.write, STDERR_FILENO);
    if (!invocation.workingDir.empty() && chdir(invocation.workingDir.c_str()) != 0) {
      int e = errno;
      (void)!write(execErr.write, &e, sizeof e);
      _exit(127);
    }
    execve(invocation.path.c_str(), argv.data(), envp.data());
    int e = errno;
    (void)!write(execErr.write, &e, sizeof e);
    _exit(127);
  }
  setpgid(pid, pid);  // also from the parent, so a kill right away reaches the group
  if (invocation.onStart) invocation.onStart(static_cast<int>(pid));

  closeFd(out.write);
  closeFd(err.write);
  closeFd(in.read);
  closeFd(execErr.write);

  int childErrno = 0;
  ssize_t n;
  do {
    n = read(execErr.read, &childErrno, sizeof childErrno);
  } while (n < 0 && errno == EINTR);
  closeFd(execErr.read);
  if (n == static_cast<ssize_t>(sizeof childErrno)) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    closeFd(out.read);
    closeFd(err.read);
    closeFd(in.write);
    result.launchError = invocation.path + ": " + std::strerror(childErrno);
    return result;
  }

  fcntl(in.write, F_SETFL, O_NONBLOCK);
  const bool paced = invocation.outputPacing.count() > 0;
  if (paced) {
    for (int fd : {out.read, err.read}) {
#if defined(F_SETPIPE_SZ)
      fcntl(fd, F_SETPIPE_SZ, 1 << 20);  // best effort: the system may cap it
#endif
      fcntl(fd, F_SETFL, O_NONBLOCK);
    }
  }
  std::size_t stdinOffset = 0;
  if (invocation.stdinData.empty()) closeFd(in.write);

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
      if (paced && (out.read >= 0 || err.read >= 0))
        std::this_thread::sleep_for(invocation.outputPacing);
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
