#include "app/cli/preflight.h"

#include <gtest/gtest.h>

#include <functional>

#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {

PreflightFacts allGood() {
  return {.mount = "/Volumes/NVMe",
          .working = "/Volumes/NVMe/BRIM-Mac",
          .mounted = true,
          .laidOut = true,
          .rsyncPath = "/usr/bin/rsync",
          .driveFreeBytes = 500'000'000'000,
          .stateProblem = {},
          .installed = true,
          .running = true,
          .parked = 0,
          .unfinishedMoves = 0};
}

TEST(Preflight, EachFailingConditionIsReportedWithItsFix) {
  struct Case {
    const char* name;
    std::function<void(PreflightFacts&)> spoil;
    std::string line;  // the failing line
    std::string fix;   // a part of its fix
  };
  const Case cases[] = {
      {"drive missing", [](PreflightFacts& f) { f.mounted = false; },
       "No drive is connected at /Volumes/NVMe.", "Connect the drive"},
      {"drive nearly full", [](PreflightFacts& f) { f.driveFreeBytes = 999'999'999; },
       "The drive has only", "Make room on the drive"},
      {"no GNU rsync", [](PreflightFacts& f) { f.rsyncPath.clear(); },
       "GNU rsync 3 or later was not found.", "Install GNU rsync"},
      {"parked originals", [](PreflightFacts& f) { f.parked = 2; },
       "2 parked original(s) from earlier relocations are waiting.", "brimvale cleanup-old"},
      {"unfinished moves", [](PreflightFacts& f) { f.unfinishedMoves = 1; },
       "1 folder move(s) are unfinished.", "brimvale moves resume"},
  };
  EXPECT_NE(renderPreflight(preflightChecks(allGood())).find("Ready"), std::string::npos);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PreflightFacts facts = allGood();
    c.spoil(facts);
    std::vector<PreflightCheck> failing;
    for (const auto& check : preflightChecks(facts)) {
      if (!check.ok) failing.push_back(check);
    }
    ASSERT_EQ(failing.size(), 1u);
    EXPECT_TRUE(failing[0].line.starts_with(c.line)) << failing[0].line;
    EXPECT_NE(failing[0].fix.find(c.fix), std::string::npos) << failing[0].fix;
    const std::string text = renderPreflight(preflightChecks(facts));
    EXPECT_NE(text.find("✗ " + failing[0].line + "\n  → " + failing[0].fix), std::string::npos)
        << text;
    EXPECT_EQ(text.find("Ready"), std::string::npos);
  }
}

}  // namespace
}  // namespace brimvale::app
