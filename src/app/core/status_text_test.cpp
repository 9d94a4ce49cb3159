#include "app/core/status_text.h"

#include <gtest/gtest.h>

namespace brimvale::app {
namespace {

ServiceStatus snapshot() {
  ServiceStatus s;
  s.timestamp = "2026-12-06T10:00:00Z";
  s.nvmePath = "/Volumes/NVMe";
  s.internalFreeGb = 84;
  s.internalTotalGb = 500;
  s.quietHoursBlocked = "9-19";
  return s;
}

TEST(StatusText, SaysWhereTheDriveStands) {
  struct Case {
    const char* name;
    bool mounted, marker;
    std::optional<std::int64_t> freeBytes;
    const char* drive;
    const char* path = "/Volumes/NVMe";
  } cases[] = {
      {"unplugged", false, false, std::nullopt, "not connected (expected at /Volumes/NVMe)"},
      {"not set up", true, false, std::nullopt,
       "connected at /Volumes/NVMe, but it is not set up for Brimvale yet"},
      {"usable", true, true, 268'400'000, "connected at /Volumes/NVMe, 268.4 MB free of 1 GB"},
      {"none chosen", false, false, std::nullopt,
       "not chosen yet (`brimvale drives select PATH` takes one)", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceStatus s = snapshot();
    s.nvmePath = c.path;
    s.mounted = c.mounted;
    s.markerOk = c.marker;
    s.nvmeFreeBytes = c.freeBytes;
    s.nvmeTotalGb = 1;
    EXPECT_EQ(statusSummaryLine(s), "service status at 2026-12-06T10:00:00Z: drive " +
                                        std::string(c.drive) + ", 84 GB free on the startup disk");
  }
}

TEST(StatusText, DescribesPauseQuietHoursAndTheLastEvent) {
  ServiceStatus s = snapshot();
  s.autoEnabled = true;
  s.paused = true;
  s.internalFreeBytes = 84'123'456'789;
  s.lastEvent = "2026-12-06 09:59:00  relocated Downloads";
  const std::string text = describeStatus(s);
  EXPECT_NE(text.find("Startup disk:      84.12 GB free of 500 GB\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Automatic actions: on, paused by you\n"), std::string::npos);
  EXPECT_NE(text.find("Quiet hours:       not now (9-19)\n"), std::string::npos);
  EXPECT_NE(text.find("Last event:        2026-12-06 09:59:00  relocated Downloads\n"),
            std::string::npos);
  EXPECT_EQ(text.find("Last run:"), std::string::npos);
}

}  // namespace
}  // namespace brimvale::app
