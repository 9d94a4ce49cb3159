#include "cloud/auto_sync_manager.h"

#include <system_error>

#include "common/state/path_policy.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;
using transfers::JobOutcome;

namespace {

std::string counted(std::int64_t n, std::string_view singular, std::string_view plural) {
  return std::to_string(n) + std::string(n == 1 ? singular : plural);
}

}  // namespace

std::string runSummary(std::int64_t queued, std::int64_t failed, std::int64_t inUse,
                       std::int64_t dropped, std::string_view heldBy) {
  std::string text;
  if (queued > 0) {
    text = "Queued " + counted(queued, " new file", " new files") + " to copy to your fast drive";
  } else if (failed > 0 || dropped > 0) {
    text = "Nothing was queued to copy to your fast drive";
  } else {
    text = "Nothing new to copy";
  }
  if (failed > 0) {
    text += ", failing to copy " + counted(failed, " file", " files") +
            ". Your originals are untouched and will be tried again on a later run";
  }
  text += ".";
  if (inUse > 0) text += " " + inUseSentence(inUse);
  if (dropped > 0) {
    text += " Held back " + counted(dropped, " new file", " new files") + " " +
            std::string(heldBy) + "; will try again.";
  }
  return text;
}

AutoSyncManager::AutoSyncManager(AutoSyncSettings settings)
    : settings_(std::move(settings)),
      store_(settings_.stateDir, settings_.log),
      failures_(settings_.stateDir) {}

DiagnosticsLog AutoSyncManager::diagnostics() const {
  return DiagnosticsLog(settings_.diagnosticsLog, settings_.clock);
}

void AutoSyncManager::log(const std::string& line) const {
  if (settings_.log) settings_.log(line);
}

std::expected<AutoSyncPolicy, std::string> AutoSyncManager::registerPolicy(
    const std::string& internalPath, const std::string& nvmeDestParent,
    std::vector<std::string> excludePatterns) {
  if (const auto refusal = registrationRefusal(internalPath, nvmeDestParent, settings_.roots)) {
    log(refusal->logLine);
    return std::unexpected(refusal->sentence);
  }
  AutoSyncPolicy policy;
  policy.id = newUuid();
  policy.internalPath = normalisedAbsolute(internalPath)->string();
  policy.nvmeDestParent = normalisedAbsolute(nvmeDestParent)->string();
  policy.createdAt = settings_.clock();
  policy.excludePatterns = std::move(excludePatterns);
  if (auto saved = store_.save(policy); !saved) {
    return std::unexpected("Brimvale couldn't save the watch on " + policy.internalPath + " (" +
                           saved.error().message() +
                           "). Nothing was changed; try again once the problem is fixed.");
  }
  return policy;
}

std::expected<AutoSyncPolicy, std::string> AutoSyncManager::edit(
    const std::string& id, const std::string& nvmeDestParent,
    std::vector<std::string> excludePatterns) {
  for (auto policy : store_.all()) {
    if (policy.id != id) continue;
    if (const auto refusal =
            registrationRefusal(policy.internalPath, nvmeDestParent, settings_.roots)) {
      log(refusal->logLine);
      return std::unexpected(refusal->sentence);
    }
    policy.nvmeDestParent = normalisedAbsolute(nvmeDestParent)->string();
    policy.excludePatterns = std::move(excludePatterns);
    if (auto saved = store_.save(policy); !saved) {
      return std::unexpected("Brimvale couldn't save the changed watch on " + policy.internalPath +
                             " (" + saved.error().message() +
                             "). Nothing was changed; try again once the problem is fixed.");
    }
    return policy;
  }
  return std::unexpected(
      std::string("That watched folder was removed meanwhile. Nothing was changed."));
}

Result<void> AutoSyncManager::remove(const std::string& id) { return store_.remove(id); }

Result<void> AutoSyncManager::setEnabled(const std::string& id, bool enabled) {
  for (auto policy : store_.all()) {
    if (policy.id != id) continue;
    policy.enabled = enabled;
    return store_.save(policy);
  }
  return fail(Errc::kNotFound, "auto-sync policy " + id);
}

std::optional<AutoSyncRun> AutoSyncManager::runNow(const std::string& id) {
  for (const auto& policy : store_.all()) {
    if (policy.id == id) return run(policy);
  }
  return std::nullopt;
}

ScanHooks AutoSyncManager::hooksFor(std::time_t now) const {
  ScanHooks hooks;
  hooks.isOpen = settings_.isOpen;
  hooks.isBackedOff = [records = failures_.read(), now](const std::string& path) {
    const auto it = records.find(path);
    return it != records.end() && AutoSyncFailures::isBackedOff(it->second, now);
  };
  return hooks;
}

bool AutoSyncManager::driveMounted() const {
  return settings_.driveMounted && settings_.driveMounted();
}

AutoSyncRun AutoSyncManager::driveMissing(const std::string& policyId) {
  AutoSyncRun result;
  result.policyId = policyId;
  result.outcome = JobOutcome::kSkipped;
  result.summary = std::string(kDriveMissingSummary);
  record(result);
  return result;
}

std::optional<AutoSyncRun> AutoSyncManager::run(const AutoSyncPolicy& policy) {
  if (!driveMounted()) return driveMissing(policy.id);
  const std::time_t now = settings_.clock();
  return apply(policy.id, scanPolicy(policy, now, hooksFor(now)), now);
}

void AutoSyncManager::tick(platform::Scheduler& scheduler,
                           std::function<void(std::vector<AutoSyncRun>)> done) {
  std::vector<AutoSyncPolicy> enabled;
  for (auto& policy : store_.all()) {
    if (policy.enabled) enabled.push_back(std::move(policy));
  }
  if (enabled.empty() || !driveMounted()) {
    std::vector<AutoSyncRun> runs;
    for (const auto& policy : enabled) runs.push_back(driveMissing(policy.id));
    if (done) done(std::move(runs));
    return;
  }
  const std::time_t now = settings_.clock();
  scheduler.runInBackground([this, enabled = std::move(enabled), hooks = hooksFor(now), now,
                             done = std::move(done)]() mutable -> std::function<void()> {
    std::vector<AutoSyncScan> scans;
    for (const auto& policy : enabled) scans.push_back(scanPolicy(policy, now, hooks));
    return [this, enabled = std::move(enabled), scans = std::move(scans), now,
            done = std::move(done)] {
      std::vector<AutoSyncRun> runs;
      for (std::size_t i = 0; i < enabled.size(); ++i) {
        if (auto result = apply(enabled[i].id, scans[i], now)) runs.push_back(std::move(*result));
      }
      if (done) done(std::move(runs));
    };
  });
}

std::optional<AutoSyncRun> AutoSyncManager::apply(const std::string& policyId,
                                                  const AutoSyncScan& scan, std::time_t now) {
  // Re-read: the policy may have been removed, or its totals moved on, while it was scanned.
  std::optional<AutoSyncPolicy> stored;
  for (auto& policy : store_.all()) {
    if (policy.id == policyId) stored = std::move(policy);
  }
  if (!stored) return std::nullopt;
  AutoSyncPolicy& policy = *stored;
  AutoSyncRun result;
  result.policyId = policy.id;
  policy.lastScanAt = now;
  (void)store_.save(policy);  // a failed write is logged by the store
  if (!scan.folderReadable) {
    result.outcome = JobOutcome::kFailed;
    result.summary = "Brimvale couldn't open " + policy.internalPath +
                     ", so nothing was copied. Your files are untouched; check that the folder "
                     "still exists and can be read.";
    record(result);
    return result;
  }
  result.inUse = scan.inUse;

  std::string heldBy(kHeldByDriveTransfer);
  for (const NewFile& file : scan.newFiles) {
    if (pending_.contains(file.path)) continue;
    const fs::path parent = (fs::path(policy.nvmeDestParent) / file.relativePath).parent_path();
    std::error_code ec;
    fs::create_directories(parent, ec);
    QueueOutcome outcome;
    if (ec) {
      log("createDirectory failed for " + parent.string() + ": " + ec.message());
      outcome = {QueueOutcome::Kind::kFailed, "createDirectory failed for " + parent.string()};
    } else if (!settings_.queueCopy) {
      outcome = {QueueOutcome::Kind::kFailed, "no folder mover"};
    } else {
      outcome = settings_.queueCopy(file.path, parent.string());
    }
    switch (outcome.kind) {
      case QueueOutcome::Kind::kQueued:
        pending_.insert(file.path);
        ++result.queued;
        result.queuedBytes += file.bytes;
        break;
      case QueueOutcome::Kind::kDropped:
        if (!outcome.error.empty()) heldBy = outcome.error;
        ++result.dropped;
        break;
      case QueueOutcome::Kind::kFailed:
        ++result.failed;
        if (!outcome.error.empty()) log("AutoSyncManager: " + file.path + ": " + outcome.error);
        bestEffort(failures_.recordFailure(file.path, now), diagnostics(),
                   "recording the file's failed copy");
        break;
    }
  }
  result.summary = runSummary(result.queued, result.failed, result.inUse, result.dropped, heldBy);
  if (scan.unsettled > 0) result.summary += " " + unsettledSentence(scan.unsettled);
  if (result.failed > 0) {
    result.outcome = result.queued > 0 ? JobOutcome::kPartial : JobOutcome::kFailed;
  }
  record(result);
  return result;
}

void AutoSyncManager::record(const AutoSyncRun& run) {
  if (!settings_.ledger) return;
  bestEffort(settings_.ledger->recordRun(transfers::JobKind::kAutoSync, run.outcome, run.summary,
                                         run.queued, run.queuedBytes),
             diagnostics(), "recording the auto-sync run");
}

void AutoSyncManager::copyFinished(const std::string& file, std::int64_t bytes, bool succeeded) {
  pending_.erase(file);
  const std::time_t now = settings_.clock();
  if (!succeeded) {
    bestEffort(failures_.recordFailure(file, now), diagnostics(),
               "recording the file's failed copy");
    return;
  }
  bestEffort(failures_.clear(file), diagnostics(), "clearing the file's failed copies");
  const auto path = normalisedAbsolute(file);
  if (!path) return;
  for (auto policy : store_.all()) {
    const auto watched = normalisedAbsolute(policy.internalPath);
    if (!watched || !isStrictlyInside(*path, *watched)) continue;
    ++policy.totalFilesMoved;
    policy.totalBytesMoved += bytes;
    policy.lastMoveAt = now;
    (void)store_.save(policy);  // a failed write is logged by the store
    return;
  }
}

void AutoSyncManager::copyCancelled(const std::string& file) { pending_.erase(file); }

}  // namespace brimvale::cloud
