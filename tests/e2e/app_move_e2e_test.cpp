// The app mover from the command line, end to end: the real brimvale moves
// bundles out of an /Applications that is a tmpfs of this test's own mount
// namespace onto a tmpfs drive and back; runs repeated, failed, doubled,
// interrupted and killed at its steps, and nothing may be lost.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
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
  TempHome home_{testing::StateFolder::kCreated};
  AppMoveScene scene_{home_, drive_.path()};
};

// Given a move, then a link leads to an identical bundle that still runs, and
// moving back restores it (twice is harmless); given an installer put a fresh
// bundle where the link was, then a sweep moves the fresh bundle to the drive
// and says what it saw and did.
TEST_F(AppMoveE2E, AMoveLeavesALinkToAnIdenticalBundleAndASweepMovesAReinstall) {
  const BundleFacts before = bundle("Editor");
  const ProcessResult moved = scene_.app({"apps", "move", "Editor"});
  ASSERT_TRUE(moved.succeeded()) << moved.out << moved.err;
  EXPECT_NE(moved.out.find("Moved \u201cEditor\u201d to your fast drive and kept it working."),
            std::string::npos)
      << moved.out;
  EXPECT_NE(moved.out.find("Copying \u201cEditor\u201d: 100%"), std::string::npos) << moved.out;
  ASSERT_TRUE(linksTo(at("Editor"), copy("Editor")));
  EXPECT_EQ(bundleFacts(copy("Editor")), before) << "modes, links, hard links or attributes differ";
  const ProcessResult ran = runProcess({.path = (at("Editor") / "Contents/MacOS/Editor").string(),
                                        .deadline = std::chrono::seconds(10)});
  EXPECT_EQ(ran.out, "Editor runs\n");

  const ProcessResult listed = scene_.app({"apps", "moved", "--json"});
  ASSERT_TRUE(listed.succeeded()) << listed.err;
  const auto j = nlohmann::json::parse(listed.out);
  ASSERT_EQ(j["apps"].size(), 1u);
  EXPECT_EQ(j["apps"][0]["state"], "working");
  EXPECT_EQ(j["apps"][0]["nvmePath"], copy("Editor").string());

  // Back home, as it was, and a second move back has nothing to do.
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    const ProcessResult back = scene_.app({"apps", "move-back", "Editor"});
    ASSERT_TRUE(back.succeeded()) << back.out << back.err;
    EXPECT_TRUE(isRealBundle(at("Editor")));
    EXPECT_EQ(bundleFacts(at("Editor")), before);
    EXPECT_FALSE(fs::exists(copy("Editor")));
  }

  bundle("Player");
  ASSERT_TRUE(scene_.app({"apps", "move", "Player"}).succeeded());
  fs::remove(at("Player"));
  const BundleFacts fresh = bundle("Player", 7);
  const ProcessResult swept = scene_.app({"apps", "reinstalls", "--sweep"});
  ASSERT_TRUE(swept.succeeded()) << swept.out << swept.err;
  EXPECT_NE(swept.out.find("Player was reinstalled"), std::string::npos) << swept.out;
  EXPECT_NE(swept.out.find("moved to the fast drive again"), std::string::npos) << swept.out;
  EXPECT_TRUE(linksTo(at("Player"), copy("Player")));
  EXPECT_EQ(bundleFacts(copy("Player")), fresh);
}

TEST_F(AppMoveE2E, RepeatedFailedAndDoubledMovesLoseNothing) {
  struct Case {
    const char* name;
    std::function<void(AppMoveE2E&)> before;  // arranges a failure for the first run; may be empty
    std::function<void(AppMoveE2E&)> fix;     // undoes it before the re-run
    bool together;                            // the first run is two at once
    int firstExit;                            // -1: either 0 or 1 (two at once)
  };
  const Case cases[] = {
      {"run twice", {}, {}, false, 0},
      // What stood in the copy's place differs, so it is kept beside it.
      {"a copy already on the drive",
       [](AppMoveE2E& t) { fs::create_directories(t.copy("Tool") / "stale"); },
       {},
       false,
       0},
      {"no working folder, then made",
       [](AppMoveE2E& t) { fs::rename(t.scene_.working(), t.scene_.working().string() + "-away"); },
       [](AppMoveE2E& t) { fs::rename(t.scene_.working().string() + "-away", t.scene_.working()); },
       false, 1},
      {"two at once", {}, {}, true, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(at("Tool"));
    fs::remove_all(copy("Tool"));
    const BundleFacts before = bundle("Tool", 400);
    if (c.before) c.before(*this);
    if (c.together) {
      auto first = scene_.start({"apps", "move", "Tool"}, "first.out");
      auto second = scene_.start({"apps", "move", "Tool"}, "second.out");
      const int a = first.wait();
      const int b = second.wait();
      EXPECT_TRUE((a == 0 && (b == 0 || b == 1)) || (b == 0 && (a == 0 || a == 1)))
          << a << " " << b << first.output() << second.output();
    } else {
      const ProcessResult r = scene_.app({"apps", "move", "Tool"});
      EXPECT_EQ(r.exitCode, c.firstExit) << r.out << r.err;
      if (c.firstExit == 0 && c.before) {
        EXPECT_NE(r.out.find("Kept " + copy("Tool").string() + ".kept-"), std::string::npos)
            << r.out;
      }
      if (c.firstExit == 1) {
        EXPECT_NE(r.err.find("Your app \u201cTool\u201d is safe at " + seen("Tool")),
                  std::string::npos)
            << r.err;
      }
    }
    EXPECT_TRUE(intact("Tool", before));
    if (c.fix) c.fix(*this);
    const ProcessResult again = scene_.app({"apps", "move", "Tool"});
    EXPECT_TRUE(again.succeeded()) << again.out << again.err;
    EXPECT_TRUE(linksTo(at("Tool"), copy("Tool")));
    EXPECT_EQ(bundleFacts(copy("Tool")), before);
    EXPECT_EQ(scene_.liveMoves(), 1) << "one app, one live move record";
    ASSERT_TRUE(scene_.app({"apps", "move-back", "Tool"}).succeeded());
  }
}

TEST_F(AppMoveE2E, SameNamesAndPlantedLinksAreRefusedUntouched) {
  const BundleFacts system = bundle("Twin");
  const fs::path mine = home_.path() / "Applications" / "Twin.app";
  writeBundle(mine, "Twin", 5);
  const BundleFacts own = bundleFacts(mine);
  const ProcessResult ambiguous = scene_.app({"apps", "move", "Twin"});
  EXPECT_EQ(ambiguous.exitCode, 2) << ambiguous.err;
  EXPECT_NE(ambiguous.err.find("More than one app is called \u201cTwin\u201d"), std::string::npos);

  // By path each: the first moves, the second would land on the same copy and is refused.
  EXPECT_TRUE(scene_.app({"apps", "move", seen("Twin")}).succeeded());
  const ProcessResult second = scene_.app({"apps", "move", mine.string()});
  EXPECT_EQ(second.exitCode, 1) << second.out << second.err;
  EXPECT_NE(second.err.find("There's already a copy on NVMe at"), std::string::npos) << second.err;
  EXPECT_EQ(bundleFacts(mine), own);
  EXPECT_TRUE(isRealBundle(mine));
  EXPECT_EQ(bundleFacts(copy("Twin")), system);

  // A link someone else planted where a bundle was is never followed or moved.
  const fs::path elsewhere = home_.path() / "Elsewhere.app";
  writeBundle(elsewhere, "Planted", 3);
  const BundleFacts planted = bundleFacts(elsewhere);
  fs::create_symlink(elsewhere, at("Planted"));
  const ProcessResult refused = scene_.app({"apps", "move", "Planted"});
  EXPECT_EQ(refused.exitCode, 1) << refused.out << refused.err;
  EXPECT_NE(refused.err.find("Nothing was moved"), std::string::npos) << refused.err;
  EXPECT_TRUE(linksTo(at("Planted"), elsewhere));
  EXPECT_EQ(bundleFacts(elsewhere), planted);
}

TEST_F(AppMoveE2E, CtrlCMidCopyThenARerunLosesNothing) {
  const BundleFacts before = bundle("Large", 3000);
  auto run = scene_.start({"apps", "move", "Large"}, "large.out");
  // Interrupt as soon as the copy has begun (wherever it lands, nothing may be lost).
  for (int i = 0; i < 2000 && !fs::exists(copy("Large")) && run.running(); ++i) {
    std::this_thread::sleep_for(1ms);
  }
  run.signal(SIGINT);
  const int status = run.wait();
  EXPECT_TRUE(status == 0 || status == 128 + SIGINT) << status << run.output();
  if (status != 0) {
    EXPECT_NE(run.output().find("Your app is safe"), std::string::npos) << run.output();
  }
  EXPECT_TRUE(intact("Large", before));
  const ProcessResult again = scene_.app({"apps", "move", "Large"});
  ASSERT_TRUE(again.succeeded()) << again.out << again.err;
  EXPECT_TRUE(linksTo(at("Large"), copy("Large")));
  EXPECT_EQ(bundleFacts(copy("Large")), before);
  EXPECT_EQ(scene_.unrecordedParked(), 0);
}

TEST_F(AppMoveE2E, KilledAtSampledStepsThenRerunLosesNothing) {
#ifndef BRIMVALE_TEST_HOOKS
  GTEST_SKIP() << "needs a build with test hooks";
#endif
  // The whole loop, at every step, is bench/app_move_kill_loop.cpp.
  const KillLoopTally tally = runAppMoveKillLoop(
      scene_,
      {"app-move-step3", "app-move-copying#1", "app-move-step5", "app-move-step6", "app-move-step9",
       "app-move-back-staged", "app-move-back-unlinked"},
      &std::cout);
  EXPECT_EQ(tally.tried, 7);
  EXPECT_EQ(tally.notReached, 0);
  EXPECT_EQ(tally.lost, 0);
}

// Given a move killed with its original parked, then starting the
// application puts the app back before anything else moves.
TEST_F(AppMoveE2E, BrimvaleRunRepairsAMoveKilledMidway) {
#ifndef BRIMVALE_TEST_HOOKS
  GTEST_SKIP() << "needs a build with test hooks";
#endif
  const BundleFacts before = bundle("Cut");
  const ProcessResult killed = scene_.app({"--stop-after=app-move-step5", "apps", "move", "Cut"});
  ASSERT_EQ(killed.signal, SIGKILL) << killed.describe();
  ASSERT_FALSE(fs::exists(fs::symlink_status(at("Cut")))) << "the original was not parked";
  auto run = scene_.start({"run"}, "run.out");
  for (int i = 0; i < 600 && !isRealBundle(at("Cut")) && run.running(); ++i) {
    std::this_thread::sleep_for(50ms);
  }
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait(), 0) << run.output();
  EXPECT_TRUE(isRealBundle(at("Cut")));
  EXPECT_EQ(bundleFacts(at("Cut")), before);
  EXPECT_FALSE(fs::exists(copy("Cut")));
  EXPECT_EQ(scene_.unrecordedParked(), 0);
}

// Given another process holds the relocator lock when the application
// starts, then the parked app is put back seconds after the lock is let go,
// not at the next reinstall sweep ten minutes on.
TEST_F(AppMoveE2E, BrimvaleRunRepairsSoonAfterTheOtherMoveEnds) {
#ifndef BRIMVALE_TEST_HOOKS
  GTEST_SKIP() << "needs a build with test hooks";
#endif
  const BundleFacts before = bundle("Held");
  const ProcessResult killed = scene_.app({"--stop-after=app-move-step5", "apps", "move", "Held"});
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
  EXPECT_EQ(scene_.unrecordedParked(), 0);
}

// Given a move or an offload of an app frozen in the middle of its copy, then
// the other operation on the same app is refused untouched, and the first
// finishes whole once it runs again.
TEST_F(AppMoveE2E, AMoveAndAnOffloadOfOneAppNeverOverlap) {
  struct Case {
    std::string first, second;
    std::string copying;  // a folder of the drive that exists once the first copies
    std::string refusal;
  };
  const Case cases[] = {
      {"move", "offload", "Apps", "Another app move, offload, restore or removal is still running"},
      {"offload", "move", "Offloaded", "another relocate operation is in progress"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first + " then " + c.second);
    const std::string name = "Both" + c.first;
    const BundleFacts before = bundle(name, 3000);
    auto first = scene_.start({"apps", c.first, name}, name + ".out");
    const auto copying = [&] {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(scene_.working() / c.copying, ec)) {
        if (e.path().filename().string().starts_with(name)) return true;
      }
      return false;
    };
    for (int i = 0; i < 4000 && !copying() && first.running(); ++i)
      std::this_thread::sleep_for(1ms);
    first.signal(SIGSTOP);
    ASSERT_TRUE(copying()) << first.output();
    const ProcessResult second = scene_.app({"apps", c.second, name});
    first.signal(SIGCONT);
    EXPECT_EQ(second.exitCode, 1) << second.out << second.err;
    EXPECT_NE(second.err.find(c.refusal), std::string::npos) << second.err;
    EXPECT_TRUE(second.err.find("nothing was changed") != std::string::npos ||
                second.err.find("Nothing was moved") != std::string::npos)
        << second.err;
    ASSERT_EQ(first.wait(), 0) << first.output();
    if (c.first == "move") {
      EXPECT_TRUE(linksTo(at(name), copy(name)));
      EXPECT_EQ(bundleFacts(copy(name)), before);
    } else {
      EXPECT_FALSE(fs::exists(fs::symlink_status(at(name))));
      EXPECT_EQ(scene_.liveMoves(), 1) << "only the first case's move";
    }
  }
  EXPECT_EQ(scene_.unrecordedParked(), 0);
}

TEST_F(AppMoveE2E, OffloadThenRestoreRoundTrips) {
  const BundleFacts before = bundle("Notes", 30);
  const ProcessResult offloaded = scene_.app({"apps", "offload", "Notes"});
  ASSERT_TRUE(offloaded.succeeded()) << offloaded.out << offloaded.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(at("Notes"))));
  const auto idAt = offloaded.out.find("brimvale apps restore ");
  ASSERT_NE(idAt, std::string::npos) << offloaded.out;
  const std::string id = offloaded.out.substr(idAt + 22, 36);

  // A fresh install in its place stops the restore and is left alone.
  writeBundle(at("Notes"), "Notes", 2);
  const BundleFacts fresh = bundleFacts(at("Notes"));
  const ProcessResult refused = scene_.app({"apps", "restore", id});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("a copy is already installed at"), std::string::npos) << refused.err;
  EXPECT_EQ(bundleFacts(at("Notes")), fresh);

  fs::remove_all(at("Notes"));
  const ProcessResult restored = scene_.app({"apps", "restore", id});
  ASSERT_TRUE(restored.succeeded()) << restored.out << restored.err;
  EXPECT_NE(restored.out.find("Restored \u201cNotes\u201d from your fast drive."),
            std::string::npos);
  EXPECT_EQ(bundleFacts(at("Notes")), before);
}

}  // namespace
}  // namespace brimvale::e2e
