#include "service/core/quiet_gate.h"
#include "testing/temp_folder.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

namespace brimvale::service {
namespace {

TEST(QuietGate, DecidesByModeInTheStatedOrder) {
  struct Case {
    const char* name;
    QuietInputs in;
    bool quiet;
    const char* reason;
  };
  const QuietInputs schedule{.mode = "schedule", .blockedHours = "9-19", .idleSecs = 7200};
  const QuietInputs smart{.mode = "smart", .blockedHours = "9-19", .idleSecs = 600};
  auto with = [](QuietInputs base, auto change) {
    change(base);
    return base;
  };
  const Case cases[] = {
      {"schedule inside window", with(schedule, [](auto& i) { i.hour = 14; }), true,
       "scheduled window 9-19"},
      {"schedule window beats idle",
       with(schedule,
            [](auto& i) {
              i.hour = 9;
              i.idleSecs = 1;
            }),
       true, "scheduled window 9-19"},
      {"schedule user active",
       with(schedule,
            [](auto& i) {
              i.hour = 20;
              i.idleSecs = 120;
            }),
       true, "user active (idle 120s < 600s)"},
      {"schedule upper bound is open", with(schedule, [](auto& i) { i.hour = 19; }), false, ""},
      {"schedule idle enough",
       with(schedule,
            [](auto& i) {
              i.hour = 3;
              i.idleSecs = 600;
            }),
       false, ""},
      {"smart active", with(smart, [](auto& i) { i.idleSecs = 299; }), true,
       "user active (idle 299s < 5m)"},
      {"smart battery low",
       with(smart,
            [](auto& i) {
              i.onBattery = true;
              i.batteryPercent = 25;
            }),
       true, "battery low (25% < 30%)"},
      {"smart low battery on AC", with(smart, [](auto& i) { i.batteryPercent = 25; }), false, ""},
      {"smart meeting", with(smart, [](auto& i) { i.meetingFresh = true; }), true,
       "camera or mic in use (meeting)"},
      {"smart meeting ignored",
       with(smart,
            [](auto& i) {
              i.meetingFresh = true;
              i.respectMeetings = false;
            }),
       false, ""},
      {"smart ignores windows", with(smart, [](auto& i) { i.hour = 14; }), false, ""},
      {"always-on",
       with(schedule,
            [](auto& i) {
              i.mode = "always-on";
              i.hour = 14;
            }),
       false, ""},
      {"always",
       with(smart,
            [](auto& i) {
              i.mode = "always";
              i.idleSecs = 0;
            }),
       false, ""},
      {"unknown mode", with(schedule, [](auto& i) { i.mode = "nightly"; }), true,
       "unknown QUIET_MODE='nightly'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
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

TEST(QuietGate, MeetingFlagCountsForThirtySeconds) {
  const brimvale::testing::TempFolder tmp("brimvale-meeting");
  std::filesystem::path dir = tmp.path();
  std::filesystem::path flag = dir / "meeting.flag";
  EXPECT_FALSE(meetingFlagFresh(flag, time(nullptr)));
  std::ofstream(flag) << "meeting\n";
  const time_t now = time(nullptr);
  for (int age : {0, 30, 31}) {
    SCOPED_TRACE(age);
    timeval times[2] = {{now - age, 0}, {now - age, 0}};
    ASSERT_EQ(utimes(flag.c_str(), times), 0);
    EXPECT_EQ(meetingFlagFresh(flag, now), age <= 30);
  }
}

}  // namespace
}  // namespace brimvale::service
