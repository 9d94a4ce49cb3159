#include "platform/posix_process_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#ifdef __APPLE__
#include <sys/sysctl.h>
#endif

#include "common/base/file_io.h"
#include "common/base/process.h"

namespace brimvale::platform {
namespace {

// "pid (comm) S ...": the state letter follows the last ')'.
bool isZombie(const std::string& stat) {
  const auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

constexpr int kExecSettleTries = 200;

class PosixProcessLauncher : public ProcessLauncher {
 public:
  ProcessResult run(const ProcessInvocation& invocation) override { return runProcess(invocation); }

  Result<SpawnedProcess> spawn(const SpawnRequest& request) override {
    return brimvale::spawn(request);
  }

  Result<std::string> startDetached(const DetachedWork& work) override {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return std::unexpected(errnoError("pipe", errno));
    const pid_t child = ::fork();
    if (child < 0) {
      const int error = errno;
      ::close(report[0]);
      ::close(report[1]);
      return std::unexpected(errnoError("fork", error));
    }
    if (child == 0) {
      ::close(report[0]);
      ::setsid();
      // A second fork: the worker is adopted by init, and the caller reaps
      // only this short-lived intermediate.
      if (::fork() != 0) ::_exit(0);
      const int null = ::open("/dev/null", O_RDWR);
      for (int fd : {0, 1, 2}) ::dup2(null, fd);
      work([&report](std::string_view text) {
        [[maybe_unused]] auto n = ::write(report[1], text.data(), text.size());
        ::close(report[1]);
        report[1] = -1;
      });
      ::_exit(0);
    }
    ::close(report[1]);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    std::string answer;
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::read(report[0], buffer, sizeof buffer)) > 0) answer.append(buffer, n);
    ::close(report[0]);
    return answer;
  }

  bool isAlive(int pid) override {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
    // Only where /proc exists can a zombie be told apart; elsewhere it counts.
    auto stat = readFile(procPath(pid, "stat"));
    return !stat || !isZombie(*stat);
  }

  bool runsProgram(int pid, const std::string& program) override {
    // A child that is just past exec shows an empty command line until the
    // kernel has laid out its arguments; spawn() returns inside that window.
    for (int tries = 0; tries < kExecSettleTries; ++tries) {
      if (!isAlive(pid)) return false;
      auto cmdline = readFile(procPath(pid, "cmdline"));
      if (!cmdline) return false;
      if (!cmdline->empty()) return commandLineNames(*cmdline, program);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  std::optional<ProcessIdentity> identity(int pid) override {
    if (!isAlive(pid)) return std::nullopt;
#ifdef __APPLE__
    int query[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    struct kinfo_proc info {};
    std::size_t size = sizeof info;
    if (sysctl(query, 4, &info, &size, nullptr, 0) != 0 || size == 0) return std::nullopt;
    const auto& started = info.kp_proc.p_starttime;
    return ProcessIdentity{std::to_string(started.tv_sec) + "." + std::to_string(started.tv_usec),
                           info.kp_eproc.e_ucred.cr_uid};
#else
    auto line = readFile(procPath(pid, "stat"));
    struct stat folder {};
    if (!line || ::stat(procPath(pid, "").c_str(), &folder) != 0) return std::nullopt;
    auto start = startTicks(*line);
    if (!start) return std::nullopt;
    return ProcessIdentity{*start, folder.st_uid};
#endif
  }

  bool signal(int pid, int sig) override { return pid > 0 && kill(pid, sig) == 0; }

  std::optional<int> exitCodeIfEnded(int pid) override {
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (done == 0) return std::nullopt;
    if (done < 0) return -1;  // not ours, or already reaped
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static std::string procPath(int pid, const char* leaf) {
    return "/proc/" + std::to_string(pid) + "/" + leaf;
  }
};

}  // namespace

std::optional<std::string> startTicks(std::string_view stat) {
  // The command name may hold spaces and parentheses: count from the last ')'.
  const auto close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::istringstream fields{std::string(stat.substr(close + 1))};
  std::string field;
  for (int n = 3; n <= 22 && fields >> field; ++n) {
    if (n == 22) return field;
  }
  return std::nullopt;
}

bool commandLineNames(std::string_view cmdline, std::string_view program) {
  const std::string_view first = cmdline.substr(0, cmdline.find('\0'));
  const std::size_t secondStart = std::min(cmdline.size(), first.size() + 1);
  const std::string_view rest = cmdline.substr(secondStart);
  const std::string_view second = rest.substr(0, rest.find('\0'));
  return !program.empty() && (first == program || second == program);
}

std::unique_ptr<ProcessLauncher> makePosixProcessLauncher() {
  return std::make_unique<PosixProcessLauncher>();
}

}  // namespace brimvale::platform
