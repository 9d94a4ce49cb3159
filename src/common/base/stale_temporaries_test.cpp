#include "common/base/stale_temporaries.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

constexpr pid_t kDead = 900001;
constexpr pid_t kLive = 900002;

bool fakeAlive(pid_t pid) { return pid == kLive; }

std::string tmpName(const std::string& name, pid_t pid) {
  return name + ".tmp." + std::to_string(pid);
}

TEST(StaleTemporaries, RemovesOnlyLeftoversOfEndedWriters) {
  brimvale::testing::TempFolder root("bv-sweep");
  const std::string dead = std::to_string(kDead);
  const std::vector<fs::path> stale{
      root.file(tmpName("brim-vale.conf", kDead)),
      root.file(tmpName("brim-vale.conf.bak.20260101120000", kDead)),
      root.file("state/" + tmpName("status.json", kDead)),
      root.file("state/folder-moves/" + tmpName("abc.json", kDead)),
  };
  const std::vector<fs::path> kept{
      root.file(tmpName("brim-vale.conf", kLive)),             // still writing
      root.file("state/" + tmpName("status.json", getpid())),  // this process
      root.file("state/status.json"),
      root.file("state/notes.tmp"),
      root.file("state/x.tmp." + dead + "a"),
      root.file("state/.tmp." + dead),
      root.file("quarantine/apps/Tool.app/" + tmpName("cache", kDead)),  // the user's files
      root.file("state/junk-media/" + tmpName("photo", kDead)),
      root.file("state/a/b/c/" + tmpName("too-deep", kDead)),
  };
  // A folder reached through a link is somebody else's: nothing in it goes.
  brimvale::testing::TempFolder elsewhere("bv-sweep-elsewhere");
  const fs::path foreign = elsewhere.file(tmpName("theirs", kDead));
  root.link("state/linked", elsewhere.path());
  fs::create_directory_symlink(elsewhere.path(), root / "linked-root");
  const fs::path linkedFile = root.link(tmpName("link", kDead), foreign);

  auto removed = sweepStaleTemporaries(root.path(), fakeAlive);
  std::sort(removed.begin(), removed.end());
  auto expected = stale;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(removed, expected);
  for (const auto& path : stale) EXPECT_FALSE(fs::exists(path)) << path;
  for (const auto& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
  EXPECT_TRUE(fs::exists(foreign));
  EXPECT_TRUE(fs::is_symlink(linkedFile)) << "only regular files are swept";
}

TEST(StaleTemporaries, AStateFolderThatIsALinkIsLeftAlone) {
  brimvale::testing::TempFolder real("bv-sweep-real");
  const fs::path leftover = real.file(tmpName("status.json", kDead));
  brimvale::testing::TempFolder holder("bv-sweep-holder");
  const fs::path root = holder.link(".brimvale", real.path());
  EXPECT_TRUE(sweepStaleTemporaries(root, fakeAlive).empty());
  EXPECT_TRUE(fs::exists(leftover));
  EXPECT_TRUE(sweepStaleTemporaries(holder / "missing", fakeAlive).empty());
}

}  // namespace
}  // namespace brimvale
