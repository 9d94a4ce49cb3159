// The app mover from the command line, end to end: the real brimvale moves
// bundles out of an /Applications that is a tmpfs of this test's own mount
// namespace onto a tmpfs drive and back; runs repeated, failed, doubled,
// interrupted and killed at its steps, and nothing may be lost.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "app_move_scene.h"
#include "e2e_harness.h"
#include "mover/safety_checks.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class AppMoveE2E : public ::testing::Test {
 public:
  void SetUp() override {
    BRIMVALE_REQUIRE_DRIVE(drive_);
    if (!scene_.ready()) {
      if (mountsRequired()) FAIL() << scene_.whyNot();
      GTEST_SKIP() << scene_.whyNot();
    }
  }

  // A fresh bundle named `name` in the namespace's /Applications; its facts.
  BundleFacts bundle(const std::string& name, int files = 20) {
    writeBundle(scene_.applications() / (name + ".app"), name, files);
    return bundleFacts(scene_.applications() / (name + ".app"));
  }
  fs::path at(const std::string& name) const { return scene_.applications() / (name + ".app"); }
  // The same bundle as brimvale, inside the namespace, names it.
  static std::string seen(const std::string& name) { return "/Applications/" + name + ".app"; }
  fs::path copy(const std::string& name) const {
    return scene_.working() / "Apps" / (name + ".app");
  }
  // Safe means: a real bundle, or our link to a copy, holding what the user had.
  bool intact(const std::string& name, const BundleFacts& before) const {
    return bundleFacts(at(name)) == before &&
           (isRealBundle(at(name)) || linksTo(at(name), copy(name)));
  }

  // One drive per test: ctest runs the tests side by side in one namespace.
  // Offloading keeps 1 GiB spare.
  TmpfsDrive drive_{
      std::string("AppMove-") + ::testing::UnitTest::GetInstance()->current_test_info()->name(),
      "2g"};
  TempHome home_{brimvale::testing::StateFolder::kCreated};
  AppMoveScene scene_{home_, drive_.path()};
};

// Given a move, then a link leads to an identical bundle that still runs, and
// moving back restores it (twice is harmless).
TEST_F(AppMoveE2E, AMoveLeavesALinkToAnIdenticalBundleAndMovingBackRestoresIt) {
  const BundleFacts before = bundle("Editor");
  const ProcessResult moved = scene_.app({"apps", "move", "Editor", "--yes"});
  ASSERT_TRUE(moved.succeeded()) << moved.out << moved.err;
  EXPECT_NE(moved.out.find("Moved \u201cEditor\u201d to your fast drive and kept it working."),
            std::string::npos)
      << moved.out;
  ASSERT_TRUE(linksTo(at("Editor"), copy("Editor")));
  EXPECT_EQ(bundleFacts(copy("Editor")), before) << "modes, links, hard links or attributes differ";
  const ProcessResult ran = runProcess({.path = (at("Editor") / "Contents/MacOS/Editor").string(),
                                        .deadline = std::chrono::seconds(10)});
  EXPECT_EQ(ran.out, "Editor runs\n");

  // Back home, as it was, and a second move back has nothing to do.
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    const ProcessResult back = scene_.app({"apps", "move-back", "Editor", "--yes"});
    ASSERT_TRUE(back.succeeded()) << back.out << back.err;
    EXPECT_TRUE(isRealBundle(at("Editor")));
    EXPECT_EQ(bundleFacts(at("Editor")), before);
    EXPECT_FALSE(fs::exists(copy("Editor")));
  }
}

// Given a first move that fails or meets a stale copy, then the app is safe
// and a re-run moves it whole.
TEST_F(AppMoveE2E, RepeatedFailedAndDoubledMovesLoseNothing) {
  struct Case {
    const char* name;
    std::function<void(AppMoveE2E&)> before;  // arranges a failure for the first run
    std::function<void(AppMoveE2E&)> fix;     // undoes it before the re-run; may be empty
    int firstExit;
  };
  const Case cases[] = {
      // What stood in the copy's place differs, so it is kept beside it.
      {"a copy already on the drive",
       [](AppMoveE2E& t) { fs::create_directories(t.copy("Tool") / "stale"); },
       {},
       0},
      {"no working folder, then made",
       [](AppMoveE2E& t) { fs::rename(t.scene_.working(), t.scene_.working().string() + "-away"); },
       [](AppMoveE2E& t) { fs::rename(t.scene_.working().string() + "-away", t.scene_.working()); },
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(at("Tool"));
    fs::remove_all(copy("Tool"));
    const BundleFacts before = bundle("Tool", 400);
    c.before(*this);
    const ProcessResult r = scene_.app({"apps", "move", "Tool", "--yes"});
    EXPECT_EQ(r.exitCode, c.firstExit) << r.out << r.err;
    EXPECT_TRUE(r.exitCode != 0 ||
                r.out.find("Kept " + copy("Tool").string() + ".kept-") != std::string::npos)
        << r.out;
    EXPECT_TRUE(r.exitCode == 0 || r.err.find("Your app \u201cTool\u201d is safe at " +
                                              seen("Tool")) != std::string::npos)
        << r.err;
    EXPECT_TRUE(intact("Tool", before));
    if (c.fix) c.fix(*this);
    const ProcessResult again = scene_.app({"apps", "move", "Tool", "--yes"});
    EXPECT_TRUE(again.succeeded()) << again.out << again.err;
    EXPECT_TRUE(linksTo(at("Tool"), copy("Tool")));
    EXPECT_EQ(bundleFacts(copy("Tool")), before);
    EXPECT_EQ(scene_.liveMoves(), 1) << "one app, one live move record";
    ASSERT_TRUE(scene_.app({"apps", "move-back", "Tool", "--yes"}).succeeded());
  }
}

TEST_F(AppMoveE2E, SameNamesAreRefusedUntouched) {
  const BundleFacts system = bundle("Twin");
  const fs::path mine = home_.path() / "Applications" / "Twin.app";
  writeBundle(mine, "Twin", 5);
  const BundleFacts own = bundleFacts(mine);
  const ProcessResult ambiguous = scene_.app({"apps", "move", "Twin", "--yes"});
  EXPECT_EQ(ambiguous.exitCode, 2) << ambiguous.err;
  EXPECT_NE(ambiguous.err.find("More than one app is called \u201cTwin\u201d"), std::string::npos);

  // By path each: the first moves, the second would land on the same copy and is refused.
  EXPECT_TRUE(scene_.app({"apps", "move", seen("Twin"), "--yes"}).succeeded());
  const ProcessResult second = scene_.app({"apps", "move", mine.string(), "--yes"});
  EXPECT_EQ(second.exitCode, 1) << second.out << second.err;
  EXPECT_NE(second.err.find("There's already a copy on NVMe at"), std::string::npos) << second.err;
  EXPECT_EQ(bundleFacts(mine), own);
  EXPECT_TRUE(isRealBundle(mine));
  EXPECT_EQ(bundleFacts(copy("Twin")), system);
}

TEST_F(AppMoveE2E, CtrlCMidCopyThenARerunLosesNothing) {
  const BundleFacts before = bundle("Large", 3000);
  auto run = scene_.start({"apps", "move", "Large", "--yes"}, "large.out");
  // Interrupt as soon as the copy has begun (wherever it lands, nothing may be lost).
  for (int i = 0; i < 2000 && !fs::exists(copy("Large")) && run.running(); ++i) {
    std::this_thread::sleep_for(1ms);
  }
  run.signal(SIGINT);
  const int status = run.wait();
  EXPECT_TRUE(status == 0 || status == 128 + SIGINT) << status << run.output();
  EXPECT_TRUE(status == 0 || run.output().find("Your app is safe") != std::string::npos)
      << run.output();
  EXPECT_TRUE(intact("Large", before));
  const ProcessResult again = scene_.app({"apps", "move", "Large", "--yes"});
  ASSERT_TRUE(again.succeeded()) << again.out << again.err;
  EXPECT_TRUE(linksTo(at("Large"), copy("Large")));
  EXPECT_EQ(bundleFacts(copy("Large")), before);
  EXPECT_EQ(scene_.unrecordedParked(), 0);
}

// Given a move killed with its original parked and another process holding
// the relocator lock when the application starts, then the app is put back
// seconds after the lock is let go, not at the next reinstall sweep.
TEST_F(AppMoveE2E, BrimvaleRunRepairsSoonAfterTheOtherMoveEnds) {
#ifndef BRIMVALE_TEST_HOOKS
  GTEST_SKIP() << "needs a build with test hooks";
#endif
  const BundleFacts before = bundle("Held");
  const ProcessResult killed =
      scene_.app({"--stop-after=app-move-step5", "apps", "move", "Held", "--yes"});
  ASSERT_EQ(killed.signal, SIGKILL) << killed.describe();
  mover::RelocatorLock other(home_.state());
  ASSERT_TRUE(other.acquire(0ms));
  auto run = scene_.start({"run"}, "run.out");
  for (int i = 0; i < 200 && run.output().find("were not repaired yet") == std::string::npos; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_NE(run.output().find("were not repaired yet"), std::string::npos) << run.output();
  std::this_thread::sleep_for(4s);  // more than one retry while the lock is held
  EXPECT_FALSE(fs::exists(fs::symlink_status(at("Held")))) << "repaired under another's lock";
  other.release();
  for (int i = 0; i < 300 && !isRealBundle(at("Held")) && run.running(); ++i) {
    std::this_thread::sleep_for(50ms);
  }
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait(), 0) << run.output();
  EXPECT_TRUE(isRealBundle(at("Held"))) << run.output();
  EXPECT_EQ(bundleFacts(at("Held")), before);
  EXPECT_FALSE(fs::exists(copy("Held")));
  EXPECT_EQ(scene_.unrecordedParked(), 0);
}

}  // namespace
}  // namespace brimvale::e2e
