#include "mover/rsync_support.h"

#include <gtest/gtest.h>

namespace brimvale::mover {
namespace {

bool has(const std::vector<std::string>& v, std::string_view s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(RsyncSupport, TimeOptionsFollowTheVersion) {
  struct Case {
    const char* version;
    bool times;
  } cases[] = {{"rsync  version 3.2.6  protocol version 31", false},
               {"rsync  version 3.2.7  protocol version 31", true},
               {"rsync  version 3.3.0  protocol version 32", true},
               {"rsync  version 3.1  protocol version 31", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    auto s = RsyncSupport::fromVersionOutput("/usr/bin/rsync", c.version);
    ASSERT_TRUE(s);
    auto args = s->arguments(MoveConflictPolicy::kMerge, "/a b", "/d/a b");
    EXPECT_EQ(has(args, "--crtimes"), c.times);
    EXPECT_EQ(has(args, "--atimes"), c.times);
    EXPECT_EQ(args.front(), "-aHEX");
    EXPECT_EQ(args[args.size() - 2], "/a b/");
    EXPECT_EQ(args.back(), "/d/a b/");
    EXPECT_FALSE(has(args, "--update"));
  }
}

TEST(RsyncSupport, NoCrtimesCapabilityDropsOnlyCrtimes) {
  auto s = RsyncSupport::fromVersionOutput(
      "/usr/bin/rsync", "rsync  version 3.2.7  protocol version 31\nCapabilities:\n    no crtimes, ...\n");
  ASSERT_TRUE(s);
  auto args = s->arguments(MoveConflictPolicy::kMergeKeepNewer, "/a", "/d/a");
  EXPECT_FALSE(has(args, "--crtimes"));
  EXPECT_TRUE(has(args, "--atimes"));
  EXPECT_TRUE(has(args, "--update"));
}

TEST(RsyncSupport, RefusesOpenrsyncAndOldVersions) {
  for (const char* text : {"openrsync: protocol version 29\nrsync version 3.0 compatible", "rsync version 2.6.9",
                           "cp (GNU coreutils) 9.1"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(RsyncSupport::fromVersionOutput("/x", text));
  }
  auto s = RsyncSupport::fromVersionOutput("/x", "\nrsync version 4.0");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->versionLine, "rsync (GNU 3+)");
  EXPECT_EQ(s->patch, 0);
}

TEST(RsyncProgress, ParsesProgressLines) {
  auto p = parseProgressLine("  1,234,567  45%   12.50MB/s    0:01:05 (xfr#12, to-chk=3/40)");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->bytesTransferred, 1234567);
  EXPECT_DOUBLE_EQ(p->fraction, 0.45);
  EXPECT_EQ(p->bytesPerSecond, static_cast<std::int64_t>(12.5 * 1024 * 1024));
  EXPECT_EQ(p->etaSeconds, 65);
  EXPECT_EQ(p->transferCount, 12);
  EXPECT_EQ(p->toCheckRemaining, 3);
  EXPECT_EQ(p->toCheckTotal, 40);
  auto q = parseProgressLine("100 100% 3.00kB/s 0:00:00");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->bytesPerSecond, 3 * 1024);
  EXPECT_FALSE(parseProgressLine("photos/2024/img 45%.jpg"));
  EXPECT_FALSE(parseProgressLine("sent 1,234 bytes  received 35 bytes"));
}

TEST(RsyncProgress, CurrentFileSkipsToolChatter) {
  EXPECT_EQ(currentFileFromLine("  Photos/a.jpg "), "Photos/a.jpg");
  for (const char* line : {"sending incremental file list", "sent 100 bytes  received 5 bytes  210.00 bytes/sec",
                           "total size is 5  speedup is 1.00", "rsync: [sender] error", "   ",
                           "Building file list ... done", "deleting old.txt", "IO error encountered"}) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(currentFileFromLine(line));
  }
}

TEST(RsyncExit, MessagesNameTheItem) {
  EXPECT_EQ(rsyncExitMessage(23, "/Users/me/Cache"),
            "Some files in \u201CCache\u201D kept changing while they were being copied, so the copy couldn't "
            "finish cleanly. Your original is safe and untouched. This is common for app caches that are in "
            "active use.");
  EXPECT_EQ(rsyncExitMessage(99, "/"), "Brimvale couldn't finish copying this item. Your original is safe and untouched.");
  EXPECT_EQ(rsyncExitMessage(12, "/a/b/"), rsyncExitMessage(11, "/x/b"));
}

TEST(RsyncCommandLine, QuotesArgumentsWithSpaces) {
  EXPECT_EQ(commandLineText("/usr/bin/rsync", {"-aHEX", "/a b/", "/say \"hi\" now"}),
            "/usr/bin/rsync -aHEX \"/a b/\" \"/say \\\"hi\\\" now\"");
}

}  // namespace
}  // namespace brimvale::mover
