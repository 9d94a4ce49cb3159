#include "platform/notification_center.h"

#include <gtest/gtest.h>

#include "testing/base/raw_name_checks.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/recording_desktop.h"

namespace brimvale::platform {
namespace {

using brimvale::testing::TempFolder;
using testing::DesktopRecord;
using testing::RecordingDesktop;

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

TEST(RawNames, InterruptionLevelTableIsPinnedAndAgreesWithTheConversions) {
  brimvale::testing::expectRawNames(kInterruptionLevelNames, "passive active timeSensitive",
                                    interruptionLevelName, interruptionLevelFromName);
  EXPECT_FALSE(interruptionLevelFromName("urgent"));
}

}  // namespace
}  // namespace brimvale::platform
