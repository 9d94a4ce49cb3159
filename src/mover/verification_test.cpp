#include "mover/verification.h"
#include "common/base/process.h"
#include "testing/base/temp_folder.h"
#include "testing/base/test_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::write;

class Trees : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_.path();
    src_ = root_ / "src";
    dst_ = root_ / "dst";
    write(src_ / "a.txt", "alpha");
    write(src_ / "sub" / "b.bin", std::string(3000, 'b'));
    fs::create_symlink("a.txt", src_ / "link");
    fs::copy(src_, dst_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    syncTimes("a.txt");
    syncTimes("sub/b.bin");
  }
  void syncTimes(const std::string& rel) {
    fs::last_write_time(dst_ / rel, fs::last_write_time(src_ / rel));
  }
  brimvale::testing::TempFolder tmp_{"verify"};
  fs::path root_, src_, dst_;
};

TEST_F(Trees, IdenticalTreesHaveNoDifferencesAndEqualDigests) {
  auto compared = quickCompareTrees(src_, dst_);
  ASSERT_TRUE(compared);
  EXPECT_TRUE(compared->differences.empty());
  // "alpha" + 3000 bytes + the link's 5-byte target, on both sides.
  EXPECT_EQ(compared->srcBytes, 3010u);
  EXPECT_EQ(compared->dstBytes, 3010u);
  EXPECT_EQ(apparentSizeKB(src_), 3);
  EXPECT_FALSE(quickCompareTrees(src_, root_ / "gone"));
  EXPECT_FALSE(treeDigest(root_ / "gone", {}));
  auto a = treeDigest(src_, {});
  auto b = treeDigest(dst_, {});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->size(), 64u);
  // The crypto library is opened on first use: known digests prove it hashes.
  EXPECT_EQ(sha256File(src_ / "a.txt"),
            "8ed3f6ad685b959ead7022518e1af76cd816f8e8ec7ccdda1ed4018e8f2223f8");
  write(root_ / "empty", "");
  EXPECT_EQ(sha256File(root_ / "empty"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(Trees, ExtrasCountOnlyUnderOverride) {
  write(dst_ / "extra.txt", "x");
  auto compared = quickCompareTrees(src_, dst_);
  ASSERT_TRUE(compared);
  EXPECT_EQ(compared->dstBytes, compared->srcBytes + 1);  // the size check sees extras too
  const auto& diffs = &compared->differences;
  ASSERT_EQ(diffs->size(), 1u);
  EXPECT_EQ((*diffs)[0].reason.description(), "extra on destination");
  EXPECT_TRUE(countedDifferences(*diffs, MoveConflictPolicy::kMerge).empty());
  EXPECT_TRUE(countedDifferences(*diffs, MoveConflictPolicy::kMergeKeepNewer).empty());
  EXPECT_EQ(countedDifferences(*diffs, MoveConflictPolicy::kOverride).size(), 1u);
}

// Each change to a copy the copy tool made must be found, and the untouched
// copy must match (or a move would copy again until it gave up).
TEST(ExactCopy, EveryKindOfChangeIsFound) {
  using namespace std::chrono_literals;
  auto setTime = [](const fs::path& p, int seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  };
  struct Case {
    const char* name;
    std::function<void(const fs::path& dst)> change;
    std::vector<std::string> differing;
  };
  const std::vector<Case> cases{
      {"untouched", [](const fs::path&) {}, {}},
      {"one byte, same size and time",
       [&](const fs::path& d) {
         write(d / "sub" / "big.bin", std::string(700000, 'b') + "X" + std::string(99, 'b'));
         setTime(d / "sub" / "big.bin", 1000);
         setTime(d / "sub", 1000);
       },
       {"sub/big.bin"}},
      {"missing file",
       [&](const fs::path& d) {
         fs::remove(d / "a.txt");
         setTime(d, 1000);
       },
       {"a.txt"}},
      {"extra file",
       [&](const fs::path& d) {
         write(d / "sub" / "new.txt", "n");
         setTime(d / "sub", 1000);
       },
       {"sub/new.txt"}},
      {"link target",
       [&](const fs::path& d) {
         fs::remove(d / "link");
         fs::create_symlink("sub/big.bin", d / "link");
         setTime(d / "link", 1000);
         setTime(d, 1000);
       },
       {"link"}},
      {"mode", [](const fs::path& d) { ::chmod((d / "a.txt").c_str(), 0600); }, {"a.txt"}},
      {"file time", [&](const fs::path& d) { setTime(d / "a.txt", 2000); }, {"a.txt"}},
      {"hard link broken",
       [&](const fs::path& d) {
         fs::remove(d / "twin");
         fs::copy_file(d / "pair", d / "twin");
         setTime(d / "twin", 1000);
         setTime(d, 1000);
       },
       {"twin"}},
      {"extended attribute",
       [](const fs::path& d) {
         ASSERT_EQ(::lsetxattr((d / "a.txt").c_str(), "user.tag", "2", 1, 0), 0);
       },
       {"a.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder tmp{"exact"};
    const fs::path src = tmp.path() / "src", dst = tmp.path() / "dst";
    write(src / "a.txt", "alpha");
    write(src / "sub" / "big.bin", std::string(800000, 'b'));
    fs::create_symlink("a.txt", src / "link");
    write(src / "pair", "linked");
    fs::create_hard_link(src / "pair", src / "twin");
    ASSERT_EQ(::lsetxattr((src / "a.txt").c_str(), "user.tag", "1", 1, 0), 0);
    for (const char* rel : {"a.txt", "sub/big.bin", "pair", "link", "sub", ""})
      setTime(src / rel, 1000);
    ASSERT_TRUE(runTool(runProcess, "/usr/bin/rsync",
                        {"-aHEX", src.string() + "/", dst.string() + "/"}, 30s)
                    .succeeded());
    c.change(dst);
    auto differing = exactCopyDifferences(src, dst);
    ASSERT_TRUE(differing) << differing.error().message();
    EXPECT_EQ(*differing, c.differing);
  }
}

// A source file written after the copy began is read again even when the
// writer kept its size and time; one untouched since well before is trusted
// to the copy tool and compared by stat alone.
TEST(ExactCopy, OnlySourceFilesChangedSinceTheCopyBeganAreReadAgain) {
  using namespace std::chrono_literals;
  const auto now = std::chrono::system_clock::now();
  struct Case {
    const char* name;
    std::optional<std::chrono::system_clock::time_point> copyStarted;
    bool changeSource;  // else the copy's byte changes
    std::vector<std::string> differing;
  };
  const std::vector<Case> cases{
      {"source written after the copy began", now, true, {"a.bin"}},
      {"source written, copy start unknown", std::nullopt, true, {"a.bin"}},
      {"copy changed, start unknown", std::nullopt, false, {"a.bin"}},
      {"copy changed, source untouched since before", now + 1h, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder tmp{"exact-since"};
    const fs::path src = tmp.path() / "src", dst = tmp.path() / "dst";
    write(src / "a.bin", std::string(4096, 'a'));
    ASSERT_TRUE(runTool(runProcess, "/usr/bin/rsync",
                        {"-aHEX", src.string() + "/", dst.string() + "/"}, 30s)
                    .succeeded());
    const fs::path changed = (c.changeSource ? src : dst) / "a.bin";
    struct stat before {};
    ASSERT_EQ(::stat(changed.c_str(), &before), 0);
    write(changed, std::string(4095, 'a') + "Z");
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, changed.c_str(), times, 0), 0);
    auto differing = exactCopyDifferences(src, dst, c.copyStarted);
    ASSERT_TRUE(differing) << differing.error().message();
    EXPECT_EQ(*differing, c.differing);
  }
}

// Every way a program can change a tree after the copy began shows in a
// change time (or, for the root, its modification time); parking, a rename
// of the root, must not.
TEST(TreeChangedSince, EveryChangeAfterTheCopyBeganIsSeen) {
  using namespace std::chrono_literals;
  struct Case {
    const char* name;
    std::function<void(const fs::path& root, const fs::path& outside)> change;
    bool changed;
  };
  const std::vector<Case> cases{
      {"nothing", [](const fs::path&, const fs::path&) {}, false},
      {"the root renamed, as parking does",
       [](const fs::path& root, const fs::path&) {
         fs::rename(root, root.string() + ".parked");
         fs::rename(root.string() + ".parked", root);
       },
       false},
      {"a file appended to",
       [](const fs::path& root, const fs::path&) {
         std::ofstream(root / "sub" / "a.txt", std::ios::app) << "more";
       },
       true},
      {"a mode changed",
       [](const fs::path& root, const fs::path&) {
         ::chmod((root / "sub" / "deep" / "b.txt").c_str(), 0600);
       },
       true},
      {"a file removed from a subfolder",
       [](const fs::path& root, const fs::path&) { fs::remove(root / "sub" / "deep" / "b.txt"); },
       true},
      {"a file removed from the root",
       [](const fs::path& root, const fs::path&) { fs::remove(root / "top.txt"); }, true},
      {"an old file moved in from outside",
       [](const fs::path& root, const fs::path& outside) {
         fs::rename(outside, root / "sub" / "deep" / "moved in");
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder tmp{"changed-since"};
    const fs::path root = tmp.path() / "tree", outside = tmp.path() / "outside.txt";
    write(root / "top.txt", "t");
    write(root / "sub" / "a.txt", "a");
    write(root / "sub" / "deep" / "b.txt", "b");
    write(outside, "o");
    // The copy "began" just after the tree was made: nothing in it is newer.
    const auto copyStarted = std::chrono::system_clock::now() + 2s + 10ms;
    std::this_thread::sleep_for(40ms);  // past the cutoff, by more than a clock tick
    c.change(root, outside);
    EXPECT_EQ(treeChangedSince(root, copyStarted), c.changed);
  }
}

TEST_F(Trees, ContentSizeModeAndLinkDifferencesAreFound) {
  write(dst_ / "a.txt", "alp");  // a shorter copy
  chmod((dst_ / "sub" / "b.bin").c_str(), 0600);
  fs::remove(dst_ / "link");
  fs::create_symlink("elsewhere", dst_ / "link");
  auto compared = quickCompareTrees(src_, dst_);
  ASSERT_TRUE(compared);
  const auto& diffs = &compared->differences;
  std::map<std::string, std::string> byPath;
  for (const auto& d : *diffs) byPath[d.path] = d.reason.description();
  EXPECT_EQ(byPath["a.txt"], "size 5 \u2260 3");
  EXPECT_TRUE(byPath["sub/b.bin"].starts_with("mode 0100"));
  EXPECT_EQ(byPath["link"], "symlink target \"a.txt\" \u2260 \"elsewhere\"");
  EXPECT_EQ(countedDifferences(*diffs, MoveConflictPolicy::kMergeKeepNewer).size(),
            1u);  // the link
  EXPECT_NE(*treeDigest(src_, {}), *treeDigest(dst_, {}));
  // Times a second apart are a difference too.
  write(src_ / "t", "t");
  write(dst_ / "t", "t");
  fs::last_write_time(dst_ / "t", fs::last_write_time(src_ / "t") + std::chrono::seconds(1));
  EXPECT_EQ(quickCompareTrees(src_, dst_)->differences.size(), diffs->size() + 1);
}

TEST_F(Trees, SameSizeDifferentContentChangesTheDigestAndFileHash) {
  write(dst_ / "a.txt", "ALPHA");
  syncTimes("a.txt");
  EXPECT_TRUE(quickCompareTrees(src_, dst_)->differences.empty());  // stat alone cannot see it
  EXPECT_NE(*treeDigest(src_, {}), *treeDigest(dst_, {}));
  EXPECT_NE(sha256File(src_ / "a.txt"), sha256File(dst_ / "a.txt"));
}

// Whole subtrees on one side only are reported entry by entry, in path
// order with extras last, and a folder facing a file is a mode difference.
TEST_F(Trees, OneSidedSubtreesAreListedEntryByEntry) {
  write(src_ / "only" / "deep" / "c.txt", "c");
  write(dst_ / "more" / "d.txt", "d");
  fs::remove_all(dst_ / "sub");
  write(dst_ / "sub", "now a file");
  auto compared = quickCompareTrees(src_, dst_);
  ASSERT_TRUE(compared);
  std::vector<std::string> seen;
  for (const auto& d : compared->differences)
    seen.push_back(d.path + ": " + d.reason.description().substr(0, 7));
  EXPECT_EQ(seen,
            (std::vector<std::string>{
                "only: missing", "only/deep: missing", "only/deep/c.txt: missing", "sub: mode 04",
                "sub/b.bin: missing", "more: extra o", "more/d.txt: extra o"}));
}

// The thorough level under the merge policies compares the source's entries
// with their counterparts only: extras never count, a changed byte always
// does (the copy tool's size-and-time check cannot see it either).
TEST_F(Trees, CounterpartsDecideTheThoroughCheckOfAMerge) {
  using P = MoveConflictPolicy;
  auto touch = [&](const std::string& rel, int secondsFromSource) {
    fs::last_write_time(dst_ / rel,
                        fs::last_write_time(src_ / rel) + std::chrono::seconds(secondsFromSource));
  };
  struct Case {
    const char* name;
    std::function<void()> change;
    std::vector<std::string> mergeDiffers, newerDiffers;
  } cases[] = {
      {"identical", [] {}, {}, {}},
      {"extras on the destination", [&] { write(dst_ / "more" / "extra.txt", "x"); }, {}, {}},
      {"a corrupted byte, same size and time",
       [&] {
         write(dst_ / "sub" / "b.bin", std::string(2999, 'b') + "X");
         syncTimes("sub/b.bin");
       },
       {"sub/b.bin"},
       {"sub/b.bin"}},
      {"a missing file", [&] { fs::remove(dst_ / "a.txt"); }, {"a.txt"}, {"a.txt"}},
      {"a newer different copy",
       [&] {
         write(dst_ / "a.txt", "edited later");
         touch("a.txt", 60);
       },
       {"a.txt"},
       {}},
      {"an older different copy",
       [&] {
         write(dst_ / "a.txt", "stale");
         touch("a.txt", -60);
       },
       {"a.txt"},
       {"a.txt"}},
      {"another mode", [&] { chmod((dst_ / "a.txt").c_str(), 0600); }, {"a.txt"}, {}},
      {"another link target",
       [&] {
         fs::remove(dst_ / "link");
         fs::create_symlink("elsewhere", dst_ / "link");
       },
       {"link"},
       {"link"}},
      {"a folder where a file was",
       [&] {
         fs::remove(dst_ / "a.txt");
         fs::create_directory(dst_ / "a.txt");
       },
       {"a.txt"},
       {"a.txt"}},
  };
  const fs::path pristine = root_ / "pristine";
  fs::copy(dst_, pristine, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dst_);
    fs::copy(pristine, dst_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    syncTimes("a.txt");
    syncTimes("sub/b.bin");
    c.change();
    const CounterpartCheck merge = compareCounterparts(src_, dst_, P::kMerge, {}, {});
    ASSERT_TRUE(merge.srcDigest && merge.dstDigest);
    EXPECT_EQ(merge.differing, c.mergeDiffers);
    EXPECT_EQ(*merge.srcDigest, *treeDigest(src_, {}));  // the source digest is the tree digest
    // Counterparts that all match digest exactly like the source.
    EXPECT_EQ(*merge.srcDigest == *merge.dstDigest, c.mergeDiffers.empty());
    EXPECT_EQ(compareCounterparts(src_, dst_, P::kMergeKeepNewer, {}, {}).differing,
              c.newerDiffers);
  }
  EXPECT_FALSE(compareCounterparts(root_ / "gone", dst_, P::kMerge, {}, {}).srcDigest);
  const CounterpartCheck noCopy = compareCounterparts(src_, root_ / "gone", P::kMerge, {}, {});
  EXPECT_TRUE(noCopy.srcDigest);
  EXPECT_FALSE(noCopy.dstDigest);
}

// A record read from disk sends a clean-up to a source that may be half
// relinked already: links to their own copies and the walk's spare links
// count as done, anything else must still match.
TEST_F(Trees, BeforeCleanupHalfRelinkedSourcesMatchAndChangesDoNot) {
  fs::remove(src_ / "a.txt");
  fs::create_symlink(dst_ / "a.txt", src_ / "a.txt");
  fs::create_symlink(dst_ / "sub" / "b.bin", src_ / "sub" / ".bvl-0123456789ab");
  write(dst_ / "extra.txt", "only on the copy");
  for (auto policy : {MoveConflictPolicy::kMerge, MoveConflictPolicy::kOverride,
                      MoveConflictPolicy::kMergeKeepNewer}) {
    SCOPED_TRACE(conflictPolicyRaw(policy));
    auto unmatched = unmatchedBeforeCleanup(src_, dst_, policy);
    ASSERT_TRUE(unmatched);
    EXPECT_TRUE(unmatched->empty()) << unmatched->front();
  }
  // Same size, another time, same bytes: settled by the content.
  fs::last_write_time(dst_ / "sub" / "b.bin",
                      fs::last_write_time(src_ / "sub" / "b.bin") + std::chrono::hours(1));
  EXPECT_TRUE(unmatchedBeforeCleanup(src_, dst_, MoveConflictPolicy::kMerge)->empty());
  write(dst_ / "sub" / "b.bin", std::string(3000, 'c'));
  // Set apart: written within the same clock tick, both times could be equal.
  fs::last_write_time(dst_ / "sub" / "b.bin",
                      fs::last_write_time(src_ / "sub" / "b.bin") + std::chrono::hours(2));
  write(src_ / "new.txt", "written after the copy");
  fs::create_symlink("/elsewhere/x", src_ / "sub" / ".bvl-00000000ffff");  // not the walk's own
  EXPECT_EQ(*unmatchedBeforeCleanup(src_, dst_, MoveConflictPolicy::kMerge),
            (std::vector<std::string>{"new.txt", "sub/.bvl-00000000ffff", "sub/b.bin"}));
  EXPECT_FALSE(unmatchedBeforeCleanup(src_, root_ / "gone", MoveConflictPolicy::kMerge));
}

// A copy far smaller than its original fails the size check; drift within
// the tolerance, or a source that grew while copying, does not.
TEST(SizeCheck, FailsACopyFarSmallerThanItsOriginal) {
  struct Case {
    std::int64_t manifest, live, dst;
    bool passes;
  } cases[] = {{300, 300, 290, true},
               {10000, 10000, 9400, false},
               {100, 100, 0, false},
               {0, 10000, 9600, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dst);
    EXPECT_EQ(sizeCheck(c.manifest, c.live, c.dst).passed, c.passes);
  }
}

// Only a passing check lets the move go on; a missing drive pauses it.
TEST(VerificationOutcome, OnlyAPassGoesOn) {
  const Difference skew{"a",
                        DiffReason{.kind = DiffReason::Kind::kSize, .srcSize = 1, .dstSize = 2}};
  const std::pair<VerificationOutcome, MovePhase> cases[] = {
      {fastVerificationOutcome(true, {skew}, {}, true), MovePhase::kVerifying},
      {fastVerificationOutcome(true, {skew}, {"a"}, true), MovePhase::kFailed},
      {fastVerificationOutcome(false, {}, {}, true), MovePhase::kFailed},
      {fastVerificationOutcome(false, {}, {}, false), MovePhase::kWaitingForDrive},
      {thoroughVerificationOutcome("s1", "d1", {"x"}, true), MovePhase::kFailed},
      {thoroughVerificationOutcome("s1", {}, {}, true), MovePhase::kFailed},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const VerificationReport r = renderVerification(cases[i].first);
    EXPECT_EQ(r.next, cases[i].second);
    // A failed comparison reads as a copy that didn't match; a lost drive as one.
    if (r.lastError) {
      EXPECT_EQ(r.lastError->kind, r.next == MovePhase::kFailed ? MoveFailure::kVerification
                                                                : MoveFailure::kDriveGone);
    }
  }
}

}  // namespace
}  // namespace brimvale::mover
