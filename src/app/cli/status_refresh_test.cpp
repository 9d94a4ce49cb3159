#include "app/cli/status_refresh.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

constexpr std::time_t kNow = 1'800'000'000;
constexpr std::int64_t kTick = 30;

// Given snapshots of every age, then only one older than a tick (or missing,
// or dated ahead of the clock) makes the command ask the service, and the
// sentence says what the snapshot was and whether the service answered.
TEST(StatusRefresh, AsksOnlyWhenTheSnapshotIsOlderThanATick) {
  struct Case {
    const char* name;
    std::optional<std::time_t> written;
    bool serviceAnswers;
    bool asked;
    std::string says;
  } cases[] = {
      {"just written", kNow, true, false, ""},
      {"exactly one tick old", kNow - kTick, true, false, ""},
      {"a moment past a tick", kNow - kTick - 1, true, true,
       "The status snapshot was written 31s ago, so Brimvale asked the service for a fresh one."},
      {"hours old", kNow - 7'200, true, true,
       "The status snapshot was written 2h ago, so Brimvale asked the service for a fresh one."},
      {"never written", std::nullopt, true, true,
       "There was no status snapshot yet, so Brimvale asked the service for a fresh one."},
      {"dated ahead of the clock", kNow + 600, true, true,
       "The status snapshot was dated in the future, so Brimvale asked the service for a fresh "
       "one."},
      {"stale and the service silent", kNow - 600, false, true,
       "The status snapshot was written 10m ago and the service didn't answer, so what follows "
       "may be out of date. Check the service with `brimvale self-check`."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool asked = false;
    const auto said = refreshWhenStale(c.written, kNow, kTick, [&] {
      asked = true;
      return c.serviceAnswers;
    });
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(said.value_or(""), c.says);
  }
}

TEST(StatusRefresh, WrittenAtIsTheFilesModificationTime) {
  testing::TempFolder tmp("status-refresh");
  const auto file = tmp.path() / "status.json";
  EXPECT_FALSE(writtenAt(file));
  std::ofstream(file) << "{}";
  const auto written = writtenAt(file);
  ASSERT_TRUE(written);
  EXPECT_LE(std::abs(*written - std::time(nullptr)), 5);
}

}  // namespace
}  // namespace brimvale::app
