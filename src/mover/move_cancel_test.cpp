#include "mover/move_cancel.h"

#include <signal.h>

#include <gtest/gtest.h>

#include "testing/platform/fake_launcher.h"

namespace brimvale::mover {
namespace {

using platform::testing::FakeLauncher;
using platform::testing::FakeProcesses;
using platform::testing::kFakeUser;
using namespace std::chrono_literals;
using Result = OwnerCancel::Result;

constexpr int kSelf = 500;
const QuitGuards kGuards{kSelf, 499, kFakeUser};

MoveManifest record(const std::string& id, MovePhase phase, std::optional<MoveOwner> owner) {
  MoveManifest m;
  m.id = id;
  m.src = "/home/me/" + id;
  m.phase = phase;
  m.owner = std::move(owner);
  return m;
}

// Given the owner a record names, then only a live owner that really is the
// recorded process of this user is asked to stop, and what it left decides
// the outcome.
TEST(CancelInOwner, AsksOnlyTheRecordedOwnerAndReportsWhatItLeft) {
  enum class Owner {
    kNone,
    kStops,
    kIgnores,
    kDiesWithoutSettling,
    kReusedPid,
    kPid1,
    kSelf,
    kOtherUser
  };
  struct Case {
    const char* name;
    Owner owner;
    MovePhase phase;
    Result result;
    bool signalled;
    std::optional<MovePhase> finalPhase;
  } cases[] = {
      {"no owner recorded", Owner::kNone, MovePhase::kCopying, Result::kNoLiveOwner, false,
       MovePhase::kCopying},
      {"owner stops", Owner::kStops, MovePhase::kCopying, Result::kSettled, true,
       MovePhase::kCancelled},
      {"owner ignores the request", Owner::kIgnores, MovePhase::kHashing, Result::kStillRunning,
       true, MovePhase::kHashing},
      {"owner killed before settling", Owner::kDiesWithoutSettling, MovePhase::kCopying,
       Result::kNoLiveOwner, true, MovePhase::kCopying},
      {"pid given to another program", Owner::kReusedPid, MovePhase::kCopying, Result::kNoLiveOwner,
       false, MovePhase::kCopying},
      {"hand-edited pid 1", Owner::kPid1, MovePhase::kCopying, Result::kNoLiveOwner, false,
       MovePhase::kCopying},
      {"this process", Owner::kSelf, MovePhase::kCopying, Result::kNoLiveOwner, false,
       MovePhase::kCopying},
      {"another user's process", Owner::kOtherUser, MovePhase::kCopying, Result::kNoLiveOwner,
       false, MovePhase::kCopying},
      {"replacing files with links", Owner::kStops, MovePhase::kCleaningUp, Result::kFinishing,
       false, MovePhase::kCleaningUp},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeProcesses procs;
    FakeLauncher launcher(procs);
    int pid = procs.start("/usr/bin/brimvale");
    std::optional<MoveOwner> owner = MoveOwner{pid, "t" + std::to_string(pid)};
    switch (c.owner) {
      case Owner::kNone: owner.reset(); break;
      case Owner::kIgnores: procs.ignoresTerm.insert(pid); break;
      case Owner::kReusedPid: procs.identities[pid] = {"later", kFakeUser}; break;
      case Owner::kPid1:
        procs.running[1] = "/sbin/init";
        owner = MoveOwner{1, "t1"};
        break;
      case Owner::kSelf:
        procs.running[kSelf] = "/usr/bin/brimvale";
        owner = MoveOwner{kSelf, "t" + std::to_string(kSelf)};
        break;
      case Owner::kOtherUser:
        procs.identities[pid] = {"t" + std::to_string(pid), kFakeUser + 1};
        break;
      default: break;
    }
    const MoveManifest job = record("JOB", c.phase, owner);
    // The owner's Ctrl-C path: an owner that ends has recorded the cancel,
    // unless it was killed outright.
    const bool settles = c.owner != Owner::kDiesWithoutSettling;
    OwnerCancelSteps steps{[&] {
                             MoveManifest now = job;
                             if (owner && !procs.running.contains(owner->pid) && settles)
                               now.phase = MovePhase::kCancelled;
                             return std::vector<MoveManifest>{now};
                           },
                           [](std::chrono::milliseconds) {}, 2s, 100ms};
    const auto outcome = cancelInOwner(job, launcher, kGuards, steps);
    EXPECT_EQ(outcome.result, c.result);
    const int asked = owner ? owner->pid : pid;
    EXPECT_EQ(procs.signalsTo(asked), c.signalled ? std::vector<int>{SIGTERM} : std::vector<int>{});
    ASSERT_TRUE(outcome.job);
    EXPECT_EQ(outcome.job->phase, c.finalPhase);
  }
}

}  // namespace
}  // namespace brimvale::mover
