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
  EXPECT_FALSE(parseProgressLine("photos/2024/img 45%.jpg"));
  EXPECT_FALSE(parseProgressLine("sent 1,234 bytes  received 35 bytes"));
}

// Standard error of real rsync 3.x runs (paths shortened), and the cause each
// failure is told with. The exit code's own text stays where it is true.
TEST(CopyFailure, TheCauseComesFromTheToolsOwnLines) {
  const std::string plain =
      "Brimvale couldn't finish copying \u201CProjects\u201D. Your original is safe and untouched.";
  struct Case {
    const char* name;
    int exitCode;
    std::vector<std::string> stderrLines;
    CopyFailureCause cause;
    std::string startsWith;
    const char* says;  // after the opening text, before the raw lines
  } cases[] = {
      {"drive full while writing",
       11,
       {"rsync: [receiver] write failed on \"/Volumes/NVMe/BRIM-Mac/Relocated/Projects/big.bin\": "
        "No space "
        "left on device (28)",
        "rsync error: error in file IO (code 11) at receiver.c(657) [receiver=3.5.0]", "",
        "rsync: [sender] write error: Broken pipe (32)"},
       CopyFailureCause::kNoSpace,
       plain,
       "The drive is full \u2014 free some space on the drive and try again."},
      {"drive out of file slots",
       23,
       {"rsync: [receiver] mkstemp \"/Volumes/NVMe/BRIM-Mac/Relocated/Projects/.f26.txt.avk6XR\" "
        "failed: No "
        "space left on device (28)",
        "rsync error: some files/attrs were not transferred (see previous errors) (code 23) at "
        "main.c(1394) "
        "[sender=3.5.0]"},
       CopyFailureCause::kNoSpace,
       plain,
       "The drive is full"},
      {"unreadable file",
       23,
       {"rsync: [sender] send_files failed to open \"/home/me/Projects/sub/locked.txt\": "
        "Permission denied (13)",
        "rsync error: some files/attrs were not transferred (see previous errors) (code 23) at "
        "main.c(1394) "
        "[sender=3.5.0]"},
       CopyFailureCause::kPermissionDenied,
       plain,
       "permission was denied"},
      {"path too long",
       23,
       {"filename overflows max-path len by 1: eeee/eeee/eeee",
        "rsync error: some files/attrs were not transferred (see previous errors) (code 23) at "
        "main.c(1394) "
        "[sender=3.5.0]"},
       CopyFailureCause::kNameTooLong,
       plain,
       "too long to be copied"},
      {"read-only destination",
       23,
       {"rsync: [receiver] mkstemp \"/Volumes/NVMe/x/.a.XXXX\" failed: Read-only file system (30)"},
       CopyFailureCause::kReadOnly,
       plain,
       "read-only"},
      {"files that really vanished",
       24,
       {"file has vanished: \"/home/me/Projects/cache/tmp1\""},
       CopyFailureCause::kVanished,
       "Some files in \u201CProjects\u201D were removed by another app",
       ""},
      {"an unexplained 23 keeps its text",
       23,
       {},
       CopyFailureCause::kUnknown,
       "Some files in \u201CProjects\u201D kept changing",
       ""},
      {"usage error",
       1,
       {"rsync: This rsync does not support --crtimes (-N)",
        "rsync error: syntax or usage error (code 1) at main.c(1886) [client=3.5.0]"},
       CopyFailureCause::kUnknown,
       "Brimvale couldn't start the copy for \u201CProjects\u201D because of an internal problem.",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(copyFailureCause(c.stderrLines), c.cause);
    const std::string text = copyFailureMessage(c.exitCode, "/home/me/Projects", c.stderrLines);
    EXPECT_TRUE(text.starts_with(c.startsWith)) << text;
    const std::string sentence = text.substr(0, text.find(kRawErrorMarker));
    EXPECT_NE(sentence.find(c.says), std::string::npos) << text;
    if (c.cause != CopyFailureCause::kUnknown && c.cause != CopyFailureCause::kVanished) {
      EXPECT_EQ(sentence.find("kept changing"), std::string::npos);
      EXPECT_EQ(sentence.find("busy or briefly unavailable"), std::string::npos);
    }
    // The tool's first complaint follows as the raw error; its summary line only when alone.
    if (!c.stderrLines.empty()) {
      EXPECT_EQ(text.substr(sentence.size() + kRawErrorMarker.size(), c.stderrLines[0].size()),
                c.stderrLines[0]);
    }
  }
  const std::string onlySummary = copyFailureMessage(
      12, "/x/Projects",
      {"rsync error: error in rsync protocol data stream (code 12) at io.c(232) [receiver=3.5.0]"});
  EXPECT_TRUE(onlySummary.ends_with(
      " Raw error: rsync error: error in rsync protocol data stream (code 12) at io.c(232) "
      "[receiver=3.5.0]"))
      << onlySummary;
  std::vector<std::string> many(
      7, "rsync: [sender] send_files failed to open \"/x\": Permission denied (13)");
  EXPECT_TRUE(copyFailureMessage(23, "/x/Projects", many).ends_with(" (+4 more)"));
}

}  // namespace
}  // namespace brimvale::mover
