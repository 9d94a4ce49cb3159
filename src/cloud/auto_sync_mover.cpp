#include "cloud/auto_sync_mover.h"

namespace brimvale::cloud {

QueueCopy queueThroughMover(mover::LocalFolderMover& mover) {
  return [&mover](const std::string& file, const std::string& destinationParent) {
    // A move of this file still under way (one an earlier scan began, read
    // back from its record) is joined, not started twice: the second would
    // copy the first one's link over the copy it points to.
    for (const mover::MoveManifest& job : mover.jobs()) {
      if (job.src == file && !mover::isTerminal(job.phase)) return QueueOutcome{};
    }
    const auto id =
        mover.enqueue(file, destinationParent, mover::MoveConflictPolicy::kMerge,
                      /*replaceSourceWithSymlink=*/true, mover::MoveTriggerSource::kAutoSync);
    if (!id) return QueueOutcome{QueueOutcome::Kind::kDropped, ""};
    const mover::MoveManifest* job = mover.job(*id);
    if (job && job->phase == mover::MovePhase::kFailed) {
      return QueueOutcome{QueueOutcome::Kind::kFailed, job->lastError.value_or("")};
    }
    return QueueOutcome{};
  };
}

void AutoSyncMoveWatcher::moveChanged(const mover::MoveManifest& move) {
  if (move.triggerSource != mover::MoveTriggerSource::kAutoSync) return;
  const bool done = move.phase == mover::MovePhase::kDone;
  const bool cancelled = move.phase == mover::MovePhase::kCancelled;
  if (!done && !cancelled && move.phase != mover::MovePhase::kFailed) return;
  if (!reported_.insert(move.id).second) return;
  if (cancelled) {
    manager_.copyCancelled(move.src);
  } else {
    manager_.copyFinished(move.src, move.srcSizeKB * 1024, done);
  }
}

}  // namespace brimvale::cloud
