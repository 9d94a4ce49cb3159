#include "common/base/walk_below.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

// Takes from this thread the power to read past permissions that tests run
// as root have, so a folder with mode 000 really cannot be listed.
class WithoutReadOverride {
 public:
  WithoutReadOverride() {
    ::syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
    lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ::syscall(SYS_capset, &header_, lowered);
  }
  ~WithoutReadOverride() { ::syscall(SYS_capset, &header_, saved_); }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};

// Given a tree with a deep file, a link out of it, a link back to its root,
// a folder to skip and one that cannot be listed, each option limits what is seen.
TEST(WalkBelow, OptionsDecideWhatIsSeenAndTheResultSaysWhatWasNot) {
  brimvale::testing::TempFolder tmp("walk-below");
  const fs::path root = tmp.folder("root");
  tmp.file("root/a/b/c/deep");
  tmp.file("root/top");
  tmp.file("root/skipped/inside");
  tmp.file("root/locked/inside");
  tmp.file("outside/o");
  fs::create_directory_symlink(tmp / "outside", root / "out");
  fs::create_directory_symlink(root, root / "loop");
  fs::permissions(root / "locked", fs::perms::none);
  const Names depthTwo{"a", "a/b", "top", "skipped", "skipped/inside", "locked", "out", "loop"};
  Names all = depthTwo;
  all.insert({"a/b/c", "a/b/c/deep"});

  struct Row {
    const char* name;
    WalkOptions options;
    Names seen;
    bool unreadableLocked, stopped, timedOut;
  };
  Names followed = all;
  followed.insert("out/o");
  Names skipped = all;
  skipped.erase("skipped/inside");
  const Row rows[] = {
      {"no limit", {}, all, true, false, false},
      {"two levels", {.maxDepth = 2}, depthTwo, true, false, false},
      {"links followed, each folder once",
       {.links = FollowLinks::kYes},
       followed,
       true,
       false,
       false},
      {"folder skipped", {.skip = {root / "skipped/"}}, skipped, true, false, false},
      {"deadline passed", {.deadline = std::chrono::steady_clock::now()}, {}, false, false, true},
  };
  const WithoutReadOverride reader;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Names seen;
    const WalkReport r = walkBelow(root, row.options, [&](const WalkEntry& e) {
      seen.insert(e.path.lexically_relative(root).string());
      return WalkStep::kContinue;
    });
    EXPECT_EQ(seen, row.seen);
    EXPECT_EQ(r.unreadable,
              row.unreadableLocked ? std::vector{root / "locked"} : std::vector<fs::path>{});
    EXPECT_EQ(r.stopped, row.stopped);
    EXPECT_EQ(r.timedOut, row.timedOut);
    EXPECT_FALSE(r.complete());
  }

  // Stopping at the unreadable folder: the folders queued after it stay unseen.
  bool deepSeen = false;
  const WalkReport stopped =
      walkBelow(root, {.onError = OnReadError::kStop}, [&](const WalkEntry& e) {
        deepSeen = deepSeen || e.name == "deep";
        return WalkStep::kContinue;
      });
  EXPECT_TRUE(stopped.stopped);
  EXPECT_EQ(stopped.unreadable, std::vector{root / "locked"});
  EXPECT_EQ(stopped.firstError, std::errc::permission_denied);
  EXPECT_FALSE(deepSeen);

  // A missing root holds nothing, and that is the whole answer.
  EXPECT_TRUE(walkBelow(root / "missing", {}, [](const WalkEntry&) {
                return WalkStep::kContinue;
              }).complete());
}

TEST(WalkBelow, FindsEveryLinkWithItsStoredTargetWithinTheDepth) {
  brimvale::testing::TempFolder tmp("find-links");
  const fs::path root = tmp.folder("home");
  tmp.file("drive/copy/f");
  fs::create_symlink("f", tmp / "drive/copy/inner");
  tmp.folder("home/a/b");
  fs::create_directory_symlink(tmp / "drive/copy", root / "absolute");
  fs::create_symlink("../../gone", root / "a/dangling");
  fs::create_directory_symlink("../absolute", root / "a/b/relative");
  fs::create_directory_symlink(tmp / "drive", root / "a/b/into-drive");

  const std::vector<FoundLink> every{
      {root / "a/b/into-drive", tmp / "drive"},
      {root / "a/b/relative", "../absolute"},
      {root / "a/dangling", "../../gone"},
      {root / "absolute", tmp / "drive/copy"},
  };
  for (unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(threads);
    const FoundLinks found = findLinksUnder(root, {.threads = threads});
    EXPECT_EQ(found.links, every);  // drive/copy/inner lies beyond a link
    EXPECT_TRUE(found.walk.complete());
  }
  const FoundLinks shallow = findLinksUnder(root, {.maxDepth = 2});
  EXPECT_EQ(shallow.links, (std::vector<FoundLink>{every[2], every[3]}));
}

}  // namespace
}  // namespace brimvale
