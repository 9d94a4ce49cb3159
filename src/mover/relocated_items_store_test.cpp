#include "mover/relocated_items_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"
#include "testing/base/temp_home.h"
#include "testing/base/test_file.h"
#include "testing/base/tmpfs_drive.h"
#include "testing/base/tree_view.h"
#include "testing/platform/memory_user_defaults.h"
#include "testing/platform/test_loop.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TestLoop;
using brimvale::testing::TmpfsDrive;
using brimvale::testing::TmpfsMount;
using brimvale::testing::write;

// A real drive (tmpfs) with its working folder, a temporary home and the
// engine, so relocations and move backs run as they do for a user.
class RelocatedStore : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_.emplace("BrimStore-" + std::to_string(getpid()), "32m");
    BRIMVALE_REQUIRE_DRIVE(*drive_);
    paths_ = home_.paths();
    fs::create_directories(paths_.state);
    ASSERT_TRUE(writeFileAtomically(paths_.config, "NVMe=\"" + drive_->path().string() + "\"\n"));
    working_ = workingFolderFor(drive_->path(), "Test Mac");
    fs::create_directories(working_ / "Relocated");
  }

  LocalFolderMover& mover() {
    if (mover_) return *mover_;
    MoverEnvironment env;
    env.paths = paths_;
    env.computerName = "Test Mac";
    env.scheduler = &loop_;
    env.post = [this](std::function<void()> t) { loop_.post(std::move(t)); };
    env.defaults = &defaults_;
    ledger_ = std::make_unique<transfers::BackgroundJobsStore>(paths_.state, systemClock());
    events_ = std::make_unique<transfers::TransferEventStore>(paths_.state);
    env.ledger = ledger_.get();
    env.events = events_.get();
    env.rsync = RsyncSupport::probe(RsyncSupport::defaultCandidates(""), runProcess);
    env.run = runProcess;
    env.verificationOverride = VerificationLevel::kThorough;
    mover_ = std::make_unique<LocalFolderMover>(std::move(env), log_);
    return *mover_;
  }
  RelocatedItemsStore& store() {
    if (!store_) {
      store_.emplace(RelocatedStoreEnvironment{
          paths_, "Test Mac", [this](const fs::path&) { return drive_->mounted(); }});
    }
    store_->refresh();
    return *store_;
  }
  bool runUntilSettled() {
    return loop_.runUntil([&] { return mover_->idle(); });
  }

  fs::path makeTree(const fs::path& root) {
    write(root / "readme.txt", "hello");
    write(root / "deep" / "data.bin", std::string(150000, 'd'));
    fs::create_symlink("readme.txt", root / "alias");
    return root;
  }
  // A relocation as the background service leaves one: the folder itself a
  // link to its copy; with `record`, the finished record a user move writes.
  MoveManifest relocateWhole(const fs::path& src, const fs::path& copy, bool record = true) {
    makeTree(copy);
    fs::create_directories(src.parent_path());
    fs::create_directory_symlink(copy, src);
    MoveManifest m;
    m.id = newUuid();
    m.src = src.string();
    m.dstParent = copy.parent_path().string();
    m.finalDst = copy.string();
    m.phase = MovePhase::kDone;
    m.replaceSourceWithSymlink = true;
    m.srcSizeKB = *apparentSizeKB(copy);
    if (record) ManifestStore(paths_.state, {}, systemClock()).save(m);
    return m;
  }
  // A relocation by the engine: every file of `src` becomes a link to its copy.
  MoveManifest relocateWithMover(const fs::path& src) {
    auto id = mover().enqueue(src, working_ / "Relocated", MoveConflictPolicy::kMerge, true,
                              MoveTriggerSource::kUserMove, std::nullopt,
                              {MoveTarget::Rule::kClaimFresh, {}});
    EXPECT_TRUE(id && runUntilSettled());
    EXPECT_EQ(mover_->job(*id)->phase, MovePhase::kDone);
    return *mover_->job(*id);
  }
  // Moves the engine knows of that take the copy of `relocation` back.
  long reverseMoves(const MoveManifest& relocation) {
    return std::count_if(mover().jobs().begin(), mover().jobs().end(),
                         [&](const MoveManifest& j) { return j.src == relocation.finalDst; });
  }
  const RelocatedItem& onlyItem() {
    EXPECT_EQ(store().items().size(), 1u);
    return store().items().front();
  }
  // Starts the move back of the only item and runs it to its end.
  std::expected<MoveBackEnd, MoveBackError> moveBackOnly() {
    const RelocatedItem item = onlyItem();
    auto started = store_->moveBack(mover(), item, false);
    if (!started) return std::unexpected(started.error());
    EXPECT_TRUE(runUntilSettled());
    return *store_->moveBackEnded(*mover_->job(*started));
  }

  brimvale::testing::TempHome home_;
  std::optional<TmpfsDrive> drive_;
  StatePaths paths_;
  fs::path working_;
  TestLoop loop_;
  platform::testing::MemoryDefaults defaults_;
  MoverLog log_;
  std::unique_ptr<transfers::BackgroundJobsStore> ledger_;
  std::unique_ptr<transfers::TransferEventStore> events_;
  std::unique_ptr<LocalFolderMover> mover_;
  std::optional<RelocatedItemsStore> store_;
};

// Only real files below a folder of per-file links were written on the
// internal disk since; a folder that is itself a link has none.
TEST(FilesWrittenSinceRelocation, AreTheRealFilesBesideTheLinks) {
  brimvale::testing::TempFolder dir("bv-written");
  dir.file("drive/a.txt", "a");
  dir.file("drive/sub/b.txt", "b");
  dir.folder("home/sub");
  fs::create_symlink(dir / "drive/a.txt", dir / "home/a.txt");
  fs::create_symlink(dir / "drive/sub/b.txt", dir / "home/sub/b.txt");
  dir.file("home/new.txt", "written later");
  dir.file("home/sub/later.txt", "written later");
  fs::create_directory_symlink(dir / "drive/sub", dir / "home/linked-folder");
  fs::create_directory_symlink(dir / "drive", dir / "whole-link");
  const struct {
    const char* src;
    std::vector<fs::path> written;
  } cases[] = {
      {"home", {"new.txt", "sub/later.txt"}},
      {"whole-link", {}},
      {"missing", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(filesWrittenSinceRelocation(dir / c.src), c.written);
  }
}

TEST_F(RelocatedStore, ClassifiesEachStateOfARelocationOnTheDrive) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& src, const fs::path& copy)> edit;
    fs::path copyBelowWorking;
    Integrity expected;
  };
  const Case cases[] = {
      {"as relocated", {}, "Relocated/Projects", Integrity::kOk},
      {"numbered copy", {}, "Relocated/Projects.1700000000", Integrity::kOk},
      {"link removed", [](auto& src, auto&) { fs::remove(src); }, "Relocated/Projects",
       Integrity::kNoSymlink},
      {"link replaced by a folder",
       [](auto& src, auto&) {
         fs::remove(src);
         fs::create_directory(src);
       },
       "Relocated/Projects", Integrity::kNoSymlink},
      {"copy deleted", [](auto&, auto& copy) { fs::remove_all(copy); }, "Relocated/Projects",
       Integrity::kMissingOnDrive},
      {"copy emptied",
       [](auto&, auto& copy) {
         fs::remove_all(copy);
         write(copy / ".DS_Store", "x");
       },
       "Relocated/Projects", Integrity::kEmptyOnDrive},
      {"copy elsewhere in the working folder", {}, "Home/Projects", Integrity::kUnexpectedLayout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path src = home_ / "Projects", copy = working_ / c.copyBelowWorking;
    const MoveManifest m = relocateWhole(src, copy);
    if (c.edit) c.edit(src, copy);
    ASSERT_EQ(store().items().size(), 1u);
    EXPECT_EQ(store().items()[0].manifest.id, m.id);
    EXPECT_EQ(integrityRaw(store().items()[0].integrity), integrityRaw(c.expected));
    ManifestStore(paths_.state, {}, systemClock()).remove(m.id);
    fs::remove_all(working_ / c.copyBelowWorking.begin()->string());
    fs::remove_all(src);
  }
}

// Given a home disk too small for what comes back, the reverse copy fails
// part-way: the link is put back, the copy is whole, nothing is lost.
TEST_F(RelocatedStore, AMoveBackThatFailsMidCopyPutsTheLinkBack) {
  TmpfsMount small(home_ / "Small", "256k");
  BRIMVALE_REQUIRE_DRIVE(small);
  const fs::path src = small.path() / "Notes", copy = working_ / "Relocated" / "Notes";
  // Many one-byte files: small by their lengths, each taking a whole page.
  for (int i = 0; i < 120; ++i) write(copy / ("note " + std::to_string(i) + ".txt"), "n");
  fs::create_directory_symlink(copy, src);
  MoveManifest m;
  m.id = newUuid();
  m.src = src.string();
  m.dstParent = copy.parent_path().string();
  m.finalDst = copy.string();
  m.phase = MovePhase::kDone;
  m.replaceSourceWithSymlink = true;
  ManifestStore(paths_.state, {}, systemClock()).save(m);
  const auto seen = brimvale::testing::userView(src);
  const auto copyBefore = brimvale::testing::treeSums(copy);

  auto ended = moveBackOnly();
  ASSERT_TRUE(ended) << ended.error().message();
  EXPECT_EQ(ended->kind, MoveBackEnd::Kind::kLinkRestored) << ended->detail;
  EXPECT_EQ(fs::read_symlink(src), copy);
  EXPECT_EQ(brimvale::testing::treeSums(copy), copyBefore);
  EXPECT_EQ(brimvale::testing::lostEntries(seen, brimvale::testing::userView(src)), 0);
  EXPECT_EQ(onlyItem().integrity, Integrity::kOk);
}

TEST_F(RelocatedStore, ASecondMoveBackOfTheSameItemIsRefusedWhileTheFirstRuns) {
  relocateWhole(home_ / "Projects", working_ / "Relocated" / "Projects");
  mover().setPaused(true);
  const RelocatedItem item = onlyItem();
  auto first = store_->moveBack(mover(), item, false);
  ASSERT_TRUE(first) << first.error().message();
  auto second = store_->moveBack(mover(), item, false);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind, MoveBackError::Kind::kAlreadyRunning);
  EXPECT_EQ(reverseMoves(item.manifest), 1);
  mover().setPaused(false);
  ASSERT_TRUE(runUntilSettled());
  EXPECT_EQ(store_->moveBackEnded(*mover().job(*first))->kind, MoveBackEnd::Kind::kBroughtHome);
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(home_ / "Projects")));
}

TEST_F(RelocatedStore, DeleteClearsOnlyABrokenRelocationAndNeverTheOnlyCopy) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& src, const fs::path& copy)> edit;
    std::string expectedError;  // empty: deleted
    bool copyKept, linkKept;
  };
  const Case cases[] = {
      {"only copy", [](auto& src, auto&) { fs::remove(src); }, "Nothing links to the copy at ",
       true, false},
      {"copy deleted", [](auto&, auto& copy) { fs::remove_all(copy); }, "", false, false},
      {"copy emptied",
       [](auto&, auto& copy) {
         fs::remove_all(copy);
         fs::create_directory(copy);
       },
       "", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path src = home_ / "Projects", copy = working_ / "Relocated" / "Projects";
    const MoveManifest m = relocateWhole(src, copy);
    makeTree(working_ / "Relocated" / "Neighbour");
    if (c.edit) c.edit(src, copy);
    auto deleted = store().deleteBroken(onlyItem());
    EXPECT_EQ(deleted ? "" : deleted.error().message().substr(0, c.expectedError.size()),
              c.expectedError);
    EXPECT_EQ(fs::exists(fs::symlink_status(copy)), c.copyKept);
    EXPECT_EQ(fs::is_symlink(fs::symlink_status(src)), c.linkKept);
    EXPECT_EQ(fs::exists(ManifestStore(paths_.state, {}, systemClock()).fileURL(m.id)),
              !c.expectedError.empty());
    EXPECT_EQ(brimvale::testing::treeSums(working_ / "Relocated" / "Neighbour").size(), 4u);
    ManifestStore(paths_.state, {}, systemClock()).remove(m.id);
    fs::remove_all(working_ / "Relocated");
    fs::remove_all(src);
  }
}

// A folder relocated file by file whose copy was deleted by hand: the links
// into the missing copy go, the folders they leave empty too, and whatever
// the user keeps there stays.
TEST_F(RelocatedStore, DeletingABrokenFileByFileRelocationClearsOnlyItsOwnLinks) {
  const fs::path src = makeTree(home_ / "Projects");
  const MoveManifest m = relocateWithMover(src);
  fs::remove_all(m.finalDst);
  write(src / "mine.txt", "written after the move");
  auto deleted = store().deleteBroken(onlyItem());
  ASSERT_TRUE(deleted) << deleted.error().message();
  EXPECT_TRUE(deleted->failedSteps.empty());
  EXPECT_TRUE(deleted->recordRemoved);
  std::vector<std::string> left;
  for (const auto& [name, sum] : brimvale::testing::treeSums(src)) left.push_back(name);
  EXPECT_EQ(left, (std::vector<std::string>{"alias", "mine.txt"}));  // the user's own link too
  EXPECT_FALSE(fs::exists(ManifestStore(paths_.state, {}, systemClock()).fileURL(m.id)));
}

// A record edited to name a folder outside the working folder: the folder
// and the link to it stay, the failed step is named, the record still goes.
TEST_F(RelocatedStore, DeleteNeverRemovesACopyOutsideTheWorkingFolder) {
  const fs::path outside = drive_->path() / "Someone else's";
  const MoveManifest m = relocateWhole(home_ / "Projects", outside);
  fs::remove_all(outside);
  fs::create_directory(outside);
  write(outside / ".DS_Store", "x");
  auto deleted = store().deleteBroken(onlyItem());
  ASSERT_TRUE(deleted);
  ASSERT_EQ(deleted->failedSteps.size(), 1u);
  EXPECT_TRUE(deleted->failedSteps[0].starts_with("NVMe path (")) << deleted->failedSteps[0];
  EXPECT_TRUE(fs::exists(outside / ".DS_Store"));
  // Not a link into this computer's working folder: not Brimvale's to remove.
  EXPECT_EQ(deleted->kept, std::vector<std::string>{(home_ / "Projects").string()});
  EXPECT_TRUE(deleted->recordRemoved);
  EXPECT_FALSE(fs::exists(ManifestStore(paths_.state, {}, systemClock()).fileURL(m.id)));
}

// The record a move back leaves when its process is killed: the copy on its
// way back into the original path, in `phase`.
MoveManifest reverseRecord(const MoveManifest& relocation, MovePhase phase) {
  MoveManifest back;
  back.id = newUuid();
  back.src = relocation.finalDst;
  back.dstParent = fs::path(relocation.src).parent_path().string();
  back.finalDst = relocation.src;
  back.phase = phase;
  back.startedAt = relocation.startedAt + 1;
  back.conflictPolicy = MoveConflictPolicy::kMergeKeepNewer;
  return back;
}

// Given a finished move back and a newer relocation of the same folder in the same second (record
// times are whole seconds), then the relocation keeps its record while its home leads into the
// copy, and the record goes once the folder is home.
TEST_F(RelocatedStore, AFinishedMoveBackForgetsOnlyARelocationThatIsHome) {
  const fs::path src = home_ / "Projects", copy = working_ / "Relocated" / "Projects";
  const MoveManifest m = relocateWhole(src, copy);
  MoveManifest back = reverseRecord(m, MovePhase::kDone);
  back.startedAt = m.startedAt;
  ManifestStore(paths_.state, {}, systemClock()).save(back);
  ASSERT_EQ(onlyItem().manifest.id, m.id);
  EXPECT_TRUE(fs::exists(paths_.state / "folder-moves" / (m.id + ".json")));
  fs::remove(src);
  write(src / "readme.txt", "hello");
  EXPECT_TRUE(store().items().empty());
  EXPECT_FALSE(fs::exists(paths_.state / "folder-moves" / (m.id + ".json")));
}

// Given a move back killed mid-copy (link gone, part of the tree back), the
// next move back finishes that one instead of racing it with a second copy.
TEST_F(RelocatedStore, AMoveBackAfterAKilledOneFinishesItLosingNothing) {
  const fs::path src = home_ / "Projects", copy = working_ / "Relocated" / "Projects";
  const MoveManifest m = relocateWhole(src, copy);
  const auto before = brimvale::testing::treeSums(copy);
  fs::remove(src);
  write(src / "readme.txt", "hello");
  const MoveManifest back = reverseRecord(m, MovePhase::kCopying);
  ManifestStore(paths_.state, {}, systemClock()).save(back);
  EXPECT_EQ(onlyItem().integrity, Integrity::kNoSymlink);
  mover().reload();
  auto ended = moveBackOnly();
  ASSERT_TRUE(ended) << ended.error().message();
  EXPECT_EQ(ended->kind, MoveBackEnd::Kind::kBroughtHome);
  EXPECT_EQ(reverseMoves(m), 1);
  EXPECT_EQ(brimvale::testing::treeSums(src), before);
  EXPECT_TRUE(store().items().empty());
}

// Given an unplugged drive, a copy shows as missing but is only out of reach:
// neither move back nor delete touches the link or the record.
TEST_F(RelocatedStore, AnUnpluggedDriveIsNeverTakenForLostData) {
  const fs::path src = home_ / "Projects";
  const MoveManifest m = relocateWhole(src, working_ / "Relocated" / "Projects");
  drive_->unmount();
  const RelocatedItem item = onlyItem();
  EXPECT_EQ(item.integrity, Integrity::kMissingOnDrive);
  EXPECT_EQ(store_->lastScanDiagnostic()->driveMounted, false);
  auto started = store_->moveBack(mover(), item, false);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().message(),
            "NVMe drive isn't connected. Connect the drive and try again.");
  auto refused = store_->deleteBroken(item);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, DeleteError::Kind::kDriveAbsent);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(src)));
  EXPECT_TRUE(fs::exists(ManifestStore(paths_.state, {}, systemClock()).fileURL(m.id)));
}

}  // namespace
}  // namespace brimvale::mover
