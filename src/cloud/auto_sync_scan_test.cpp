#include "cloud/auto_sync_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

constexpr std::time_t kNow = 1'800'000'000;

void setModified(const std::filesystem::path& path, std::time_t when) {
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(AutoSyncScan, WhichFilesAreNew) {
  brimvale::testing::TempFolder root;
  AutoSyncPolicy policy;
  policy.internalPath = root.folder("watched").string();
  policy.nvmeDestParent = root.folder("drive/dest").string();
  policy.excludePatterns = {"*.tmp", "cache"};

  enum class OnDrive { kMissing, kSameSize, kOtherSize };
  struct Case {
    const char* relative;
    std::time_t age;
    OnDrive onDrive;
    bool isNew;
  } cases[] = {
      {"old.txt", 3600, OnDrive::kMissing, true},
      {"settled.txt", kSettleSeconds, OnDrive::kMissing, true},
      {"still-written.txt", kSettleSeconds - 1, OnDrive::kMissing, false},
      {"fresh.txt", 5, OnDrive::kMissing, false},
      {"sub/deeper/report.pdf", 7200, OnDrive::kMissing, true},
      {"copied.txt", 7200, OnDrive::kSameSize, false},
      {"partly-copied.txt", 7200, OnDrive::kOtherSize, true},
      {"scratch.tmp", 7200, OnDrive::kMissing, false},
      {"cache/inner.txt", 7200, OnDrive::kMissing, false},
      {"sub/cache", 7200, OnDrive::kMissing, false},
      {"busy.txt", 7200, OnDrive::kMissing, false},
      {"failing.txt", 7200, OnDrive::kMissing, false},
  };
  std::set<std::string> expected;
  for (const auto& c : cases) {
    const auto path = root.file(std::filesystem::path("watched") / c.relative, "twelve bytes");
    setModified(path, kNow - c.age);
    if (c.onDrive != OnDrive::kMissing) {
      root.file(std::filesystem::path("drive/dest") / c.relative,
                c.onDrive == OnDrive::kSameSize ? "TWELVE BYTES" : "short");
    }
    if (c.isNew) expected.insert(c.relative);
  }
  // Links are never followed, whatever they point at.
  const auto target = root.file("elsewhere/secret.txt");
  setModified(target, kNow - 7200);
  root.link("watched/link.txt", target);
  root.link("watched/linked-folder", root / "elsewhere");

  ScanHooks hooks;
  hooks.isOpen = [&](const std::string& p) { return p == (root / "watched/busy.txt").string(); };
  hooks.isBackedOff = [&](const std::string& p) {
    return p == (root / "watched/failing.txt").string();
  };
  const AutoSyncScan scan = scanPolicy(policy, kNow, hooks);

  std::set<std::string> found;
  for (const auto& f : scan.newFiles) {
    SCOPED_TRACE(f.relativePath);
    found.insert(f.relativePath);
    EXPECT_EQ(f.path, (root / "watched" / f.relativePath).string());
    EXPECT_EQ(f.bytes, 12);
  }
  EXPECT_EQ(found, expected);
  EXPECT_EQ(scan.inUse, 1);
  EXPECT_EQ(scan.unsettled, 2);
  EXPECT_EQ(scan.backedOff, 1);
  EXPECT_TRUE(scan.folderReadable);

  policy.internalPath = (root / "gone").string();
  EXPECT_FALSE(scanPolicy(policy, kNow, hooks).folderReadable);
}

}  // namespace
}  // namespace brimvale::cloud
