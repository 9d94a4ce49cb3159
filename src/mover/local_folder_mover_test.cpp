#include "mover/local_folder_mover.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/state/path_policy.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/temp_folder.h"
#include "testing/base/test_file.h"
#include "testing/base/tree_view.h"
#include "testing/platform/memory_user_defaults.h"
#include "testing/platform/test_loop.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::write;
using namespace std::chrono_literals;
using brimvale::testing::TestLoop;
using platform::testing::MemoryDefaults;

class Mover : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_.emplace("mover-engine").path();
    paths_ = StatePaths::forHome(root_ / "home");
    fs::create_directories(paths_.state);
    drive_ = root_ / "drive";
    working_ = workingFolderFor(drive_, "Test Mac");
    fs::create_directories(working_);
    setDrive(drive_);
  }
  // Tests that run several cases call TearDown() and SetUp() for a fresh folder each.
  void TearDown() override {
    mover_.reset();
    tmp_.reset();
  }
  void setStatus(const std::string& json) {
    ASSERT_TRUE(writeFileAtomically(paths_.statusJson, json));
  }
  // Names `drive` in the configuration, as `drives select` does.
  void setDrive(const fs::path& drive) {
    ASSERT_TRUE(writeFileAtomically(paths_.config, "NVMe=\"" + drive.string() + "\"\n"));
  }
  LocalFolderMover& make(std::optional<VerificationLevel> level = {}) {
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
    env.verificationOverride = level;
    env.files = files_;
    env.thinSnapshots = [this](std::int64_t bytes) -> Result<std::string> {
      thinnedBytes_ = bytes;
      return fail(Errc::kToolFailed, "tmutil missing");
    };
    mover_ = std::make_unique<LocalFolderMover>(std::move(env), log_);
    return *mover_;
  }
  MovePhase phaseOf(const std::string& id) { return mover_->job(id)->phase; }
  bool settled(const std::string& id) {
    const MoveManifest* j = mover_->job(id);
    return j && (isTerminal(j->phase) || j->phase == MovePhase::kWaitingForDrive) &&
           !mover_->isActive(id);
  }
  fs::path makeSource() {
    const fs::path src = paths_.home / "Projects";
    write(src / "readme.txt", "hello");
    write(src / "deep" / "data.bin", std::string(200000, 'd'));
    fs::create_directories(src / "empty");
    fs::create_symlink("readme.txt", src / "alias");
    return src;
  }

  // A record as an earlier run (or someone else) left it on disk.
  std::string saveRecord(MovePhase phase, const fs::path& src, const fs::path& finalDst,
                         MoveConflictPolicy policy, bool relocation, std::string id = newUuid(),
                         int copyRound = 1) {
    MoveManifest m;
    m.id = std::move(id);
    m.src = src.string();
    m.dstParent = finalDst.parent_path().string();
    m.finalDst = finalDst.string();
    m.startedAt = std::time(nullptr);
    m.phase = phase;
    m.conflictPolicy = policy;
    m.replaceSourceWithSymlink = relocation;
    m.copyRound = copyRound;
    ManifestStore(paths_.state, {}, systemClock()).save(m);
    return m.id;
  }
  // Runs every move found on disk until `id` settles.
  MovePhase resume(const std::string& id, std::optional<VerificationLevel> level) {
    auto& mover = make(level);
    mover.reload();
    EXPECT_TRUE(loop_.runUntil([&] { return settled(id); }));
    return phaseOf(id);
  }
  // A byte-exact copy with the source's times, as the copy tool leaves it.
  static void copyTree(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    ASSERT_TRUE(
        runTool(runProcess, "/usr/bin/rsync", {"-aH", from.string() + "/", to.string() + "/"}, 30s)
            .succeeded());
  }
  // Every entry below `root` but Brimvale's own state: a file's checksum, a
  // link's target, "dir" for a folder.
  static std::map<std::string, std::string> contents(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
      const std::string rel = it->path().lexically_relative(root).string();
      if (rel == ".brimvale") {
        it.disable_recursion_pending();
        continue;
      }
      if (it->is_symlink())
        out[rel] = "link:" + fs::read_symlink(it->path()).string();
      else if (it->is_directory())
        out[rel] = "dir";
      else
        out[rel] = sha256File(it->path()).value_or("unreadable");
    }
    return out;
  }
  std::optional<brimvale::testing::TempFolder> tmp_;
  fs::path root_, drive_, working_;
  StatePaths paths_;
  TestLoop loop_;
  MemoryDefaults defaults_;
  MoverLog log_;
  std::unique_ptr<transfers::BackgroundJobsStore> ledger_;
  std::unique_ptr<transfers::TransferEventStore> events_;
  std::unique_ptr<LocalFolderMover> mover_;
  std::atomic<std::int64_t> thinnedBytes_{0};
  FileOperations* files_ = &FileOperations::real();  // what the next make() changes the disk with
};

TEST(IsSafeToWipe, RefusesSystemFoldersHomeDotDotAndOutsideTheWorkingFolder) {
  const fs::path home = "/Users/me", working = "/Volumes/NVMe/BRIM-Mac";
  struct Case {
    const char* path;
    bool safe;
  } cases[] = {{"/Users", false},
               {"/Users/me", false},
               {"/Users/me/", false},
               {"/", false},
               {"/Volumes/NVMe/BRIM-Mac/../BRIM-Mac/x", false},
               {"/Volumes/NVMe/Other/x", false},
               {"/Volumes/NVMe/BRIM-Mac", false},
               {"relative/x", false},
               {"/Volumes/NVMe/BRIM-Mac/Relocated/x", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(isSafeToWipe(c.path, WorkingFolderRule::kRequired, home, working), c.safe);
  }
  // Without the working-folder rule the path policy still decides.
  EXPECT_TRUE(isSafeToWipe("/Users/me/Projects/x", WorkingFolderRule::kNotRequired, home, working));
  EXPECT_FALSE(isSafeToWipe("/Volumes/Else/x", WorkingFolderRule::kNotRequired, home, working));
  EXPECT_FALSE(isSafeToWipe("/Users/me/.ssh/keys", WorkingFolderRule::kNotRequired, home, working));
  EXPECT_EQ(*wipeRefusal("/Users/me", WorkingFolderRule::kNotRequired, home, working),
            "/Users/me is your home folder itself; Brimvale works on folders inside it, never on "
            "the whole home "
            "folder. Nothing was changed.");
}

// What the user reads for each kind of failure, from a text a site writes
// with it. A record written before the kind was kept reads the same: its
// kind comes from the words of its text.
// The record of a copy is rewritten once per 5 % step of its progress, not
// on every batch of output while the progress sits on a multiple of 5 %.
TEST(PassesSavePoint, OncePerFivePercentStep) {
  const struct {
    double from, to;
    bool save;
  } rows[] = {
      {0.0, 0.001, false},   {0.0, 0.049, false}, {0.049, 0.05, true}, {0.05, 0.051, false},
      {0.051, 0.099, false}, {0.30, 0.62, true},  {0.999, 1.0, true},  {1.0, 1.0, false},
      {1.0, 0.01, true},  // a second copy round starts again from nothing
  };
  for (const auto& r : rows)
    EXPECT_EQ(passesSavePoint(r.from, r.to), r.save) << r.from << " -> " << r.to;
}

TEST(UserFacingFailure, TheKindPicksTheText) {
  const MoveError full = copyFailureMessage(
      11, "/Users/me/Docs",
      {"rsync: [receiver] write failed on \"/Volumes/NVMe/BRIM-Mac/Relocated/Docs/a\": No space "
       "left on device (28)"});
  const MoveError denied =
      copyFailureMessage(23, "/Users/me/Docs",
                         {"rsync: [sender] send_files failed to open \"/Users/me/Docs/drive hash "
                          "differ.txt\": Permission denied (13)"});
  const std::string refused =
      PathRefusal{.reason = PathRefusalReason::kManagedRoot, .path = "/Volumes/NVMe/BRIM-Mac"}
          .sentence();
  const std::string stated =
      "Files in \u201CDocs\u201D kept changing while Brimvale moved it, so it stopped.";
  const std::string driveGone =
      "The drive became unavailable while moving \u201CDocs\u201D. Your original is safe — "
      "reconnect the drive and try again.";
  const std::string copied =
      "\u201CDocs\u201D was copied successfully, but the original couldn't be removed "
      "afterwards, so it's still using space. Your data is safe.";
  struct Case {
    MoveFailure kind;
    std::string lastError;
    std::string shown;  // the whole text, or how it starts when it ends in "…"
  } cases[] = {
      {MoveFailure::kStated, stated, stated},
      // A full drive is no unavailable drive, a refused path names its own
      // reason, and the tool's lines (with file names in them) never count.
      {MoveFailure::kStatedWithDetails, full.text,
       full.text.substr(0, full.text.find(kRawErrorMarker))},
      {MoveFailure::kStatedWithDetails, denied.text,
       denied.text.substr(0, denied.text.find(kRawErrorMarker))},
      {MoveFailure::kStatedWithDetails, refused, refused},
      {MoveFailure::kStatedWithDetails, "Something plain went wrong.",
       "Something plain went wrong."},
      {MoveFailure::kVerification, "Post-copy size sanity check failed",
       "The copy of \u201CDocs\u201D didn't match…"},
      {MoveFailure::kDriveGone, "Destination drive disconnected during copy.", driveGone},
      {MoveFailure::kDriveAbsent, "NVMe drive not mounted.", driveGone},
      {MoveFailure::kSourceNotRemoved, "Cleanup of source failed (/Users/me/Docs is still there).",
       copied},
      {MoveFailure::kPartlyRelinked, "Relocate cleanup partial: x", copied},
      {MoveFailure::kUnexplained, "rsync exited with code 5",
       "Brimvale couldn't finish moving \u201CDocs\u201D. Your original is safe and untouched."},
  };
  EXPECT_EQ(full.kind, MoveFailure::kStatedWithDetails);
  EXPECT_EQ(denied.kind, MoveFailure::kStatedWithDetails);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lastError);
    MoveManifest m;
    m.id = "OLD";
    m.src = "/Users/me/Docs";
    m.lastError = c.lastError;
    m.failure = c.kind;
    const std::string shown = userFacingFailure(m);
    if (c.shown.ends_with("…")) {
      EXPECT_TRUE(shown.starts_with(c.shown.substr(0, c.shown.size() - 3))) << shown;
    } else {
      EXPECT_EQ(shown, c.shown);
    }
    std::string older = encodeManifest(m);
    const auto key = older.find("  \"failure\": ");
    ASSERT_NE(key, std::string::npos);
    older.erase(key, older.find('\n', key) + 1 - key);
    EXPECT_EQ(decodeManifest(older)->failure, c.kind);
  }
}

TEST_F(Mover, WaitingMovesResumeOnlyOnTheSameDrive) {
  ManifestStore store(paths_.state, {}, systemClock());
  auto waiting = [&](std::string id, std::optional<std::string> uuid) {
    MoveManifest m;
    m.id = std::move(id);
    m.src = (paths_.home / "s").string();
    m.dstParent = working_.string();
    m.finalDst = m.dstParent + "/s";
    m.startedAt = 5;
    m.driveUUID = std::move(uuid);
    m.phase = MovePhase::kWaitingForDrive;
    store.save(m);
  };
  waiting("NO-UUID", std::nullopt);
  waiting("WITH-UUID", "VOL-1");
  auto& mover = make();
  mover.setPaused(true);
  mover.reload();
  EXPECT_EQ(phaseOf("NO-UUID"), MovePhase::kCopying);
  EXPECT_EQ(phaseOf("WITH-UUID"), MovePhase::kFailed);
  EXPECT_EQ(*mover.job("WITH-UUID")->lastError,
            "Destination drive's volume UUID doesn't match the manifest (started against VOL-1, "
            "currently "
            "mounted unknown). Refusing to resume.");

  setStatus(R"({"nvme_uuid":"VOL-1","nvme_path":")" + drive_.string() + "\"}");
  waiting("SAME", "VOL-1");
  waiting("OTHER", "VOL-2");
  mover.reload();
  EXPECT_EQ(phaseOf("SAME"), MovePhase::kCopying);
  EXPECT_NE(mover.job("OTHER")->lastError->find("currently mounted VOL-1"), std::string::npos);
}

// A cancel removes the copy only when this move claimed it, and never stops
// a clean-up half-way.
TEST_F(Mover, CancelRemovesOnlyAClaimedCopyAndLeavesACleanUpToFinish) {
  auto& mover = make();
  const fs::path src = makeSource();
  mover.setPaused(true);
  auto claimed = mover.enqueue(src, working_ / "Relocated", MoveConflictPolicy::kMerge, true,
                               MoveTriggerSource::kUserMove, std::nullopt,
                               {MoveTarget::Rule::kClaimFresh, {}});
  const fs::path claimedDst = mover.job(*claimed)->finalDst;
  ASSERT_TRUE(fs::is_directory(claimedDst));
  write(working_ / "Relocated" / "Named" / "theirs.txt", "not this move's");
  auto named = mover.enqueue(src, working_ / "Relocated", MoveConflictPolicy::kMerge, true,
                             MoveTriggerSource::kUserMove, std::nullopt,
                             {MoveTarget::Rule::kAsNamed, "Named"});
  EXPECT_FALSE(mover.cancel(*claimed));
  EXPECT_FALSE(mover.cancel(*named));
  ASSERT_TRUE(loop_.runUntil([&] { return mover.idle(); }));
  EXPECT_EQ(phaseOf(*claimed), MovePhase::kCancelled);
  EXPECT_EQ(*mover.job(*claimed)->lastError, "Cancelled by user.");
  EXPECT_FALSE(fs::exists(claimedDst));
  EXPECT_EQ(readFile(working_ / "Relocated" / "Named" / "theirs.txt").value(), "not this move's");
  EXPECT_EQ(readFile(src / "readme.txt").value(), "hello");

  auto cleaning = mover.enqueue(src, working_ / "Relocated", MoveConflictPolicy::kMerge, true,
                                MoveTriggerSource::kUserMove, std::nullopt,
                                {MoveTarget::Rule::kClaimFresh, {}});
  mover.transition(*cleaning, MovePhase::kCleaningUp);
  auto refused = mover.cancel(*cleaning);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->find("stopping half-way would leave it half done"), std::string::npos)
      << *refused;
  EXPECT_EQ(phaseOf(*cleaning), MovePhase::kCleaningUp);
}

// Given records whose paths were tampered with, then reload fails them with
// a sentence and acts on none of them; a sound record resumes.
TEST_F(Mover, ReloadRefusesRecordsOutsideTheMoveScopeAndDeletesNothingForThem) {
  fs::create_directories(paths_.home);
  write(working_ / "Relocated" / "Other" / "only-copy.txt", "someone else's data");
  // A source outside the home, a copy outside the drive and a system folder
  // run end to end; a folder outside the home stands in for a system folder.
  saveRecord(MovePhase::kCopying, paths_.home.string(), working_ / "Relocated" / "home",
             MoveConflictPolicy::kMerge, true, "HOME");
  saveRecord(MovePhase::kCopying, (root_ / "elsewhere" / "programs").string(),
             working_ / "Relocated" / "Other", MoveConflictPolicy::kOverride, true, "WIPE");
  saveRecord(MovePhase::kWaitingForDrive, (paths_.home / "Music").string(),
             working_ / "Relocated" / "Music", MoveConflictPolicy::kMerge, true, "SOUND");
  auto& mover = make();
  mover.setPaused(true);
  mover.reload();
  for (const char* id : {"HOME", "WIPE"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(phaseOf(id), MovePhase::kFailed);
    EXPECT_TRUE(mover.job(id)->lastError->starts_with("Brimvale did not resume the move of "))
        << *mover.job(id)->lastError;
  }
  EXPECT_NE(mover.job("HOME")->lastError->find("is your home folder itself"), std::string::npos);
  EXPECT_EQ(phaseOf("SOUND"), MovePhase::kCopying);
  ASSERT_TRUE(loop_.runUntil([&] { return mover.activeCount() == 0; }));
  EXPECT_EQ(readFile(working_ / "Relocated" / "Other" / "only-copy.txt").value(),
            "someone else's data");
}

// Given records from disk that are inside the move scope but would copy into
// another finished move's only copy, or wipe what is at their target, then
// neither is resumed into damage: both copies stay byte for byte.
TEST_F(Mover, RecordsFromDiskNeverCopyOverOrWipeAnotherMovesCopy) {
  fs::create_directories(paths_.home);
  write(working_ / "Relocated" / "Photos" / "only-copy.jpg", "the only copy");
  write(working_ / "Relocated" / "Albums" / "track.flac", "someone's music");
  write(paths_.home / "Photos" / "only-copy.jpg", "an older picture");
  write(paths_.home / "Music" / "track.flac", "another track");
  saveRecord(MovePhase::kDone, (root_ / "gone" / "Photos").string(),
             working_ / "Relocated" / "Photos", MoveConflictPolicy::kMerge, true, "OWNER");
  saveRecord(MovePhase::kCopying, (paths_.home / "Photos").string(),
             working_ / "Relocated" / "Photos", MoveConflictPolicy::kMerge, true, "STALE");
  saveRecord(MovePhase::kCopying, (paths_.home / "Music").string(),
             working_ / "Relocated" / "Albums", MoveConflictPolicy::kOverride, true, "OVERRIDE");
  auto& mover = make();
  mover.reload();
  ASSERT_TRUE(loop_.runUntil([&] { return mover.idle(); }));
  EXPECT_EQ(phaseOf("STALE"), MovePhase::kFailed);
  EXPECT_NE(mover.job("STALE")->lastError->find("holds the copy of another finished move (OWNER)"),
            std::string::npos)
      << *mover.job("STALE")->lastError;
  EXPECT_EQ(phaseOf("OVERRIDE"), MovePhase::kFailed);
  EXPECT_EQ(*mover.job("OVERRIDE")->lastError,
            "Couldn't prepare the destination safely, so nothing was changed. Your original is "
            "untouched.");
  EXPECT_EQ(readFile(working_ / "Relocated" / "Photos" / "only-copy.jpg").value(), "the only copy");
  EXPECT_EQ(readFile(working_ / "Relocated" / "Albums" / "track.flac").value(), "someone's music");
  EXPECT_EQ(readFile(paths_.home / "Photos" / "only-copy.jpg").value(), "an older picture");
  EXPECT_EQ(readFile(paths_.home / "Music" / "track.flac").value(), "another track");
}

// A drive that isn't there when the copy is to start leaves the move waiting,
// told apart from a drive that went away during it.
TEST_F(Mover, AMoveToADriveNotThereWaitsForIt) {
  const fs::path gone = root_ / "gone-drive";
  setDrive(gone);
  auto& mover = make();
  auto id = mover.enqueue(makeSource(), workingFolderFor(gone, "Test Mac") / "Relocated",
                          MoveConflictPolicy::kMerge, true, MoveTriggerSource::kUserMove);
  ASSERT_TRUE(id);
  ASSERT_TRUE(loop_.runUntil([&] { return settled(*id); }));
  EXPECT_EQ(phaseOf(*id), MovePhase::kWaitingForDrive);
  EXPECT_EQ(mover.job(*id)->failure, MoveFailure::kDriveAbsent);
}

// Given a relocation that failed with half its files links to the copy,
// then it is finished through the clean-up; one that failed before any link
// was made is left alone.
TEST_F(Mover, FinishesARelocationThatFailedHalfWayThroughItsLinks) {
  auto& mover = make();
  const fs::path src = makeSource();
  const fs::path dst = working_ / "Relocated" / "Projects";
  fs::create_directories(dst.parent_path());
  fs::copy(src, dst, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  fs::remove(src / "readme.txt");
  fs::create_symlink(dst / "readme.txt", src / "readme.txt");
  ManifestStore store(paths_.state, {}, systemClock());
  MoveManifest m;
  m.id = "HALF";
  m.src = src.string();
  m.dstParent = dst.parent_path().string();
  m.finalDst = dst.string();
  m.startedAt = 3;
  m.phase = MovePhase::kFailed;
  m.lastError = "Relocate cleanup partial: x";
  m.replaceSourceWithSymlink = true;
  store.save(m);
  m.id = "UNTOUCHED";
  m.src = (paths_.home / "Untouched").string();
  m.finalDst = (working_ / "Relocated" / "Untouched").string();
  write(paths_.home / "Untouched" / "f.txt", "f");
  store.save(m);
  mover.setPaused(true);
  mover.reload();
  EXPECT_FALSE(mover.finishPartialRelocation("UNTOUCHED"));
  ASSERT_TRUE(mover.finishPartialRelocation("HALF"));
  mover.setPaused(false);
  ASSERT_TRUE(loop_.runUntil([&] { return settled("HALF"); }));
  ASSERT_EQ(phaseOf("HALF"), MovePhase::kDone) << mover.job("HALF")->lastError.value_or("");
  EXPECT_EQ(fs::read_symlink(src / "deep" / "data.bin"), dst / "deep" / "data.bin");
  EXPECT_EQ(readFile(src / "readme.txt").value(), "hello");
  EXPECT_EQ(phaseOf("UNTOUCHED"), MovePhase::kFailed);
  EXPECT_FALSE(fs::is_symlink(paths_.home / "Untouched" / "f.txt"));
}

// A record read from disk (tampered with, or left by another version) may
// name any source and any copy: nothing is removed or relinked unless the
// source may be touched and its copy still matches (a missing copy and a
// source outside the home run end to end). A clean-up a kill interrupted finishes.
TEST_F(Mover, ARecordReadFromDiskNeverCleansUpWhatItCannotVouchFor) {
  struct Case {
    const char* name;
    // Prepares the trees; returns the source and the copy the record names.
    std::function<std::pair<fs::path, fs::path>(const fs::path& src, const fs::path& copy)> setUp;
    MovePhase ends;
    const char* lastErrorStart;
  } cases[] = {
      // What does not match is copied again before it is replaced.
      {"the copy differs",
       [](const fs::path& src, const fs::path& copy) {
         copyTree(src, copy);
         write(copy / "deep" / "data.bin", "shorter");
         return std::pair{src, copy};
       },
       MovePhase::kDone, nullptr},
      {"the copy lacks a file",
       [](const fs::path& src, const fs::path& copy) {
         copyTree(src, copy);
         fs::remove(copy / "readme.txt");
         return std::pair{src, copy};
       },
       MovePhase::kDone, nullptr},
      {"the source is the home folder",
       [this](const fs::path&, const fs::path& copy) {
         copyTree(paths_.home, copy);
         return std::pair{paths_.home, copy};
       },
       MovePhase::kFailed, "is your home folder itself"},
      {"a killed clean-up left files relinked and a spare link",
       [](const fs::path& src, const fs::path& copy) {
         copyTree(src, copy);
         fs::remove(src / "readme.txt");
         fs::create_symlink(copy / "readme.txt", src / "readme.txt");
         fs::create_symlink(copy / "deep" / "data.bin", src / "deep" / ".bvl-0123456789ab");
         return std::pair{src, copy};
       },
       MovePhase::kDone, nullptr},
  };
  for (const auto& c : cases) {
    for (bool relocation : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (relocation ? ", relocation" : ", plain move"));
      TearDown();
      SetUp();
      const fs::path made = makeSource();
      const auto [src, copy] = c.setUp(made, working_ / "Relocated" / "Projects");
      const auto before = contents(src);
      const std::string id =
          saveRecord(MovePhase::kCleaningUp, src, copy, MoveConflictPolicy::kOverride, relocation);
      ASSERT_EQ(resume(id, VerificationLevel::kFast), c.ends)
          << mover_->job(id)->lastError.value_or("");
      // Only a relocation's link walk stands for the check before "success".
      EXPECT_EQ(mover_->finishedOnLinkedCheck(id), relocation && c.ends == MovePhase::kDone);
      if (c.ends == MovePhase::kDone) {
        if (!relocation) {
          EXPECT_FALSE(fs::exists(fs::symlink_status(src)));
        } else {
          for (const char* rel : {"readme.txt", "deep/data.bin"})
            EXPECT_EQ(fs::read_symlink(src / rel), copy / rel);
          EXPECT_FALSE(fs::exists(fs::symlink_status(src / "deep" / ".bvl-0123456789ab")));
        }
        EXPECT_EQ(readFile(copy / "deep" / "data.bin")->size(), 200000u);
        continue;
      }
      EXPECT_EQ(contents(src), before);
      const std::string lastError = *mover_->job(id)->lastError;
      EXPECT_NE(lastError.find(c.lastErrorStart), std::string::npos) << lastError;
      const std::string shown = userFacingFailure(*mover_->job(id));
      EXPECT_TRUE(shown.find("safe") != std::string::npos ||
                  shown.ends_with("Nothing was changed."))
          << shown;
    }
  }
}

// A copy that still differs after the last round stops the move instead of
// copying for ever; the source stays whole.
TEST_F(Mover, ACopyStillDifferingAfterTheLastRoundStops) {
  const fs::path src = makeSource(), copy = working_ / "Relocated" / "Projects";
  copyTree(src, copy);
  write(copy / "deep" / "data.bin", "shorter");
  const std::string id = saveRecord(MovePhase::kCleaningUp, src, copy,
                                    MoveConflictPolicy::kOverride, false, newUuid(), kCopyRounds);
  EXPECT_EQ(resume(id, VerificationLevel::kFast), MovePhase::kFailed);
  EXPECT_EQ(readFile(src / "deep" / "data.bin")->size(), 200000u);
}

TEST_F(Mover, AWipeThroughALinkOutOfTheWorkingFolderIsRefused) {
  fs::create_directories(paths_.home / "Stuff" / "Projects");
  fs::create_directory_symlink(paths_.home / "Stuff", working_ / "Relocated");
  const std::string through = (working_ / "Relocated" / "Projects").string();
  EXPECT_FALSE(isSafeToWipe(through, WorkingFolderRule::kRequired, paths_.home, working_));
  EXPECT_NE(wipeRefusal(through, WorkingFolderRule::kRequired, paths_.home, working_)
                ->find("symbolic link"),
            std::string::npos);
  fs::create_directories(working_ / "Other" / "Projects");
  EXPECT_TRUE(isSafeToWipe((working_ / "Other" / "Projects").string(), WorkingFolderRule::kRequired,
                           paths_.home, working_));
}

// Given the disk refusing one link or rename while the clean-up replaces the
// source's files with links, then the move fails saying the copy is whole
// and where, every old path still reads as before, and finishing the
// relocation later completes it with nothing lost.
TEST_F(Mover, ACleanUpRefusedMidRelinkLosesNothingAndIsFinishedLater) {
  using brimvale::testing::FileOp;
  struct Case {
    const char* name;
    FileOp op;
    std::string namePart;
    int err;
  };
  const Case cases[] = {
      {"rename: no space", FileOp::kRenameAt, "readme.txt", ENOSPC},
      {"link: not allowed", FileOp::kSymlinkAt, ".bvl-", EACCES},
  };
  const fs::path dst = working_ / "Relocated" / "Projects";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::FailingFileOperations failing;
    failing.failFirst(c.op, c.namePart, c.err);
    files_ = &failing;
    auto& mover = make();
    const fs::path src = makeSource();
    const brimvale::testing::TreeView before = brimvale::testing::userView(src);
    auto id = mover.enqueue(src, working_ / "Relocated", MoveConflictPolicy::kMerge, true,
                            MoveTriggerSource::kUserMove);
    ASSERT_TRUE(id);
    ASSERT_TRUE(loop_.runUntil([&] { return settled(*id); }));
    ASSERT_EQ(phaseOf(*id), MovePhase::kFailed);
    const std::string error = mover.job(*id)->lastError.value_or("");
    EXPECT_TRUE(error.starts_with("Relocate cleanup partial: ")) << error;
    EXPECT_EQ(mover.job(*id)->failure, MoveFailure::kPartlyRelinked);
    EXPECT_NE(error.find(std::strerror(c.err)), std::string::npos) << error;
    EXPECT_NE(error.find("Destination is valid at " + dst.string()), std::string::npos) << error;
    EXPECT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(src)), 0);

    ASSERT_TRUE(mover.finishPartialRelocation(*id));
    ASSERT_TRUE(loop_.runUntil([&] { return settled(*id); }));
    EXPECT_EQ(phaseOf(*id), MovePhase::kDone) << mover.job(*id)->lastError.value_or("");
    EXPECT_EQ(fs::read_symlink(src / "readme.txt"), dst / "readme.txt");
    EXPECT_EQ(brimvale::testing::lostEntries(before, brimvale::testing::userView(src)), 0);
    mover_.reset();
    files_ = &FileOperations::real();
    fs::remove_all(src);
    fs::remove_all(working_ / "Relocated");
  }
}

}  // namespace
}  // namespace brimvale::mover
