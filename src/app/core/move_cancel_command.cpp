#include "app/core/move_cancel_command.h"

#include <thread>

#include "app/core/short_id.h"
#include "common/base/file_calls.h"
#include "common/base/text_formats.h"
#include "mover/local_folder_mover.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using mover::MovePhase;
using CancelResult = mover::OwnerCancel::Result;

// Long enough for a copy to be stopped and its partial copy removed.
constexpr std::chrono::seconds kOwnerStopWait{30};

// The one record whose id starts with `idPrefix` (any letter case).
std::optional<mover::MoveManifest> uniqueRecord(std::vector<mover::MoveManifest> records,
                                                const std::string& idPrefix) {
  const std::string prefix = asciiUpper(idPrefix);
  std::erase_if(records, [&](const auto& r) { return !r.id.starts_with(prefix); });
  if (records.size() != 1) return std::nullopt;
  return records.front();
}

std::string settledText(const mover::MoveManifest& job, int ownerPid) {
  const std::string name = mover::quotedName(job.src);
  switch (job.phase) {
    case MovePhase::kCancelled:
      return "Cancelled the move of " + name + " (it ran in Brimvale process " +
             std::to_string(ownerPid) + "). Your original is where it was, untouched" +
             (entryPresent(job.finalDst) ? "; the partial copy stays at " + job.finalDst + ".\n"
                                         : ", and the partial copy on the drive was removed.\n");
    case MovePhase::kDone:
      return "The move of " + name +
             " reached its last step before it could be stopped, so it finished: every file is on "
             "the drive with a link in its place. Your data is safe; to bring it back, run "
             "`brimvale moves revert " +
             shortId(job.id) + "`.\n";
    default:
      return "The move of " + name +
             " ended with a failure before it could be stopped: " + mover::userFacingFailure(job) +
             "\n";
  }
}

}  // namespace

std::optional<int> reportOwnerCancel(MoverCommandContext& c, const mover::MoveManifest& before,
                                     const mover::OwnerCancel& outcome) {
  const std::string name = mover::quotedName(before.src);
  const std::string pid = std::to_string(outcome.ownerPid);
  int status = 1;
  switch (outcome.result) {
    case CancelResult::kNoLiveOwner: return std::nullopt;
    case CancelResult::kFinishing:
      c.err << mover::finishingNotStopped(before)
            << " Run `brimvale moves` to see when it is done.\n";
      return 1;
    case CancelResult::kNotDelivered:
      c.err << "Brimvale couldn't ask the process that runs the move of " << name << " (pid " << pid
            << ") to stop. Nothing was changed and your original is safe; stop the move with "
               "Ctrl-C where it runs.\n";
      return 1;
    case CancelResult::kStillRunning:
      c.err << "Brimvale asked the process that runs the move of " << name << " (pid " << pid
            << ") to stop, but it is still running after " << kOwnerStopWait.count()
            << " seconds. Your original is safe; run `brimvale moves` in a moment to see how the "
               "move ended.\n";
      break;
    case CancelResult::kSettled: {
      const mover::MoveManifest& job = *outcome.job;
      (job.phase == MovePhase::kCancelled ? c.out : c.err) << settledText(job, outcome.ownerPid);
      status = job.phase == MovePhase::kCancelled ? 0 : 1;
      break;
    }
  }
  for (const auto& other : outcome.alsoRunning) {
    c.out << "The same process was also running the move of " << mover::quotedName(other.src)
          << "; it is now " << mover::phaseWords(other.phase) << ".\n";
  }
  return status;
}

std::optional<int> cancelInOwnerCommand(MoverCommandContext& c, const std::string& idPrefix) {
  if (idPrefix.empty()) {
    c.err
        << "Name the move to cancel: `brimvale moves cancel ID` (`brimvale moves` lists the ids). "
           "Nothing was changed.\n";
    return 2;
  }
  if (!c.launcher) return std::nullopt;
  mover::ManifestStore store(c.paths.state, {}, systemClock());
  const auto job = uniqueRecord(store.all(), idPrefix);
  if (!job || mover::isTerminal(job->phase)) return std::nullopt;
  mover::OwnerCancelSteps steps{[&store] { return store.all(); },
                                [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); },
                                kOwnerStopWait};
  const auto outcome =
      mover::cancelInOwner(*job, *c.launcher, mover::quitGuardsOfThisProcess(), steps);
  return reportOwnerCancel(c, *job, outcome);
}

}  // namespace brimvale::app
