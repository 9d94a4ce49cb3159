// A private session bus for end-to-end tests: dbus-daemon as a child of the
// test, and a stand-in desktop notification service that records each call.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"

extern char** environ;

namespace brimvale::e2e {

// dbus-daemon --session on a private address, a child of the test so it
// is reaped when the test ends.
class PrivateBus {
 public:
  explicit PrivateBus(const std::filesystem::path& addressFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, addressFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    char program[] = "/usr/bin/dbus-daemon";
    char session[] = "--session";
    char nofork[] = "--nofork";
    char print[] = "--print-address=1";
    char* argv[] = {program, session, nofork, print, nullptr};
    if (posix_spawn(&pid_, program, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 100 && pid_ > 0; ++i) {
      const std::string text = readFile(addressFile).value_or("");
      if (text.ends_with("\n")) {
        address_ = text.substr(0, text.size() - 1);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~PrivateBus() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  [[nodiscard]] const std::string& address() const { return address_; }

 private:
  std::string address_;
  pid_t pid_ = -1;
};

// The stand-in service, recording into `record`.
class NotificationServer {
 public:
  explicit NotificationServer(const std::filesystem::path& record) : record_(record) {
    std::string program = NOTIFICATION_SERVER_PATH;
    std::string file = record.string();
    char* argv[] = {program.data(), file.data(), nullptr};
    posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ);
  }
  ~NotificationServer() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::vector<std::string> calls() const {
    const std::string text = readFile(record_).value_or("");
    std::vector<std::string> out;
    for (auto line : splitLines(text)) out.emplace_back(line);
    return out;
  }
  // Waits (bounded) until the service owns its name on the bus.
  [[nodiscard]] bool waitUntilReady() const {
    for (int i = 0; i < 100 && calls().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return !calls().empty() && calls()[0] == "ready";
  }

 private:
  std::filesystem::path record_;
  pid_t pid_ = -1;
};

}  // namespace brimvale::e2e
