#include "apps/reinstall_sweep.h"

#include <algorithm>

namespace brimvale::apps {

ReinstallSweep::ReinstallSweep(ReinstallSweepSetup setup)
    : setup_(std::move(setup)),
      engine_(setup_.env),
      monitor_({.store = setup_.env.store,
                .reRelocate = [this](const apps::AppEntry& app, const std::string& destinationRoot,
                                     const apps::AppClassificationResult& classification,
                                     bool overrideAccepted) -> Result<void> {
                  const auto job =
                      engine_.enqueue(app, destinationRoot, classification, overrideAccepted);
                  if (!job) {
                    return fail(Errc::kUnavailable,
                                "the move of " + app.displayName + " could not be queued");
                  }
                  const auto relocation = relocationAt_.find(apps::comparablePath(app.bundlePath));
                  if (relocation == relocationAt_.end()) return {};
                  if (auto replaced =
                          apps::moveWithId(setup_.env.store->loadAll(), relocation->second)) {
                    replaces_[*job] = std::move(*replaced);
                  }
                  return {};
                },
                .classifyInstall = setup_.classifyInstall,
                .appsFolder = setup_.appsFolder,
                .applicationsRoots = setup_.env.applicationRoots,
                .notify = setup_.notify,
                .log = setup_.env.log,
                .clock = setup_.env.clock}) {
  engine_.addCompletionListener([this](const apps::EngineCompletion& done) {
    if (done.kind != apps::EngineCompletion::Kind::kMove) return;
    if (const auto it = replaces_.find(done.manifestID); it != replaces_.end()) {
      const apps::AppMoveManifest replaced = it->second;
      replaces_.erase(it);
      monitor_.jobEnded(replaced.id, done.success, done.reason.value_or(""));
      if (done.success) carryHistory(replaced, done.manifestID);
    }
    if (setup_.moved) setup_.moved(done);
  });
}

void ReinstallSweep::carryHistory(const apps::AppMoveManifest& replaced, const std::string& newID) {
  const auto all = setup_.env.store->loadAll();
  if (apps::moveWithId(all, replaced.id)) return;  // still there, and settled by the monitor
  auto fresh = apps::moveWithId(all, newID);
  if (!fresh) return;
  for (auto event : replaced.externalModifications) {
    if (!event.actionTaken) event.actionTaken = std::string(apps::kActionReRelocated);
    fresh->externalModifications.push_back(std::move(event));
  }
  std::ranges::stable_sort(fresh->externalModifications, {},
                           &apps::ExternalModification::detectedAt);
  setup_.env.store->save(*fresh);
}

void ReinstallSweep::readRelocations() {
  relocationAt_.clear();
  for (const auto& m : apps::finishedRelocations(setup_.env.store->loadAll())) {
    relocationAt_.emplace(apps::comparablePath(m.originalPath), m.id);
  }
}

void ReinstallSweep::run(apps::RetryTiming timing) {
  readRelocations();
  monitor_.sweep(timing);
  engine_.drain();
}

const std::map<std::string, apps::PendingEntitlementReview>& ReinstallSweep::pendingReviews() {
  monitor_.loadPendingReviews();
  return monitor_.pendingReviews();
}

Result<void> ReinstallSweep::answerReview(const std::string& manifestID, bool approve) {
  monitor_.loadPendingReviews();
  if (!approve) return monitor_.keepOnInternal(manifestID);
  readRelocations();
  auto approved = monitor_.approveReview(manifestID);
  engine_.drain();
  return approved;
}

}  // namespace brimvale::apps
