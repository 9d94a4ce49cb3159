// The drive switch that finishes a transfer, end to end: real brimvale and
// brim-vale, real rsync, two tmpfs drives, a relocated folder whose files are
// links and a relocated file.
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "e2e_harness.h"
#include "mover/manifest.h"
#include "transfer_scene.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;

class DriveSwitchE2E : public ::testing::Test {
 public:
  void SetUp() override {
    BRIMVALE_REQUIRE_DRIVE(old_);
    BRIMVALE_REQUIRE_DRIVE(new_);
    oldWorking_ = prepareTransferSource(home_, old_, 2, 11);
    newWorking_ = new_.path() / thisWorkingFolderName();
    fs::create_symlink(BRIM_VALE_PATH, home_.path() / ".brimvale" / "brim-vale");
    relocate("F1", "Projects", {"plan.txt", "drafts/chapter \"one\".txt", "drafts/naïve.md"});
    relocate("F2", "disk image.iso", {""});
    oldDrive_ = treeSums(old_.path());
    homeView_ = userView(home_.path() / "Relocated here");
  }

  // Puts `files` (relative to `name`; "" for `name` itself being one file)
  // into the old working folder, links to them in the home and a finished
  // move record, as a folder move leaves them.
  void relocate(const std::string& id, const std::string& name,
                const std::vector<std::string>& files) {
    const fs::path copy = oldWorking_ / "Relocated" / name;
    const fs::path place = home_.path() / "Relocated here" / name;
    for (const auto& rel : files) {
      const fs::path file = rel.empty() ? copy : copy / rel;
      fs::create_directories(file.parent_path());
      std::ofstream(file) << "contents of " << name << "/" << rel << "\n";
      const fs::path link = rel.empty() ? place : place / rel;
      fs::create_directories(link.parent_path());
      fs::create_symlink(file, link);
    }
    record(id, place, copy, mover::MovePhase::kDone);
  }

  void record(const std::string& id, const fs::path& src, const fs::path& copy,
              mover::MovePhase phase) {
    mover::MoveManifest m;
    m.id = id;
    m.src = src.string();
    m.dstParent = copy.parent_path().string();
    m.finalDst = copy.string();
    m.phase = phase;
    m.replaceSourceWithSymlink = true;
    fs::create_directories(home_.state() / "folder-moves");
    ASSERT_TRUE(writeFileAtomically(home_.state() / "folder-moves" / (id + ".json"),
                                    mover::encodeManifest(m)));
  }

  ProcessResult runBrimvale(std::vector<std::string> args) const {
    return runProcess({.path = BRIMVALE_PATH,
                       .args = std::move(args),
                       .envAdditions = {{"HOME", home_.path().string()}},
                       .deadline = std::chrono::minutes(5)});
  }

  // Starts the transfer and waits for its verified copy.
  void copyAcross() {
    ProcessResult started =
        runBrimvale({"drive-transfer", "start", "transfer", new_.path().string()});
    ASSERT_EQ(started.exitCode, 0) << started.out << started.err;
    waitForTransferPhase(home_, "copied");
  }

  // Each link in the home: "old", "new" or "dangling".
  std::map<std::string, std::string> links() const {
    std::map<std::string, std::string> seen;
    for (const auto& e : fs::recursive_directory_iterator(home_.path() / "Relocated here")) {
      if (!e.is_symlink()) continue;
      const std::string target = fs::read_symlink(e.path()).string();
      seen[e.path().lexically_relative(home_.path()).string()] =
          !fs::exists(e.path())                            ? "dangling"
          : target.starts_with(oldWorking_.string() + "/") ? "old"
          : target.starts_with(newWorking_.string() + "/") ? "new"
                                                           : "elsewhere " + target;
    }
    return seen;
  }

  std::map<std::string, std::string> all(const std::string& where) const {
    std::map<std::string, std::string> seen = links();
    for (auto& [rel, state] : seen) state = where;
    return seen;
  }

  std::string configuredDrive() const { return readFile(home_.paths().config).value_or(""); }

  void expectSwitchedAndNothingLost() {
    EXPECT_EQ(links(), all("new"));
    EXPECT_NE(configuredDrive().find("NVMe=\"" + new_.path().string() + "\""), std::string::npos)
        << configuredDrive();
    auto f2 = mover::decodeManifest(readFile(home_.state() / "folder-moves" / "F2.json").value());
    ASSERT_TRUE(f2);
    EXPECT_EQ(f2->finalDst, (newWorking_ / "Relocated" / "disk image.iso").string());
    EXPECT_EQ(treeSums(old_.path()), oldDrive_) << "the old drive is left byte for byte";
    EXPECT_EQ(lostEntries(homeView_, userView(home_.path() / "Relocated here")), 0);
    EXPECT_EQ(transferStatus(home_)["phase"], "done");
  }

  std::string tag_ = testTag();
  TmpfsDrive old_{"so-" + tag_};
  TmpfsDrive new_{"sn-" + tag_};
  TempHome home_;
  fs::path oldWorking_, newWorking_;
  TreeSums oldDrive_;
  TreeView homeView_;
};

TEST_F(DriveSwitchE2E, WaitingForTheCopySwitchesEveryLinkRecordAndTheDrive) {
  copyAcross();
  ASSERT_EQ(links(), all("old"));
  ProcessResult wait = runBrimvale({"drive-transfer", "status", "--wait"});
  EXPECT_EQ(wait.exitCode, 0) << wait.out << wait.err;
  EXPECT_NE(wait.out.find("Switching to the new drive…\n  Checking the copy…\n  Finding what to "
                          "move over…\n  Updating links to the new drive…\n  Updating records…\n"),
            std::string::npos)
      << wait.out;
  EXPECT_TRUE(wait.out.ends_with("  Done.\nMoved everything to the new drive and switched over.\n"))
      << wait.out;
  expectSwitchedAndNothingLost();

  ProcessResult again = runBrimvale({"drive-transfer", "status", "--wait"});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(again.out, "Moved everything to the new drive and switched over.\n");
}

TEST_F(DriveSwitchE2E, AMoveUnderWayOrACopyMissingBlocksTheSwitch) {
  const struct {
    const char* name;
    std::function<void(DriveSwitchE2E&)> arrange;
    const char* reason;
  } cases[] = {
      {"a move under way",
       [](DriveSwitchE2E& s) {
         s.record("F3", s.home_.path() / "Videos", s.oldWorking_ / "Relocated" / "Videos",
                  mover::MovePhase::kCopying);
       },
       "What stopped it: a move is still in progress.\n"},
      {"a finished move missing on the new drive",
       [](DriveSwitchE2E& s) { fs::remove_all(s.newWorking_ / "Relocated" / "disk image.iso"); },
       "What stopped it: something didn't copy across.\n"},
  };
  bool first = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!first) {
      fs::remove_all(home_.state() / "folder-moves");
      ASSERT_TRUE(runBrimVale(home_, {"transfer-cancel", "--yes"}).succeeded());
      relocate("F1b", "Projects", {});
      record("F2", home_.path() / "Relocated here" / "disk image.iso",
             oldWorking_ / "Relocated" / "disk image.iso", mover::MovePhase::kDone);
    }
    first = false;
    copyAcross();
    c.arrange(*this);
    ProcessResult wait = runBrimvale({"drive-transfer", "status", "--wait"});
    EXPECT_EQ(wait.exitCode, 1);
    EXPECT_NE(wait.out.find("The switch couldn't be completed. Your old drive still has "
                            "everything — nothing was deleted.\n" +
                            std::string(c.reason)),
              std::string::npos)
        << wait.out;
    EXPECT_EQ(links(), all("old"));
    EXPECT_NE(configuredDrive().find("NVMe=\"" + old_.path().string() + "\""), std::string::npos);
    EXPECT_EQ(transferStatus(home_)["phase"], "copied") << "the copy waits for another try";
    EXPECT_EQ(treeSums(old_.path()), oldDrive_);
  }
}

// Given an app moved from the real /Applications folder (a tmpfs there, in a
// mount namespace of this test's own), then the switch re-points its link and
// rewrites its record, and the bundle opens from the new drive.
TEST_F(DriveSwitchE2E, AppLinksInTheApplicationsFolderFollowTheSwitch) {
  if (!fs::is_directory("/Applications")) GTEST_SKIP() << "no /Applications to mount over";
  const fs::path bundle = oldWorking_ / "Apps" / "Tool.app";
  fs::create_directories(bundle / "Contents" / "MacOS");
  std::ofstream(bundle / "Contents" / "MacOS" / "Tool") << "#!/bin/sh\necho tool\n";
  fs::create_directories(home_.state() / "app-moves");
  const std::string id = "0B7E3C55-4C1D-4C52-9A55-1F1C2B7A9E01";
  const nlohmann::json record{{"id", id},
                              {"version", 2},
                              {"originalPath", "/Applications/Tool.app"},
                              {"nvmePath", bundle.string()},
                              {"displayName", "Tool"},
                              {"srcSizeKB", 4},
                              {"startedAt", "2026-12-01T10:00:00Z"},
                              {"updatedAt", "2026-12-01T10:00:05Z"},
                              {"completedAt", "2026-12-01T10:00:05Z"},
                              {"phase", "done"}};
  const fs::path recordFile = home_.state() / "app-moves" / (id + ".json");
  ASSERT_TRUE(writeFileAtomically(recordFile, record.dump(2) + "\n"));
  oldDrive_ = treeSums(old_.path());
  copyAcross();

  // The link, the switch and what the link then leads to, all inside one
  // namespace whose /Applications is a fresh tmpfs; paths travel as
  // arguments, never inside the script's text.
  const std::string script =
      "mount -t tmpfs -o size=1m,mode=0755 tmpfs /Applications || exit 90\n"
      "ln -s \"$1\" /Applications/Tool.app || exit 91\n"
      "\"$2\" drive-transfer status --wait || exit $?\n"
      "echo \"link: $(readlink /Applications/Tool.app)\"\n"
      "cat /Applications/Tool.app/Contents/MacOS/Tool\n";
  ProcessResult run = runProcess({.path = "/usr/bin/unshare",
                                  .args = {"--mount", "--propagation", "private", "/bin/sh", "-c",
                                           script, "sh", bundle.string(), BRIMVALE_PATH},
                                  .envAdditions = {{"HOME", home_.path().string()}},
                                  .deadline = std::chrono::minutes(5)});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const fs::path newBundle = newWorking_ / "Apps" / "Tool.app";
  EXPECT_NE(run.out.find("link: " + newBundle.string() + "\n"), std::string::npos) << run.out;
  EXPECT_TRUE(run.out.ends_with("echo tool\n")) << "the bundle opens through the link";
  const auto rewritten = nlohmann::json::parse(readFile(recordFile).value());
  EXPECT_EQ(rewritten["nvmePath"], newBundle.string());
  EXPECT_EQ(rewritten["originalPath"], "/Applications/Tool.app");
  expectSwitchedAndNothingLost();
}

}  // namespace
}  // namespace brimvale::e2e
