#include "service/drive_transfer/transfer_progress.h"

#include <gtest/gtest.h>

namespace brimvale::service {
namespace {

// Recorded from rsync 3.2 with --info=progress2 -v --no-inc-recursive.
const char* kProgressLog =
    "building file list ... \rdone\n"
    "Apps/\n"
    "Apps/Big Tool.app/Contents/MacOS/Big Tool\n"
    "\r         32,768   0%    0.00kB/s    0:00:00  "
    "\r    104,857,600  42%  112.45MB/s    0:00:02 (xfr#3, to-chk=40/50)"
    "\r    209,715,200  84%  110.02MB/s  123:04:05 (xfr#4, to-chk=10/50)\n"
    "Media/Movies/clip one.mov\n";

TEST(FoldProgress, ReadsTheLastStatLineAndTheLatestFile) {
  auto fold = foldProgress(kProgressLog);
  ASSERT_TRUE(fold);
  EXPECT_EQ(fold->bytesDone, "209715200");
  EXPECT_EQ(fold->etaSeconds, 123u * 3600 + 4 * 60 + 5);
  EXPECT_EQ(fold->currentFile, "Media/Movies/clip one.mov");
  EXPECT_FALSE(foldProgress("sending incremental file list\nphotos/a.jpg\n"));
}

TEST(ChecksumPass, IsCleanOnlyWhenNothingWouldBeSent) {
  struct Case {
    const char* name;
    const char* output;
    bool clean;
  } cases[] = {
      {"nothing listed", "", true},
      {"attribute-only changes", ".d..t...... Apps/\n.f...p..... notes.txt\n", true},
      {"content differs", ">fc........ Media/clip.mov\n", false},
      {"missing file", "<f+++++++++ x\n", false},
      {"extra on destination", "*deleting   stray.txt\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(checksumPassIsClean(c.output), c.clean);
  }
}

}  // namespace
}  // namespace brimvale::service
