#include "service/core/quiet_gate.h"

#include <gtest/gtest.h>

namespace brimvale::service {
namespace {

TEST(QuietGate, DecidesByModeInTheStatedOrder) {
  struct Case {
    QuietInputs in;
    bool quiet;
    const char* reason;
  };
  const Case cases[] = {
      {{.mode = "schedule", .blockedHours = "9-19", .hour = 14}, true, "scheduled window 9-19"},
      {{.mode = "schedule", .blockedHours = "9-19", .hour = 20, .idleSecs = 120},
       true,
       "user active (idle 120s < 600s)"},
      {{.mode = "schedule", .blockedHours = "9-19", .hour = 19, .idleSecs = 7200}, false, ""},
      {{.mode = "smart", .idleSecs = 299}, true, "user active (idle 299s < 5m)"},
      {{.mode = "smart", .idleSecs = 600, .onBattery = true, .batteryPercent = 25},
       true,
       "battery low (25% < 30%)"},
      {{.mode = "smart", .idleSecs = 600, .batteryPercent = 25}, false, ""},
      {{.mode = "smart", .idleSecs = 600, .meetingFresh = true},
       true,
       "camera or mic in use (meeting)"},
      {{.mode = "smart", .blockedHours = "9-19", .hour = 14, .idleSecs = 600}, false, ""},
      {{.mode = "always-on", .blockedHours = "9-19", .hour = 14}, false, ""},
      {{.mode = "nightly", .idleSecs = 7200}, true, "unknown QUIET_MODE='nightly'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in.mode + " " + std::to_string(c.in.hour));
    QuietVerdict v = isQuietNow(c.in);
    EXPECT_EQ(v.quiet, c.quiet);
    EXPECT_EQ(v.reason, c.reason);
  }
}

TEST(QuietGate, BlockedWindowsNeverWrapPastMidnight) {
  struct Case {
    const char* windows;
    int hour;
    bool blocked;
  };
  const Case cases[] = {
      {"9-19", 8, false},      {"9-19", 9, true},  {"9-19", 18, true},      {"9-19", 19, false},
      {"22-6", 23, false},     {"22-6", 2, false}, {"22-24,0-6", 23, true}, {"22-24,0-6", 5, true},
      {"22-24,0-6", 6, false}, {"", 10, false},    {"x-y", 10, false},      {"10", 10, false},
      {" 9 - 19 ", 10, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.windows) + " @" + std::to_string(c.hour));
    EXPECT_EQ(hourIsBlocked(c.windows, c.hour), c.blocked);
  }
}

}  // namespace
}  // namespace brimvale::service
