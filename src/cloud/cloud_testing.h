// Tests only: the real rclone, a recorder of every program the code under
// test starts, and an SFTP server on the loopback address.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cloud/rclone_locator.h"
#include "common/base/process.h"

namespace brimvale::cloud::testing {

inline std::string realRclone() { return findExecutable("rclone"); }

// Runs every invocation for real and keeps a copy of it.
struct RecordingRunner {
  std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
  std::shared_ptr<std::vector<ProcessInvocation>> seen =
      std::make_shared<std::vector<ProcessInvocation>>();
  ProcessRunner runner() const {
    return [mutex = mutex, seen = seen](const ProcessInvocation& invocation) {
      {
        std::lock_guard lock(*mutex);
        seen->push_back(invocation);
      }
      return runProcess(invocation);
    };
  }
  std::vector<std::vector<std::string>> argumentLists() const {
    std::lock_guard lock(*mutex);
    std::vector<std::vector<std::string>> lists;
    for (const auto& invocation : *seen) lists.push_back(invocation.args);
    return lists;
  }
};

inline int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

inline bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

// `rclone serve sftp {folder}` on 127.0.0.1 with one user and password,
// stopped when the object goes.
class LoopbackSftpServer {
 public:
  LoopbackSftpServer(const std::string& folder, const std::string& user,
                     const std::string& password)
      : port_(freeLoopbackPort()) {
    ProcessInvocation serve{
        .path = realRclone(),
        .args = {"serve", "sftp", folder, "--addr", "127.0.0.1:" + std::to_string(port_), "--user",
                 user, "--pass", password}};
    serve.onStart = [this](int pid) { pid_ = pid; };
    serve.dieWithParent = true;
    thread_ = std::thread([serve] { (void)runProcess(serve); });
    for (int i = 0; i < 400 && !accepts(port_); ++i) usleep(25'000);
  }
  ~LoopbackSftpServer() {
    if (pid_ > 0) ::kill(-pid_, SIGTERM);
    thread_.join();
  }
  [[nodiscard]] int port() const { return port_; }

 private:
  int port_;
  std::atomic<int> pid_{0};
  std::thread thread_;
};

}  // namespace brimvale::cloud::testing
