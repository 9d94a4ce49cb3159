#include "common/base/replace_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <thread>

#include "common/base/folder_walk.h"
#include "common/base/guarded_removal.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using brimvale::testing::TempFolder;

constexpr auto kTick = 20ms;

void append(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::app | std::ios::binary) << text;
}

// The copy tool's result: same bytes and modification time.
void copyLikeTheTool(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::last_write_time(to, fs::last_write_time(from));
}

struct GuardCase {
  const char* name;
  // What happens to the original (a) or the copy (b) between the copy and the check.
  std::function<void(const fs::path& a, const fs::path& b)> beforeVerify;
  std::function<void(const fs::path& a, const fs::path& b)> betweenVerifyAndConfirm;
  bool copyStartKnown;
  GuardVerdict expected;
};

TEST(ReplaceGuard, AllowsOnlyAnUnchangedOriginalWithAnIdenticalCopy) {
  const auto none = [](const fs::path&, const fs::path&) {};
  const std::vector<GuardCase> cases{
      {"identical, copy start known", none, none, true, GuardVerdict::kSafe},
      {"identical, copy start unknown (bytes read)", none, none, false, GuardVerdict::kSafe},
      {"appended after the check", none,
       [](const fs::path& a, const fs::path&) { append(a, "late line\n"); }, true,
       GuardVerdict::kChanged},
      {"replaced by rename after the check (an editor's save)", none,
       [](const fs::path& a, const fs::path&) {
         std::ofstream(a.string() + ".tmp") << "new version";
         fs::rename(a.string() + ".tmp", a);
       },
       true, GuardVerdict::kChanged},
      {"removed after the check", none, [](const fs::path& a, const fs::path&) { fs::remove(a); },
       true, GuardVerdict::kChanged},
      {"copy replaced after the check", none,
       [](const fs::path&, const fs::path& b) {
         fs::remove(b);
         std::ofstream(b) << "original text";
       },
       true, GuardVerdict::kDiffers},
      {"same size and time, other bytes, start unknown",
       [](const fs::path& a, const fs::path& b) {
         const auto t = fs::last_write_time(a);
         std::ofstream(b, std::ios::trunc) << "ORIGINAL TEXT";
         fs::last_write_time(b, t);
       },
       none, false, GuardVerdict::kDiffers},
      {"rewritten during the copy with its time put back",
       [](const fs::path& a, const fs::path&) {
         const auto t = fs::last_write_time(a);
         std::this_thread::sleep_for(2 * kTick);
         std::ofstream(a, std::ios::trunc) << "ORIGINAL TEXT";
         fs::last_write_time(a, t);
       },
       none, true, GuardVerdict::kChanged},
      {"copy missing", [](const fs::path&, const fs::path& b) { fs::remove(b); }, none, true,
       GuardVerdict::kDiffers},
  };
  for (const GuardCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    const fs::path a = dir.file("home/doc.txt", "original text");
    const fs::path b = dir / "drive/doc.txt";
    copyLikeTheTool(a, b);
    std::this_thread::sleep_for(2 * kTick);
    const auto copyStarted = std::chrono::system_clock::now();
    c.beforeVerify(a, b);
    ReplaceGuard guard(
        GuardOptions{.copyStarted = c.copyStartKnown ? std::optional(copyStarted) : std::nullopt,
                     .granularity = kTick});
    OpenFolder home((dir / "home").string()), drive((dir / "drive").string());
    auto proof = guard.verify(home.fd(), "doc.txt", drive.fd(), "doc.txt");
    if (!proof) {
      EXPECT_EQ(proof.error(), c.expected);
      continue;
    }
    c.betweenVerifyAndConfirm(a, b);
    EXPECT_EQ(guard.confirm(*proof, home.fd(), "doc.txt", drive.fd(), "doc.txt"), c.expected);
  }
}

TEST(ReplaceGuard, AFileStillBeingWrittenIsNeverJudgedUnchanged) {
  // Given a writer appending every few milliseconds, the guard must never
  // hand out a proof that confirm() then accepts while the file grows.
  TempFolder dir;
  const fs::path a = dir.file("home/log.txt", "start\n");
  copyLikeTheTool(a, dir / "drive/log.txt");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop) {
      append(a, "tick\n");
      std::this_thread::sleep_for(2ms);
    }
  });
  ReplaceGuard guard(GuardOptions{.granularity = kTick});
  OpenFolder home((dir / "home").string()), drive((dir / "drive").string());
  for (int i = 0; i < 20; ++i)
    EXPECT_NE(guard.check(home.fd(), "log.txt", drive.fd(), "log.txt"), GuardVerdict::kSafe);
  stop = true;
  writer.join();
}

TEST(ReplaceGuard, KeepsTheOtherVersionBesideUnderAVisibleName) {
  TempFolder dir;
  dir.file("notes.txt", "mine");
  dir.file("notes.txt.kept-20261208T093000Z", "taken");
  EXPECT_EQ(keptAsideName("notes.txt", std::chrono::system_clock::from_time_t(1796722200)),
            "notes.txt.kept-20261208T093000Z");
  OpenFolder folder(dir.path().string());
  auto kept = keepAside(folder.fd(), "notes.txt");
  ASSERT_TRUE(kept.has_value());
  EXPECT_TRUE(kept->starts_with("notes.txt.kept-"));
  EXPECT_FALSE(fs::exists(dir / "notes.txt"));
  EXPECT_EQ(fs::file_size(dir / *kept), 4u);
}

TEST(GuardedRemoval, RemovesOnlyWhatItsCopyHoldsAndKeepsEverythingElse) {
  TempFolder dir;
  const fs::path src = dir / "Projects", dst = dir / "drive/Projects";
  for (const char* rel : {"a.txt", "sub/b.txt", "sub/deeper/c.txt", "changed.txt", "unc/d.txt"})
    dir.file(fs::path("Projects") / rel, std::string("content of ") + rel);
  dir.link("Projects/sub/link", "b.txt");
  fs::create_directories(dst);
  fs::copy(src, dst, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  for (const auto& e : fs::recursive_directory_iterator(src)) {
    if (e.is_regular_file() && !e.is_symlink())
      fs::last_write_time(dst / fs::relative(e.path(), src), e.last_write_time());
  }
  std::this_thread::sleep_for(2 * kTick);
  const auto copyStarted = std::chrono::system_clock::now();
  std::this_thread::sleep_for(2 * kTick);
  append(src / "changed.txt", "written after the copy");
  fs::remove(dst / "sub/deeper/c.txt");
  dir.file("Projects/sub/new.txt", "made after the copy");
  brimvale::testing::FailingFileOperations files;
  files.failFirst(brimvale::testing::FileOp::kUnlinkAt, "d.txt", EACCES);

  const GuardedRemoval r = removeVerifiedTree(
      src, dst, ReplaceGuard({.copyStarted = copyStarted, .granularity = kTick}), files);

  auto changed = r.changed;
  std::sort(changed.begin(), changed.end());
  EXPECT_EQ(changed, (std::vector<std::string>{"changed.txt", "sub/new.txt"}));
  EXPECT_EQ(r.unmatched, std::vector<std::string>{"sub/deeper/c.txt"});
  ASSERT_EQ(r.failed.size(), 1u);
  EXPECT_TRUE(r.failed[0].starts_with("unc/d.txt: "));
  EXPECT_FALSE(r.complete());
  EXPECT_TRUE(fs::exists(src / "changed.txt"));
  EXPECT_TRUE(fs::exists(src / "sub/new.txt"));
  EXPECT_TRUE(fs::exists(src / "unc/d.txt"));
  EXPECT_FALSE(fs::exists(src / "a.txt"));
  EXPECT_FALSE(fs::exists(src / "sub/b.txt"));
  EXPECT_FALSE(fs::is_symlink(src / "sub/link"));
  EXPECT_TRUE(fs::exists(dst / "changed.txt"));  // the copy is never touched

  // Once the copy holds what changed, a second pass finishes the job.
  fs::remove(src / "changed.txt");
  fs::remove(src / "sub/new.txt");
  fs::remove(src / "sub/deeper/c.txt");
  const GuardedRemoval again = removeVerifiedTree(
      src, dst, ReplaceGuard({.copyStarted = copyStarted, .granularity = kTick}));
  EXPECT_TRUE(again.complete());
  EXPECT_FALSE(fs::exists(src));
}

// Unlinking one name of a multiply linked file moves the change time of its
// other names; those are judged once the rest is gone, so the guard waits
// out the clock's tick once, not once per name, and what it then finds
// changed stays with the folders that hold it.
TEST(GuardedRemoval, JudgesTheOtherNamesOfAFileLastAndWaitsOnce) {
  constexpr auto kSlowTick = 200ms;
  constexpr int kFolders = 6;
  const auto partner = [](const std::string& rel) {
    return rel.ends_with("a2") ? rel.substr(0, rel.size() - 1) : rel + "2";
  };
  // The check finds the second name judged in `refusedIn` changed ("": none).
  for (const std::string refusedIn : {"", "f2"}) {
    SCOPED_TRACE(refusedIn);
    TempFolder dir;
    const fs::path src = dir / "src", dst = dir / "dst";
    for (int i = 0; i < kFolders; ++i) {
      const std::string f = "f" + std::to_string(i);
      dir.file(fs::path("src") / f / "a", "shared " + f);
      fs::create_hard_link(src / f / "a", src / f / "a2");
      dir.file(fs::path("src") / f / "b", "single " + f);
      for (const char* name : {"a", "a2", "b"}) copyLikeTheTool(src / f / name, dst / f / name);
    }
    std::this_thread::sleep_for(2 * kSlowTick);
    const auto copyStarted = std::chrono::system_clock::now();
    std::this_thread::sleep_for(2 * kSlowTick);
    const ReplaceGuard guard({.copyStarted = copyStarted, .granularity = kSlowTick});
    std::vector<std::string> judged;
    std::string refused;
    const RemovalCheck check = [&](int dirFd, const std::string& name, const std::string& rel) {
      judged.push_back(rel);
      if (rel.starts_with(refusedIn + "/a") && std::ranges::count(judged, partner(rel)) > 0) {
        refused = rel;
        return GuardVerdict::kChanged;
      }
      OpenFolder kept((dst / fs::path(rel).parent_path()).string());
      return guard.check(dirFd, name, kept.fd(), name);
    };
    const auto start = std::chrono::steady_clock::now();
    const GuardedRemoval r = removeCheckedTree(src, check);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3 * kSlowTick);
    // Each second name after every first one.
    ASSERT_EQ(judged.size(), 3u * kFolders);
    for (std::size_t i = 2u * kFolders; i < judged.size(); ++i) {
      const auto firsts = std::span(judged).first(2u * kFolders);
      EXPECT_EQ(std::ranges::count(firsts, partner(judged[i])), 1) << judged[i];
    }
    EXPECT_TRUE(r.unmatched.empty() && r.failed.empty());
    if (refusedIn.empty()) {
      EXPECT_TRUE(r.complete());
      EXPECT_FALSE(fs::exists(src));
      continue;
    }
    EXPECT_EQ(r.changed, std::vector<std::string>{refused});
    EXPECT_TRUE(fs::exists(src / refused));
    EXPECT_FALSE(fs::exists(src / "f1"));
    EXPECT_EQ(std::distance(fs::directory_iterator(src), fs::directory_iterator()), 1);
  }
}
}  // namespace
}  // namespace brimvale
