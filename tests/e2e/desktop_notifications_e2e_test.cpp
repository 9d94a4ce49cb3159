// Notification delivery over a real session bus: a private dbus-daemon with a
// stand-in notification service that records every call it receives.
#include <gtest/gtest.h>

#include "diagnostics/notification_delivery.h"
#include "e2e_harness.h"
#include "platform/notification_center.h"
#include "session_bus.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

TEST(DesktopNotificationsE2E, ThreadsReplaceInPlaceAndDismissCloses) {
  TempHome home;
  PrivateBus bus(home.path() / "bus-address");
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
  NotificationServer server(home.path() / "calls.txt");
  ASSERT_TRUE(server.waitUntilReady());

  const StatePaths paths = StatePaths::forHome(home.path());
  fs::create_directories(paths.state);
  std::vector<std::string> log;
  platform::NotificationCenter centre(
      paths.state / "delivered.json",
      platform::makeFreedesktopNotifier("/usr/bin/busctl", home.path()),
      [&](const std::string& line) { log.push_back(line); }, systemClock());
  diagnostics::NotificationDelivery delivery(paths, centre);

  diagnostics::NotificationPayload warning;
  warning.thread = "storage.warning";
  warning.severity = "critical";
  delivery.post("Storage CRITICAL", "Only 12 GB left.", warning);
  delivery.post("STORAGE EMERGENCY", "Only 4 GB left.", warning);
  delivery.post("NVMe disconnected", "Plug it back in.");
  delivery.dismiss("storage.warning");

  EXPECT_EQ(server.calls(), (std::vector<std::string>{
                                "ready", "notify 0 1 2 Storage CRITICAL|Only 12 GB left.",
                                "notify 1 1 2 STORAGE EMERGENCY|Only 4 GB left.",
                                "notify 0 2 0 NVMe disconnected|Plug it back in.", "close 1"}));
  ASSERT_EQ(centre.delivered().size(), 1u);
  EXPECT_EQ(centre.delivered()[0].desktopHandle, "2");
  EXPECT_TRUE(log.empty());
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace brimvale::e2e
