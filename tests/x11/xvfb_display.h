// Tests and benchmarks only: a private Xvfb server on a free display number
// (the server picks it and reports it through -displayfd), stopped with the
// object. Also runs the X clipboard tools against it.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "common/base/spawn.h"

namespace brimvale::testing {

class XvfbDisplay {
 public:
  XvfbDisplay() {
    SpawnRequest request;
    request.path = "/usr/bin/Xvfb";
    request.args = {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"};
    request.stdoutTo = OutputTarget::pipe();
    request.parentDeathSignal = SIGTERM;
    auto started = spawn(request);
    if (!started) return;
    pid_ = started->pid;
    std::string number;
    pollfd fd = {started->stdoutFd, POLLIN, 0};
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < giveUp) {
      if (::poll(&fd, 1, 200) <= 0) continue;
      char buffer[32];
      const auto n = ::read(started->stdoutFd, buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(started->stdoutFd);
    if (const auto end = number.find('\n'); end != std::string::npos)
      name_ = ":" + number.substr(0, end);
  }
  ~XvfbDisplay() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  // ":N", or empty when the server did not start.
  [[nodiscard]] const std::string& name() const { return name_; }

  // Starts `program` with DISPLAY set to this server and waits for it to
  // return (xclip -i returns once its own background copy owns the
  // selection). The exit code, or -1.
  [[nodiscard]] int run(const std::string& program, std::vector<std::string> args) const {
    SpawnRequest request;
    request.path = program;
    request.args = std::move(args);
    request.envAdditions = {{"DISPLAY", name_}};
    auto started = spawn(request);
    if (!started) return -1;
    int status = 0;
    ::waitpid(started->pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int pid_ = -1;
  std::string name_;
};

}  // namespace brimvale::testing
