// Notification delivery over a real session bus: a private dbus-daemon with a
// stand-in notification service that records every call it receives.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <thread>

#include "common/file_io.h"
#include "common/text_formats.h"
#include "diagnostics/notification_delivery.h"
#include "e2e_harness.h"
#include "platform/notification_center.h"

extern char** environ;

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// dbus-daemon --session on a private address, a child of the test so it
// is reaped when the test ends.
class PrivateBus {
 public:
  explicit PrivateBus(const fs::path& addressFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, addressFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
      std::this_thread::sleep_for(50ms);
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
  NotificationServer(const fs::path& record) : record_(record) {
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

 private:
  fs::path record_;
  pid_t pid_ = -1;
};

TEST(DesktopNotificationsE2E, ThreadsReplaceInPlaceAndDismissCloses) {
  TempHome home;
  PrivateBus bus(home.path() / "bus-address");
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
  NotificationServer server(home.path() / "calls.txt");
  for (int i = 0; i < 100 && server.calls().empty(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_EQ(server.calls(), std::vector<std::string>{"ready"});

  const StatePaths paths = StatePaths::forHome(home.path());
  fs::create_directories(paths.state);
  std::vector<std::string> log;
  platform::NotificationCenter centre(
      paths.state / "delivered.json", platform::makeFreedesktopNotifier("/usr/bin/busctl", home.path()),
      [&](const std::string& line) { log.push_back(line); }, systemClock());
  diagnostics::NotificationDelivery delivery(paths, centre);

  diagnostics::NotificationPayload warning;
  warning.thread = "storage.warning";
  warning.severity = "critical";
  delivery.post("Storage CRITICAL", "Only 12 GB left.", warning);
  delivery.post("STORAGE EMERGENCY", "Only 4 GB left.", warning);
  delivery.post("NVMe disconnected", "Plug it back in.");
  delivery.dismiss("storage.warning");

  EXPECT_EQ(server.calls(),
            (std::vector<std::string>{"ready", "notify 0 1 2 Storage CRITICAL|Only 12 GB left.",
                                      "notify 1 1 2 STORAGE EMERGENCY|Only 4 GB left.",
                                      "notify 0 2 0 NVMe disconnected|Plug it back in.", "close 1"}));
  ASSERT_EQ(centre.delivered().size(), 1u);
  EXPECT_EQ(centre.delivered()[0].desktopHandle, "2");
  EXPECT_TRUE(log.empty());
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace brimvale::e2e
