#include "mover/drive_switch.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "common/base/file_io.h"
#include "mover/manifest.h"
#include "mover/safety_checks.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/temp_folder.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A home with a relocated folder (its files are links) and a relocated file,
// the old working folder and its verified copy on the new drive, and a
// transfer job waiting in `copied`.
class DriveSwitchScene : public ::testing::Test {
 public:
  void SetUp() override {
    paths_ = StatePaths::forHome(tmp_.folder("home"));
    oldWorking_ = tmp_.folder("old/BRIM-A");
    newWorking_ = tmp_.path() / "new" / "BRIM-A";
    tmp_.file("old/BRIM-A/.hollin-managed", "marker_version=1\nvolume_uuid=OLD\n");
    tmp_.file("old/BRIM-A/Relocated/Projects/a.txt", "alpha");
    tmp_.file("old/BRIM-A/Relocated/Projects/sub/b 'quoted'.txt", "beta");
    tmp_.file("old/BRIM-A/Relocated/big.iso", "gamma");
    fs::create_directories(newWorking_);
    fs::copy(oldWorking_, newWorking_, fs::copy_options::recursive);
    tmp_.file("new/BRIM-A/.hollin-managed", "marker_version=1\nvolume_uuid=NEW\n");
    for (const char* rel : {"Projects/a.txt", "Projects/sub/b 'quoted'.txt", "big.iso"}) {
      tmp_.link(fs::path("home") / rel, oldWorking_ / "Relocated" / rel);
    }
    record("F1", "Projects", MovePhase::kDone);
    record("F2", "big.iso", MovePhase::kDone);
    job("copied");
    oldTree_ = tree(oldWorking_);
  }

  void record(const std::string& id, const std::string& rel, MovePhase phase) {
    MoveManifest m;
    m.id = id;
    m.src = (paths_.home / rel).string();
    m.dstParent = (oldWorking_ / "Relocated").string();
    m.finalDst = (oldWorking_ / "Relocated" / rel).string();
    m.phase = phase;
    m.replaceSourceWithSymlink = true;
    fs::create_directories(paths_.state / "folder-moves");
    ASSERT_TRUE(
        writeFileAtomically(paths_.state / "folder-moves" / (id + ".json"), encodeManifest(m)));
  }

  void job(const std::string& phase) {
    json doc{{"kind", "transfer"},
             {"phase", phase},
             {"destRoot", (tmp_.path() / "new").string()},
             {"sourceWorking", oldWorking_.string()},
             {"destWorking", newWorking_.string()},
             {"destVolumeUUID", "NEW"}};
    fs::create_directories(paths_.state);
    ASSERT_TRUE(writeFileAtomically(paths_.state / "transfer-job.json", doc.dump(2)));
  }

  // Every name below `root` with a link's target or a file's bytes.
  static std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> seen;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      const std::string rel = e.path().lexically_relative(root).string();
      if (e.is_symlink()) {
        seen[rel] = "-> " + fs::read_symlink(e.path()).string();
      } else if (e.is_regular_file()) {
        seen[rel] = readFile(e.path()).value_or("?");
      } else {
        seen[rel] = "/";
      }
    }
    return seen;
  }

  // The links in the home, each as "old", "new" or what is wrong with it.
  std::map<std::string, std::string> links() const {
    std::map<std::string, std::string> seen;
    for (const auto& e : fs::recursive_directory_iterator(paths_.home)) {
      if (!e.is_symlink()) continue;
      const std::string rel = e.path().lexically_relative(paths_.home).string();
      const fs::path target = fs::read_symlink(e.path());
      std::string where = translatedPath(target, oldWorking_, oldWorking_)   ? "old"
                          : translatedPath(target, newWorking_, newWorking_) ? "new"
                                                                             : "elsewhere";
      seen[rel] = fs::exists(e.path()) ? where : "dangling";
    }
    return seen;
  }

  SwitchOutcome run() {
    SwitchSeams seams{.files = *files_,
                      .diagnostics = diagnostics_,
                      .service =
                          [this](const std::vector<std::string>& args) {
                            serviceCalls_.push_back(args);
                            return serviceAnswer_;
                          },
                      .privileged = [this](const std::vector<LinkUpdate>& updates) -> Result<void> {
                        privileged_.push_back(updates);
                        if (!privilegedWorks_) return fail(Errc::kToolFailed, "dismissed");
                        std::vector<std::string> args;
                        for (const auto& u : updates) {
                          args.push_back(u.link.string());
                          args.push_back(u.newTarget.string());
                        }
                        std::ostringstream err;
                        if (relinkPrivileged(args, err, *files_, diagnostics_) != 0) {
                          return fail(Errc::kIo, err.str());
                        }
                        return {};
                      },
                      .showStep = nullptr,
                      .lockWait = std::chrono::milliseconds(200)};
    seams.mayWrite = [this](const fs::path& link) {
      return link.filename() != "big.iso" || !protectBigIso_;
    };
    return runDriveSwitch(paths_, seams);
  }

  brimvale::testing::TempFolder tmp_{"bv-drive-switch"};
  StatePaths paths_;
  fs::path oldWorking_, newWorking_;
  std::map<std::string, std::string> oldTree_;
  std::unique_ptr<brimvale::testing::FailingFileOperations> files_ =
      std::make_unique<brimvale::testing::FailingFileOperations>();
  DiagnosticsLog diagnostics_{tmp_.path() / "diagnostics.log"};
  ProcessResult serviceAnswer_{.outcome = ProcessOutcome::kExited, .exitCode = 0};
  std::vector<std::vector<std::string>> serviceCalls_;
  std::vector<std::vector<LinkUpdate>> privileged_;
  bool privilegedWorks_ = true;
  bool protectBigIso_ = false;
};

const std::map<std::string, std::string> kAllOld{
    {"Projects/a.txt", "old"}, {"Projects/sub/b 'quoted'.txt", "old"}, {"big.iso", "old"}};
const std::map<std::string, std::string> kAllNew{
    {"Projects/a.txt", "new"}, {"Projects/sub/b 'quoted'.txt", "new"}, {"big.iso", "new"}};

TEST_F(DriveSwitchScene, RepointsLinksAndRecordsThenCommitsOnce) {
  SwitchOutcome outcome = run();
  EXPECT_EQ(outcome.end, SwitchEnd::kSwitched) << outcome.text();
  EXPECT_EQ(outcome.linksUpdated, 3);
  EXPECT_EQ(outcome.recordsUpdated, 2);
  EXPECT_EQ(outcome.text(), "Moved everything to the new drive and switched over.\n");
  EXPECT_EQ(links(), kAllNew);
  EXPECT_EQ(fs::read_symlink(paths_.home / "big.iso"), newWorking_ / "Relocated" / "big.iso");
  EXPECT_EQ(serviceCalls_, (std::vector<std::vector<std::string>>{{"transfer-commit"}}));
  auto f2 = decodeManifest(readFile(paths_.state / "folder-moves" / "F2.json").value());
  EXPECT_EQ(f2->finalDst, (newWorking_ / "Relocated" / "big.iso").string());
  EXPECT_EQ(f2->driveUUID, "NEW");
  EXPECT_EQ(tree(oldWorking_), oldTree_) << "the old drive is never written";
  EXPECT_TRUE(privileged_.empty());

  // A second run finds nothing left; a finished job is not committed twice.
  SwitchOutcome again = run();
  EXPECT_EQ(again.end, SwitchEnd::kSwitched);
  EXPECT_EQ(again.linksUpdated + again.recordsUpdated, 0);
  job("done");
  serviceCalls_.clear();
  EXPECT_EQ(run().end, SwitchEnd::kSwitched);
  EXPECT_TRUE(serviceCalls_.empty());
  EXPECT_EQ(links(), kAllNew);
}

TEST_F(DriveSwitchScene, AFailureLeavesEveryLinkWorkingAndSaysWhy) {
  const struct {
    const char* name;
    std::function<void(DriveSwitchScene&)> arrange;
    std::string reason;
    std::map<std::string, std::string> links;
  } cases[] = {
      {"a move in progress",
       [](DriveSwitchScene& s) { s.record("F3", "Videos", MovePhase::kCopying); },
       "a move is still in progress", kAllOld},
      {"a finished move missing on the new drive",
       [](DriveSwitchScene& s) { fs::remove_all(s.newWorking_ / "Relocated" / "Projects"); },
       "something didn't copy across", kAllOld},
      {"a linked file missing on the new drive",
       [](DriveSwitchScene& s) {
         fs::remove(s.newWorking_ / "Relocated" / "Projects" / "sub" / "b 'quoted'.txt");
       },
       "something didn't copy across", kAllOld},
      {"the new drive is someone else's",
       [](DriveSwitchScene& s) { s.tmp_.file("new/BRIM-A/.hollin-managed", "volume_uuid=X\n"); },
       "the new drive doesn't match", kAllOld},
      {"a link that cannot be prepared",
       [](DriveSwitchScene& s) {
         s.files_->failFirst(brimvale::testing::FileOp::kSymlinkAt, ".bvl-", ENOSPC);
       },
       "couldn't prepare a link at ", kAllOld},
      {"a link that cannot be swapped",
       [](DriveSwitchScene& s) {
         s.files_->failFirst(brimvale::testing::FileOp::kRenameAt, "big.iso", EACCES);
       },
       "couldn't update a link at ",
       {{"Projects/a.txt", "new"}, {"Projects/sub/b 'quoted'.txt", "new"}, {"big.iso", "old"}}},
      {"protected links refused",
       [](DriveSwitchScene& s) {
         s.protectBigIso_ = true;
         s.privilegedWorks_ = false;
       },
       "couldn't update protected app links", kAllOld},
      {"the service cannot commit", [](DriveSwitchScene& s) { s.serviceAnswer_.exitCode = 1; },
       "the background service couldn't finish the switch", kAllNew},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_.path());
    files_ = std::make_unique<brimvale::testing::FailingFileOperations>();
    serviceCalls_.clear();
    serviceAnswer_.exitCode = 0;
    privilegedWorks_ = true;
    protectBigIso_ = false;
    SetUp();
    c.arrange(*this);
    SwitchOutcome outcome = run();
    EXPECT_EQ(outcome.end, SwitchEnd::kRefused);
    EXPECT_NE(outcome.reason.find(c.reason), std::string::npos) << outcome.reason;
    EXPECT_TRUE(outcome.text().starts_with(kSwitchFailedSentence)) << outcome.text();
    EXPECT_EQ(links(), c.links);
    EXPECT_EQ(tree(oldWorking_), oldTree_);
    const bool committed = !serviceCalls_.empty();
    EXPECT_EQ(committed, c.links == kAllNew) << "the service commits only once links are across";
    for (const auto& e : fs::recursive_directory_iterator(paths_.home)) {
      EXPECT_FALSE(e.path().filename().string().starts_with(".bvl-")) << e.path();
    }
  }
}

TEST_F(DriveSwitchScene, MovesOverEveryLinkUnderTheHomeFolderNotOnlyTheRecordedOnes) {
  // Given links no move record names: a folder the service moved, an item a
  // rule archived, and a recorded relocation whose parent folder was renamed.
  tmp_.file("old/BRIM-A/Relocated/Data/notes.txt", "delta");
  tmp_.file("old/BRIM-A/Downloads-Archive/old.zip", "epsilon");
  fs::copy(oldWorking_ / "Relocated" / "Data", newWorking_ / "Relocated" / "Data");
  fs::copy(oldWorking_ / "Downloads-Archive", newWorking_ / "Downloads-Archive");
  tmp_.link("home/Data", oldWorking_ / "Relocated" / "Data");
  tmp_.link("home/Downloads/old.zip", oldWorking_ / "Downloads-Archive" / "old.zip");
  fs::create_directories(paths_.home / "Work");
  fs::rename(paths_.home / "Projects", paths_.home / "Work" / "Projects renamed");
  oldTree_ = tree(oldWorking_);

  const SwitchOutcome outcome = run();

  EXPECT_EQ(outcome.end, SwitchEnd::kSwitched) << outcome.text();
  EXPECT_EQ(links(),
            (std::map<std::string, std::string>{{"Data", "new"},
                                                {"Downloads/old.zip", "new"},
                                                {"Work/Projects renamed/a.txt", "new"},
                                                {"Work/Projects renamed/sub/b 'quoted'.txt", "new"},
                                                {"big.iso", "new"}}));
  EXPECT_EQ(tree(oldWorking_), oldTree_);
}

TEST_F(DriveSwitchScene, AFileWrittenThroughItsLinkAfterTheCopyIsCarriedAcross) {
  // Given a program that saved through the link after the transfer copied the file.
  tmp_.file("old/BRIM-A/Relocated/Projects/a.txt", "alpha, edited after the copy");
  oldTree_ = tree(oldWorking_);

  const SwitchOutcome outcome = run();

  EXPECT_EQ(outcome.end, SwitchEnd::kSwitched) << outcome.text();
  EXPECT_EQ(readFile(paths_.home / "Projects" / "a.txt").value_or(""),
            "alpha, edited after the copy");
  ASSERT_EQ(outcome.keptAside.size(), 1u);
  EXPECT_EQ(readFile(outcome.keptAside[0]).value_or(""), "alpha") << "the older copy is kept";
  EXPECT_NE(outcome.text().find(outcome.keptAside[0].string()), std::string::npos);
  EXPECT_EQ(links(), kAllNew);
}

TEST_F(DriveSwitchScene, RemovesTemporaryLinksAnInterruptedRunLeft) {
  const fs::path leftover = paths_.home / "Projects" / ".bvl-0123456789ab";
  fs::create_symlink(newWorking_ / "Relocated" / "Projects" / "a.txt", leftover);
  const fs::path notOurs = paths_.home / "Projects" / ".bvl-keep";
  fs::create_symlink(newWorking_ / "Relocated" / "Projects" / "a.txt", notOurs);
  ASSERT_EQ(run().end, SwitchEnd::kSwitched);
  EXPECT_FALSE(fs::exists(fs::symlink_status(leftover)));
  EXPECT_TRUE(fs::is_symlink(notOurs)) << "only the swap's own temporary names are removed";
}

TEST_F(DriveSwitchScene, ASecondStarterWaitsForTheFirstAndShowsItsResult) {
  RelocatorLock held(paths_.state);
  ASSERT_TRUE(held.acquire(std::chrono::seconds(1)));
  EXPECT_EQ(run().end, SwitchEnd::kRefused) << "gives up after its wait";
  EXPECT_EQ(links(), kAllOld);

  std::thread first([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    job("done");
    held.release();
  });
  SwitchSeams seams{.files = *files_,
                    .diagnostics = diagnostics_,
                    .service = [](const std::vector<std::string>&) { return ProcessResult{}; },
                    .privileged = nullptr,
                    .showStep = nullptr,
                    .lockWait = std::chrono::seconds(10)};
  SwitchOutcome outcome = runDriveSwitch(paths_, seams);
  first.join();
  EXPECT_EQ(outcome.end, SwitchEnd::kSwitched);
  EXPECT_EQ(outcome.text(), "Moved everything to the new drive and switched over.\n");
}

}  // namespace
}  // namespace brimvale::mover
