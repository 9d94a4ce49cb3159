#include "mover/move_cancel.h"

#include <signal.h>
#include <unistd.h>

namespace brimvale::mover {
namespace {

std::optional<MoveManifest> recordOf(const std::vector<MoveManifest>& records,
                                     const std::string& id) {
  for (const auto& r : records) {
    if (r.id == id) return r;
  }
  return std::nullopt;
}

}  // namespace

std::optional<MoveOwner> thisProcessOwner(platform::ProcessLauncher& launcher) {
  const int pid = getpid();
  auto identity = launcher.identity(pid);
  if (!identity) return std::nullopt;
  return MoveOwner{pid, identity->start};
}

bool ownerRuns(const MoveOwner& owner, platform::ProcessLauncher& launcher,
               const QuitGuards& guards) {
  if (owner.pid <= 1 || owner.pid == guards.ownPid) return false;
  auto identity = launcher.identity(owner.pid);
  return identity && identity->start == owner.start && identity->user == guards.user;
}

OwnerCancel cancelInOwner(const MoveManifest& job, platform::ProcessLauncher& launcher,
                          const QuitGuards& guards, const OwnerCancelSteps& steps) {
  OwnerCancel outcome;
  outcome.job = job;
  if (!job.owner || !ownerRuns(*job.owner, launcher, guards)) return outcome;
  const MoveOwner owner = *job.owner;
  outcome.ownerPid = owner.pid;
  if (job.phase == MovePhase::kCleaningUp) {
    outcome.result = OwnerCancel::Result::kFinishing;
    return outcome;
  }
  for (const auto& other : steps.records()) {
    if (other.id != job.id && !isTerminal(other.phase) && other.owner == owner)
      outcome.alsoRunning.push_back(other);
  }
  if (!launcher.signal(owner.pid, SIGTERM)) {
    outcome.result = OwnerCancel::Result::kNotDelivered;
    return outcome;
  }
  for (auto waited = std::chrono::milliseconds(0);
       waited < steps.wait && ownerRuns(owner, launcher, guards); waited += steps.poll) {
    steps.sleep(steps.poll);
  }
  const auto records = steps.records();
  for (auto& other : outcome.alsoRunning) other = recordOf(records, other.id).value_or(other);
  outcome.job = recordOf(records, job.id);
  const bool settled = outcome.job && isTerminal(outcome.job->phase);
  if (settled)
    outcome.result = OwnerCancel::Result::kSettled;
  else if (ownerRuns(owner, launcher, guards))
    outcome.result = OwnerCancel::Result::kStillRunning;
  else
    outcome.result = OwnerCancel::Result::kNoLiveOwner;
  return outcome;
}

}  // namespace brimvale::mover
