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
      "/usr/bin/rsync",
      "rsync  version 3.2.7  protocol version 31\nCapabilities:\n    no crtimes, ...\n");
  ASSERT_TRUE(s);
  auto args = s->arguments(MoveConflictPolicy::kMergeKeepNewer, "/a", "/d/a");
  EXPECT_FALSE(has(args, "--crtimes"));
  EXPECT_TRUE(has(args, "--atimes"));
  EXPECT_TRUE(has(args, "--update"));
}

TEST(RsyncSupport, ASingleFileIsCopiedAsAFile) {
  auto s = RsyncSupport::fromVersionOutput("/usr/bin/rsync",
                                           "rsync  version 3.2.7  protocol version 31");
  ASSERT_TRUE(s);
  auto args = s->arguments(MoveConflictPolicy::kMerge, "/home/me/notes.txt", "/d/notes.txt",
                           CopyShape::kSingleFile);
  EXPECT_EQ(args[args.size() - 2], "/home/me/notes.txt");
  EXPECT_EQ(args.back(), "/d/notes.txt");
}

TEST(RsyncSupport, RefusesOpenrsyncAndOldVersions) {
  for (const char* text : {"openrsync: protocol version 29\nrsync version 3.0 compatible",
                           "rsync version 2.6.9", "cp (GNU coreutils) 9.1"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(RsyncSupport::fromVersionOutput("/x", text));
  }
  auto s = RsyncSupport::fromVersionOutput("/x", "\nrsync version 4.0");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->versionLine, "rsync (GNU 3+)");
  EXPECT_EQ(s->patch, 0);
}

// A full drive while writing (code 11) is told as the tool's own cause; a
// broken stream with nothing said about why reads as a drive gone away.
TEST(CopyFailure, TheKindFollowsTheCause) {
  const std::vector<std::string> noSpace{
      "rsync: [receiver] write failed on \"/d/big.bin\": No space left on device (28)"};
  const std::vector<std::string> stream{
      "rsync error: error in rsync protocol data stream (code 12) at io.c(232) [receiver=3.5.0]"};
  EXPECT_EQ(copyFailureMessage(11, "/x/Projects", noSpace).kind, MoveFailure::kStatedWithDetails);
  EXPECT_EQ(copyFailureMessage(12, "/x/Projects", stream).kind, MoveFailure::kDriveGone);
}

}  // namespace
}  // namespace brimvale::mover
