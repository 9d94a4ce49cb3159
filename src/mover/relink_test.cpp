#include "mover/relink.h"
#include "testing/base/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>

#include "common/base/file_io.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/test_file.h"
#include "testing/base/tree_view.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::write;

class Relink : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_.path();
    src_ = root_ / "src";
    dst_ = root_ / "dst";
    for (const char* rel : {"a.txt", "sub/b.bin", "sub/deep/c d.txt", "sub/deep/new\nline"}) {
      write(src_ / rel, rel);
      write(dst_ / rel, rel);
    }
    fs::create_symlink("a.txt", src_ / "link");
  }
  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // The walk with the real file operations; its notes go beside the trees.
  WalkResult relinkTree(const fs::path& src, const fs::path& dst) const {
    const DiagnosticsLog diagnostics(root_ / "diagnostics.log");
    return mover::relinkTree(src, dst, {FileOperations::real(), diagnostics, guard_});
  }
  brimvale::testing::TempFolder tmp_{"relink"};
  // The copy start is not known here: every file is compared by its bytes.
  const ReplaceGuard guard_;
  fs::path root_, src_, dst_;
};

TEST_F(Relink, EveryFileBecomesALinkToItsCopyAndFoldersStay) {
  const WalkResult r = relinkTree(src_, dst_);
  EXPECT_EQ(r.relinked, 4);
  EXPECT_EQ(r.skipped, 3);  // sub, sub/deep and the link
  EXPECT_EQ(r.errors, 0);
  EXPECT_FALSE(r.firstError);
  for (const char* rel : {"a.txt", "sub/b.bin", "sub/deep/c d.txt", "sub/deep/new\nline"}) {
    SCOPED_TRACE(rel);
    EXPECT_TRUE(fs::is_symlink(src_ / rel));
    EXPECT_EQ(fs::read_symlink(src_ / rel), dst_ / rel);
    EXPECT_EQ(read(src_ / rel), rel);
  }
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(src_ / "sub")));
  EXPECT_EQ(fs::read_symlink(src_ / "link"), "a.txt");  // links are left as they are
  // Nothing temporary is left behind, and a second run has nothing to do.
  for (const auto& e : fs::recursive_directory_iterator(src_)) {
    EXPECT_EQ(e.path().string().find(".brimvale-link"), std::string::npos);
  }
  EXPECT_EQ(relinkTree(src_, dst_).relinked, 0);
}

// The real file operations, and one action on the file about to be replaced
// at the moment its temporary link is made: after the guard's check, before
// the rename. The root's files are linked before any subfolder's, so it
// happens at a.txt.
class ActBeforeRename final : public FileOperations {
 public:
  using Act = std::function<void(const fs::path& file)>;
  ActBeforeRename(fs::path src, fs::path dst, Act act)
      : src_(std::move(src)), dst_(std::move(dst)), act_(std::move(act)) {}
  std::error_code symlinkAt(const std::string& target, int dirfd,
                            const std::string& name) override {
    if (!written_.exchange(true)) act_(src_ / fs::path(target).lexically_relative(dst_));
    return real().symlinkAt(target, dirfd, name);
  }
  std::error_code rename(const fs::path& f, const fs::path& t) override {
    return real().rename(f, t);
  }
  std::error_code renameNoReplace(const fs::path& f, const fs::path& t) override {
    return real().renameNoReplace(f, t);
  }
  std::error_code createDirectorySymlink(const fs::path& t, const fs::path& l) override {
    return real().createDirectorySymlink(t, l);
  }
  std::error_code remove(const fs::path& p) override { return real().remove(p); }
  std::error_code removeAll(const fs::path& p) override { return real().removeAll(p); }
  std::error_code createDirectory(const fs::path& p) override { return real().createDirectory(p); }
  std::error_code createDirectories(const fs::path& p) override {
    return real().createDirectories(p);
  }
  std::error_code createExclusively(const fs::path& p, ClaimKind k) override {
    return real().createExclusively(p, k);
  }
  std::error_code renameAt(int d, const std::string& f, const std::string& t) override {
    return real().renameAt(d, f, t);
  }
  std::error_code unlinkAt(int d, const std::string& n) override { return real().unlinkAt(d, n); }

 private:
  fs::path src_, dst_;
  Act act_;
  std::atomic<bool> written_{false};
};

// Given files whose copy is missing or differs, or that are written between
// the guard's check and the rename, then each stays a real file with all its
// bytes and is listed as changed (to be copied again), and the rest become links.
TEST_F(Relink, FilesChangedOrWithoutAMatchingCopyStayAndAreListed) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& src, const fs::path& dst)> edit;
    bool writeBeforeRename;
    std::vector<std::string> changed;
    bool keepNewer = false;
  };
  const Case cases[] = {
      {"copies missing",
       [](auto&, auto& dst) {
         fs::remove(dst / "sub" / "b.bin");
         fs::remove(dst / "sub" / "deep" / "c d.txt");
       },
       false,
       {"sub/b.bin", "sub/deep/c d.txt"}},
      {"copy differs", [](auto&, auto& dst) { write(dst / "a.txt", "A.txt"); }, false, {"a.txt"}},
      {"written between the check and the rename", {}, true, {"a.txt"}},
      {"keeping the newer, the file at home is newer",
       [](auto& src, auto& dst) {
         write(dst / "a.txt", "A.txt");
         fs::last_write_time(dst / "a.txt",
                             fs::last_write_time(src / "a.txt") - std::chrono::hours(1));
       },
       false,
       {"a.txt"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src_);
    fs::remove_all(dst_);
    SetUp();
    if (c.edit) c.edit(src_, dst_);
    const std::string before = read(src_ / "a.txt");
    ActBeforeRename late(
        src_, dst_, [](const fs::path& file) { std::ofstream(file, std::ios::app) << "late\n"; });
    const DiagnosticsLog diagnostics(root_ / "diagnostics.log");
    const WalkResult r = mover::relinkTree(src_, dst_,
                                           {c.writeBeforeRename ? late : FileOperations::real(),
                                            diagnostics,
                                            guard_,
                                            {},
                                            c.keepNewer});
    EXPECT_EQ(r.errors, 0) << r.firstError.value_or("");
    EXPECT_EQ(r.changed, c.changed);
    for (const auto& rel : c.changed) EXPECT_FALSE(fs::is_symlink(src_ / rel)) << rel;
    if (c.writeBeforeRename) {
      EXPECT_EQ(read(src_ / "a.txt"), before + "late\n");
    }
  }
}

// The progress counts every link once against the total of plain files: the
// walk's own count, or one given by an earlier walk, which never shows fewer
// files than were linked.
TEST_F(Relink, ProgressCountsEachLinkAgainstTheTotal) {
  for (const std::optional<std::size_t> given : {std::optional<std::size_t>{}, {2}}) {
    SCOPED_TRACE(given ? "total given" : "total counted");
    fs::remove_all(src_);
    fs::remove_all(dst_);
    SetUp();
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::size_t>> seen;
    const DiagnosticsLog diagnostics(root_ / "diagnostics.log");
    const auto progress = [&](std::size_t done, std::size_t total) {
      std::lock_guard lock(mutex);
      seen.emplace_back(done, total);
    };
    const WalkResult r = mover::relinkTree(
        src_, dst_, {FileOperations::real(), diagnostics, guard_, progress, false, given});
    ASSERT_EQ(r.relinked, 4);
    std::sort(seen.begin(), seen.end());
    ASSERT_EQ(seen.size(), 4u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].first, i + 1);
      EXPECT_EQ(seen[i].second, given ? std::max<std::size_t>(i + 1, 2) : 4);
    }
  }
}

// What keeps the tree from being finished is found by the walk itself, each
// folder looked at again after its files became links, as a separate walk
// afterwards finds it.
TEST_F(Relink, TheWalkFindsWhatAWalkAfterItWouldFind) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& src, const fs::path& dst)> before;
    ActBeforeRename::Act during;  // at the first link, once the root was listed
    std::vector<std::string> notLinked, dangling;
  };
  const auto none = [](const fs::path&) {};
  const Case cases[] = {
      {"nothing written", {}, none, {}, {}},
      {"a file written in a folder already listed",
       {},
       [](const fs::path& file) { write(file.parent_path() / "new.txt", "new"); },
       {"new.txt"},
       {}},
      {"a folder made during the walk",
       {},
       [](const fs::path& file) { write(file.parent_path() / "made" / "x.txt", "x"); },
       {"made/x.txt"},
       {}},
      {"a link into the copy whose copy is gone",
       [](const fs::path& src, const fs::path& dst) {
         fs::create_symlink(dst / "sub" / "gone.txt", src / "sub" / "gone.txt");
       },
       none,
       {},
       {"sub/gone.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src_);
    fs::remove_all(dst_);
    SetUp();
    if (c.before) c.before(src_, dst_);
    ActBeforeRename files(src_, dst_, c.during);
    const DiagnosticsLog diagnostics(root_ / "diagnostics.log");
    const WalkResult r = mover::relinkTree(src_, dst_, {files, diagnostics, guard_});
    EXPECT_EQ(r.linkedCheck.notLinked, c.notLinked);
    EXPECT_EQ(r.linkedCheck.dangling, c.dangling);
    EXPECT_FALSE(r.linkedCheck.replaced || r.linkedCheck.unreadable);
    const LinkedTreeCheck after = checkLinkedTree(src_, dst_);
    EXPECT_EQ(after.notLinked, r.linkedCheck.notLinked);
    EXPECT_EQ(after.dangling, r.linkedCheck.dangling);
  }
}

// A run killed between making a temporary link and renaming it over the
// file leaves a spare link beside the intact file; the next run removes it
// and nothing else.
TEST_F(Relink, SpareLinksOfAKilledRunAreRemovedAndNothingElse) {
  fs::create_symlink(dst_ / "sub" / "b.bin", src_ / "sub" / ".bvl-00000000beef");
  fs::create_symlink(dst_ / "a.txt", src_ / "a.txt.brimvale-link");
  fs::create_symlink("/elsewhere/notes.txt",
                     src_ / ".bvl-0000000000aa");  // looks like ours, points elsewhere
  write(src_ / ".bvl-0000000000bb", "a file, not a link");
  write(dst_ / ".bvl-0000000000bb", "a file, not a link");
  const WalkResult r = relinkTree(src_, dst_);
  EXPECT_EQ(r.errors, 0) << r.firstError.value_or("");
  EXPECT_FALSE(fs::exists(fs::symlink_status(src_ / "sub" / ".bvl-00000000beef")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(src_ / "a.txt.brimvale-link")));
  EXPECT_EQ(fs::read_symlink(src_ / ".bvl-0000000000aa"), "/elsewhere/notes.txt");
  EXPECT_EQ(fs::read_symlink(src_ / ".bvl-0000000000bb"), dst_ / ".bvl-0000000000bb");
  EXPECT_EQ(read(src_ / "sub" / "b.bin"), "sub/b.bin");

  // The same for a single file: only spare links to this file's copy go.
  write(src_ / "one.txt", "1");
  write(dst_ / "one.txt", "1");
  fs::create_symlink(dst_ / "one.txt", src_ / ".bvl-0000000000cc");
  fs::create_symlink(dst_ / "a.txt", src_ / ".bvl-0000000000dd");
  EXPECT_EQ(relinkTree(src_ / "one.txt", dst_ / "one.txt").relinked, 1);
  EXPECT_FALSE(fs::exists(fs::symlink_status(src_ / ".bvl-0000000000cc")));
  EXPECT_TRUE(fs::is_symlink(src_ / ".bvl-0000000000dd"));
}

TEST_F(Relink, SingleFilesAndLinkedSourcesAndMissingSources) {
  const WalkResult one = relinkTree(src_ / "a.txt", dst_ / "a.txt");
  EXPECT_TRUE(one.singleFile);
  EXPECT_EQ(one.relinked, 1);
  EXPECT_EQ(fs::read_symlink(src_ / "a.txt"), dst_ / "a.txt");

  fs::rename(src_, root_ / "moved");
  fs::create_directory_symlink(dst_, src_);
  const WalkResult linked = relinkTree(src_, dst_);
  EXPECT_EQ(linked.skipped, 1);
  EXPECT_EQ(linked.relinked, 0);

  const WalkResult gone = relinkTree(root_ / "gone", dst_);
  EXPECT_EQ(gone.errors, 1);
  EXPECT_EQ(*gone.firstError, "Source not found: " + (root_ / "gone").string());
}

// Given the disk refusing one link or rename in the middle of a relink, then
// the first error names the file and the system's reason, every old path
// still reads what it read before, a spare link that could not be removed is
// noted in the diagnostics log, and the next run finishes the job.
TEST_F(Relink, AFailureMidRelinkLosesNothingAndTheNextRunFinishes) {
  using brimvale::testing::FileOp;
  brimvale::testing::writeAwkwardTree(src_ / "tree", 9, 100, 3);
  brimvale::testing::writeAwkwardTree(dst_ / "tree", 9, 100, 3);
  const brimvale::testing::TreeView before = brimvale::testing::userView(src_);
  struct Fault {
    FileOp op;
    std::string namePart;
    int err;
  };
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    std::string firstError;
    int diagnosticLines;
  };
  const std::vector<Case> cases = {
      {"rename: no space",
       {{FileOp::kRenameAt, "b.bin", ENOSPC}},
       (src_ / "sub" / "b.bin").string() + ": " + std::strerror(ENOSPC),
       0},
      {"rename: other volume",
       {{FileOp::kRenameAt, "c d.txt", EXDEV}},
       (src_ / "sub" / "deep" / "c d.txt").string() + ": " + std::strerror(EXDEV),
       0},
      {"link: not allowed", {{FileOp::kSymlinkAt, ".bvl-", EACCES}}, std::strerror(EACCES), 0},
      {"rename fails and its spare link stays",
       {{FileOp::kRenameAt, "a.txt", ENOSPC}, {FileOp::kUnlinkAt, ".bvl-", EACCES}},
       (src_ / "a.txt").string() + ": " + std::strerror(ENOSPC),
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path log = root_ / (std::string(c.name) + ".log");
    const DiagnosticsLog diagnostics(log);
    brimvale::testing::FailingFileOperations files;
    for (const auto& f : c.faults) files.failFirst(f.op, f.namePart, f.err);
    const WalkResult r = mover::relinkTree(src_, dst_, {files, diagnostics, guard_});
    EXPECT_EQ(files.injected(), static_cast<int>(c.faults.size()));
    EXPECT_EQ(r.errors, 1);
    ASSERT_TRUE(r.firstError.has_value());
    EXPECT_NE(r.firstError->find(c.firstError), std::string::npos) << *r.firstError;
    EXPECT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(src_)), 0);
    EXPECT_EQ(readLastLines(log, 10).size(), static_cast<std::size_t>(c.diagnosticLines));

    const WalkResult again = relinkTree(src_, dst_);
    EXPECT_EQ(again.errors, 0) << again.firstError.value_or("");
    EXPECT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(src_)), 0);
    EXPECT_TRUE(fs::is_symlink(src_ / "sub" / "b.bin"));
    // Plain files again for the next case.
    std::vector<fs::path> links;
    for (const auto& e : fs::recursive_directory_iterator(src_)) {
      if (e.is_symlink() && fs::read_symlink(e.path()).string().starts_with(dst_.string()))
        links.push_back(e.path());
    }
    for (const auto& l : links) {
      const fs::path target = fs::read_symlink(l);
      fs::remove(l);
      fs::copy_file(target, l);
    }
    ASSERT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(src_)), 0);
  }
}

}  // namespace
}  // namespace brimvale::mover
