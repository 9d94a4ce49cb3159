#include "mover/safety_checks.h"
#include "testing/base/temp_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

TEST(RecentWrites, NewestItemDecides) {
  const brimvale::testing::TempFolder tmp("recent");
  fs::path dir = tmp.path();
  fs::create_directories(dir / "sub");
  { std::ofstream(dir / "sub" / "new.txt") << "x"; }
  const std::time_t now = std::time(nullptr);
  auto r = recentWriteReport(dir, 12, now);
  EXPECT_TRUE(r.triggered);
  EXPECT_EQ(r.path, "sub/new.txt");
  EXPECT_FALSE(recentWriteReport(dir, 0, now).triggered);
  EXPECT_FALSE(recentWriteReport(dir, 1, now + 7200).triggered);
  // Two items of the same newest time: the answer does not depend on which
  // walking thread saw which.
  const auto stamp = fs::last_write_time(dir / "sub" / "new.txt") + std::chrono::seconds(5);
  for (const char* name : {"x-first", "z-last", "m-middle"}) {
    std::ofstream(dir / "sub" / name) << "x";
    fs::last_write_time(dir / "sub" / name, stamp);
  }
  fs::last_write_time(dir / "sub", stamp);
  fs::last_write_time(dir, stamp);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(recentWriteReport(dir, 12, now).path, "sub/z-last");
}

TEST(CaseChecks, ProbeAndCollisions) {
  const brimvale::testing::TempFolder tmp("case");
  fs::path dir = tmp.path();
  EXPECT_EQ(caseSensitivity({dir / "missing", dir}), VolumeCaseSensitivity::kSensitive);
  EXPECT_EQ(caseSensitivity({dir / "missing"}), VolumeCaseSensitivity::kUnknown);
  EXPECT_TRUE(fs::is_empty(dir));  // the probe file is removed
  fs::create_directories(dir / "a");
  { std::ofstream(dir / "a" / "Read.me") << ""; }
  { std::ofstream(dir / "a" / "READ.ME") << ""; }
  { std::ofstream(dir / "a" / "other") << ""; }
  auto collisions = caseCollisions(dir);
  ASSERT_EQ(collisions.size(), 1u);
}

TEST(RelocatorLock, StaleHolderIsTakenOverAndABusyLockTimesOut) {
  const brimvale::testing::TempFolder tmp("lock");
  fs::path dir = tmp.path();
  fs::create_directories(dir / "apps-relocator");
  { std::ofstream(dir / "apps-relocator" / ".lock") << "999999\n"; }
  RelocatorLock first(dir);
  ASSERT_TRUE(first.acquire(std::chrono::milliseconds(0)));
  std::ifstream in(dir / "apps-relocator" / ".lock");
  std::string pid;
  std::getline(in, pid);
  EXPECT_EQ(pid, std::to_string(getpid()));
  RelocatorLock second(dir);  // another open file description: flock excludes it
  auto busy = second.acquire(std::chrono::milliseconds(100));
  ASSERT_FALSE(busy);
  EXPECT_EQ(busy.error().detail,
            "Apps Relocator: another relocate operation is in progress (waited 0s).");
  first.release();
  EXPECT_TRUE(second.acquire(std::chrono::milliseconds(0)));
  RelocatorLock broken(dir / "file-not-dir" / "x");
  { std::ofstream(dir / "file-not-dir") << ""; }
  auto err = broken.acquire(std::chrono::milliseconds(0));
  ASSERT_FALSE(err);
  EXPECT_TRUE(err.error().detail.starts_with("Apps Relocator: cannot open lock file ("));
}

}  // namespace
}  // namespace brimvale::mover
