#include "platform/notification_center.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "platform/testing/recording_desktop.h"
#include "platform/testing/standin_tool.h"
#include "testing/raw_name_checks.h"
#include "testing/temp_folder.h"

namespace brimvale::platform {
namespace {

using brimvale::testing::TempFolder;
using testing::DesktopRecord;
using testing::RecordingDesktop;
using testing::StandinTool;

NotificationRequest request(std::string id, std::string title) {
  NotificationRequest r;
  r.identifier = std::move(id);
  r.title = std::move(title);
  r.body = "body";
  return r;
}

TEST(NotificationCenter, OneNotificationPerIdentifierReplacedInPlace) {
  TempFolder dir;
  DesktopRecord record;
  std::vector<std::string> log;
  NotificationCenter centre(
      dir.path() / "delivered.json", std::make_unique<RecordingDesktop>(record),
      [&](const std::string& l) { log.push_back(l); }, [] { return std::time_t{1'700'000'000}; });
  centre.add(request("storage.warning", "low"));
  centre.add(request("a-uuid", "other"));
  centre.add(request("storage.warning", "critical"));
  ASSERT_EQ(centre.delivered().size(), 2u);
  EXPECT_EQ(centre.delivered()[0].request.title, "critical");
  EXPECT_EQ(record.shown.back(), (std::pair<std::string, std::string>{"critical", "1"}));

  centre.remove("storage.warning");
  EXPECT_EQ(record.withdrawn, std::vector<std::string>{"3"});
  centre.remove("unknown");
  ASSERT_EQ(centre.delivered().size(), 1u);

  // The list survives into the next run (and `brimvale notifications`).
  auto saved = readDeliveredNotifications(dir.path() / "delivered.json");
  ASSERT_TRUE(saved);
  ASSERT_EQ(saved->size(), 1u);
  EXPECT_EQ((*saved)[0].request, centre.delivered()[0].request);
  EXPECT_EQ((*saved)[0].desktopHandle, "2");
  EXPECT_TRUE(log.empty());
}

TEST(NotificationCenter, WithoutADesktopKeepsTheModelAndLogs) {
  TempFolder dir;
  DesktopRecord record;
  record.available = false;
  std::vector<std::string> log;
  NotificationCenter centre(
      dir.path() / "delivered.json", std::make_unique<RecordingDesktop>(record),
      [&](const std::string& l) { log.push_back(l); }, [] { return std::time_t{1'700'000'000}; });
  centre.add(request("t", "Drive missing"));
  ASSERT_EQ(centre.delivered().size(), 1u);
  EXPECT_EQ(centre.delivered()[0].deliveredAt, "2023-11-14T22:13:20Z");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(
      log[0],
      "[Notifications] kept without a desktop banner (no desktop session bus): Drive missing");
}

TEST(FreedesktopNotifier, SendsNotifyWithReplaceIdUrgencyAndSound) {
  TempFolder dir;
  StandinTool busctl(dir, "busctl");
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  auto notifier = makeFreedesktopNotifier(busctl.path(), dir.path().string());
  NotificationRequest r = request("storage.warning", "-Storage CRITICAL");
  r.subtitle = "Startup disk";
  r.level = InterruptionLevel::kTimeSensitive;
  r.sound = "Funk.aiff";
  busctl.reply("u 41\n");
  auto handle = notifier->show(r, "40");
  ASSERT_TRUE(handle);
  EXPECT_EQ(*handle, "41");
  notifier->withdraw("41");
  const std::string service = "org.freedesktop.Notifications";
  const std::vector<std::string> call = {
      "--user", "--", "call", service, "/org/freedesktop/Notifications", service};
  std::vector<std::string> expected;
  for (const std::vector<std::string>& part : std::vector<std::vector<std::string>>{
           call,
           {"Notify", "susssasa{sv}i", "Brimvale", "40", "", "-Storage CRITICAL"},
           {"Startup disk\nbody", "0", "2", "urgency", "y", "2", "sound-name", "s", "Funk", "-1"},
           call,
           {"CloseNotification", "u", "41"},
       }) {
    expected.insert(expected.end(), part.begin(), part.end());
  }
  EXPECT_EQ(busctl.arguments(), expected);

  busctl.reply("Call failed: The name is not activatable\n", 1);
  EXPECT_EQ(notifier->show(r, "").error().code, Errc::kToolFailed);
}

TEST(FreedesktopNotifier, WithNoSessionBusRunsNothing) {
  TempFolder dir;
  StandinTool busctl(dir, "busctl");
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  auto notifier = makeFreedesktopNotifier(busctl.path(), dir.path().string());
  EXPECT_EQ(notifier->show(request("x", "t"), "").error().code, Errc::kUnavailable);
  EXPECT_TRUE(busctl.arguments().empty());
}

TEST(RawNames, InterruptionLevelTableIsPinnedAndAgreesWithTheConversions) {
  brimvale::testing::expectRawNames(kInterruptionLevelNames, "passive active timeSensitive",
                                    interruptionLevelName, interruptionLevelFromName);
  EXPECT_FALSE(interruptionLevelFromName("urgent"));
}

}  // namespace
}  // namespace brimvale::platform
