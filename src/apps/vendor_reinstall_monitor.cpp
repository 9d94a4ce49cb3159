#include "apps/vendor_reinstall_monitor.h"

#include "apps/classifier_input.h"

#include <algorithm>
#include <array>
#include <utility>

#include "apps/classifier_input.h"
#include "common/base/disk_usage.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;

struct UpdaterName {
  UpdateFramework framework;
  std::string_view name;
};

// Short enough to read as the subject of "… put X back on your boot disk."
constexpr std::array<UpdaterName, 11> kUpdaterNames{{
    {UpdateFramework::kNone, "An installer"},
    {UpdateFramework::kSparkle1, "Sparkle"},
    {UpdateFramework::kSparkle2App, "Sparkle"},
    {UpdateFramework::kSparkle2Package, "Sparkle"},
    {UpdateFramework::kAdobeCCM, "Adobe Creative Cloud"},
    {UpdateFramework::kMicrosoftMAU, "Microsoft AutoUpdate"},
    {UpdateFramework::kMas, "The App Store"},
    {UpdateFramework::kSetapp, "Setapp"},
    {UpdateFramework::kBrewCask, "Homebrew"},
    {UpdateFramework::kCustomSparkle, "The app's own updater"},
    {UpdateFramework::kUnknown, "An installer"},
}};

bool hasUnresolved(const AppMoveManifest& manifest) {
  return std::ranges::any_of(manifest.externalModifications,
                             [](const ExternalModification& m) { return !m.actionTaken; });
}

bool hasUnresolvedKind(const AppMoveManifest& manifest, std::string_view kind) {
  return std::ranges::any_of(manifest.externalModifications, [&](const ExternalModification& m) {
    return !m.actionTaken && m.kind == kind;
  });
}

bool keptOnInternal(const AppMoveManifest& manifest) {
  return std::ranges::any_of(manifest.externalModifications, [](const ExternalModification& m) {
    return m.actionTaken == kActionKeptOnInternal;
  });
}

void settleOpen(AppMoveManifest& manifest, std::string_view action) {
  for (auto& m : manifest.externalModifications) {
    if (!m.actionTaken) m.actionTaken = std::string(action);
  }
}

void addDistinct(std::vector<std::string>& names, const std::string& name) {
  if (!name.empty() && std::ranges::find(names, name) == names.end()) names.push_back(name);
}

std::vector<std::string> permissionsAtMove(const AppMoveManifest& manifest) {
  std::vector<std::string> names;
  if (!manifest.tccEntitlements.is_array()) return names;
  for (const auto& item : manifest.tccEntitlements) {
    if (item.is_object() && item.contains("displayName") && item["displayName"].is_string()) {
      addDistinct(names, item["displayName"].get<std::string>());
    }
  }
  return names;
}

std::vector<std::string> permissionsNow(const AppClassificationResult& result) {
  std::vector<std::string> names;
  for (const auto& e : result.tccEntitlements) addDistinct(names, e.displayName);
  return names;
}

AppEntry reinstalledEntry(const AppMoveManifest& manifest) {
  AppEntry app;
  app.id = comparablePath(manifest.originalPath);
  app.displayName = manifest.displayName;
  app.bundlePath = manifest.originalPath;
  app.bundleIdentifier = manifest.bundleID;
  app.sizeBytes = static_cast<std::int64_t>(diskUsageBytes(manifest.originalPath).value_or(0));
  return app;
}

bool isInside(const fs::path& path, const fs::path& folder) {
  const std::string p = comparablePath(path);
  const std::string f = comparablePath(folder);
  return p.size() > f.size() + 1 && p.starts_with(f) && p[f.size()] == '/';
}

}  // namespace

std::string updaterShortName(std::optional<UpdateFramework> framework) {
  for (const auto& row : kUpdaterNames) {
    if (framework && row.framework == *framework) return std::string(row.name);
  }
  return "An installer";
}

std::string entitlementReviewBody(const std::vector<std::string>& newPermissions) {
  std::string named;
  for (std::size_t i = 0; i < newPermissions.size() && i < 3; ++i) {
    if (i > 0) named += ", ";
    named += newPermissions[i];
  }
  if (newPermissions.size() >= 4) {
    named += " and " + std::to_string(newPermissions.size() - 3) + " more";
  }
  return "The new install requests permissions it didn't ask for before (" + named +
         "). Open Brimvale to review and approve.";
}

std::time_t reRelocateBackoffSeconds(int failuresBefore) {
  switch (failuresBefore) {
    case 0: return 600;
    case 1: return 3600;
    case 2: return 21600;
    default: return 86400;
  }
}

InstallClassifier systemInstallClassifier(ClassifierEnvironment environment) {
  return [environment = std::move(environment)](const AppEntry& app) {
    return classify(classifierInputFor(app, InspectionSources{}), environment);
  };
}

VendorReinstallMonitor::VendorReinstallMonitor(VendorReinstallMonitorSetup setup)
    : setup_(std::move(setup)) {}

void VendorReinstallMonitor::say(const std::string& line) const {
  if (setup_.log) setup_.log(line);
}

bool VendorReinstallMonitor::isWatched(const std::string& originalPath) const {
  return std::ranges::any_of(setup_.applicationsRoots,
                             [&](const fs::path& root) { return isInside(originalPath, root); });
}

std::optional<AppMoveManifest> VendorReinstallMonitor::load(const std::string& manifestID) const {
  return moveWithId(setup_.store->loadAll(), manifestID);
}

void VendorReinstallMonitor::append(AppMoveManifest& manifest, std::string_view kind) {
  manifest.externalModifications.push_back(
      ExternalModification{setup_.clock(), std::string(kind), std::nullopt});
  setup_.store->save(manifest);
}

void VendorReinstallMonitor::sweep(RetryTiming timing) {
  if (running_) return;
  running_ = true;
  const std::time_t now = setup_.clock();
  lastSweep_ = now;
  for (auto manifest : setup_.store->loadAll()) {
    if (!isLiveRelocation(manifest) || !isWatched(manifest.originalPath)) continue;
    if (inFlight_.contains(manifest.id)) continue;
    std::error_code ec;
    const auto status = fs::symlink_status(manifest.originalPath, ec);
    if (ec || !fs::exists(status)) {
      // Once is enough: a link that stays gone is not news at every sweep.
      if (!hasUnresolvedKind(manifest, kSymlinkMissing)) append(manifest, kSymlinkMissing);
      continue;
    }
    if (fs::is_symlink(status) || !fs::is_directory(status)) continue;
    if (keptOnInternal(manifest)) continue;
    if (!hasUnresolved(manifest)) {
      append(manifest, kSymlinkReplacedByFolder);
      pendingReRelocates_[manifest.id] =
          PendingReRelocate{manifest.id, manifest.displayName, manifest.originalPath, now};
      const auto framework = manifest.updateFramework
                                 ? updateFrameworkFromRaw(*manifest.updateFramework)
                                 : std::nullopt;
      if (setup_.notify) {
        setup_.notify(MonitorNotification{
            std::string(kVendorReinstallDetected),
            {{"title", manifest.displayName + " was reinstalled"},
             {"body", updaterShortName(framework) + " put " + manifest.displayName +
                          " back on your boot disk. Brimvale will move it to NVMe again."},
             {"manifestID", manifest.id},
             {"threadID", "apps.relocator.reinstall." + manifest.id}}});
      }
    }
    // Blocked and review-held apps wait for the user, not for the clock.
    if (hasUnresolvedKind(manifest, kReRelocateBlockedTier4)) continue;
    if (hasUnresolvedKind(manifest, kNeedsEntitlementReview)) {
      // A review asked for before a restart is offered again, without a new notice.
      offerReview(manifest, now);
      continue;
    }
    if (timing == RetryTiming::kAfterBackOff && manifest.nextReRelocateAttemptAt &&
        *manifest.nextReRelocateAttemptAt > now) {
      continue;
    }
    reRelocate(manifest, PermissionCheck::kAsk);
  }
  running_ = false;
}

void VendorReinstallMonitor::offerReview(const AppMoveManifest& manifest, std::time_t now) {
  if (pendingReviews_.contains(manifest.id)) return;
  const auto classification = setup_.classifyInstall(reinstalledEntry(manifest));
  pendingReviews_[manifest.id] = PendingEntitlementReview{manifest.id,
                                                          manifest.displayName,
                                                          manifest.originalPath,
                                                          permissionsAtMove(manifest),
                                                          permissionsNow(classification),
                                                          now};
}

void VendorReinstallMonitor::loadPendingReviews() {
  const std::time_t now = setup_.clock();
  for (const auto& manifest : setup_.store->loadAll()) {
    if (!isLiveRelocation(manifest) || !isWatched(manifest.originalPath)) continue;
    if (!hasUnresolvedKind(manifest, kNeedsEntitlementReview)) continue;
    // Only the install that asked: a link or nothing there now is a new story.
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(manifest.originalPath, ec))) continue;
    offerReview(manifest, now);
  }
}

void VendorReinstallMonitor::reRelocate(AppMoveManifest& manifest, PermissionCheck check) {
  const auto appsFolder = setup_.appsFolder ? setup_.appsFolder() : std::nullopt;
  if (!appsFolder) {
    recordFailure(manifest, "NVMe path unknown. Refresh the status and try again.");
    return;
  }
  const AppEntry app = reinstalledEntry(manifest);
  const AppClassificationResult classification = setup_.classifyInstall(app);
  if (classification.tier == RiskTier::kBlocked) {
    say("VendorReinstallMonitor: " + manifest.displayName +
        " is blocked now and stays on the internal disk: " + classification.reason);
    append(manifest, kReRelocateBlockedTier4);
    pendingReRelocates_.erase(manifest.id);
    return;
  }
  if (check == PermissionCheck::kApproved) {
    // What the user approved becomes what the app is known to declare, so a
    // retry after a failure does not ask again.
    manifest.tccEntitlements = nlohmann::json::array();
    for (const auto& e : classification.tccEntitlements) {
      manifest.tccEntitlements.push_back({{"key", e.key},
                                          {"displayName", e.displayName},
                                          {"source", std::string(tccSourceRaw(e.source))}});
    }
    setup_.store->save(manifest);
  } else {
    const auto before = permissionsAtMove(manifest);
    const auto now = permissionsNow(classification);
    std::vector<std::string> added;
    for (const auto& name : now) {
      if (std::ranges::find(before, name) == before.end()) added.push_back(name);
    }
    if (!added.empty()) {
      append(manifest, kNeedsEntitlementReview);
      pendingReviews_[manifest.id] = PendingEntitlementReview{
          manifest.id, manifest.displayName, manifest.originalPath, before, now, setup_.clock()};
      if (setup_.notify) {
        setup_.notify(
            MonitorNotification{std::string(kVendorReinstallNeedsEntitlementReview),
                                {{"title", manifest.displayName + " needs permission review"},
                                 {"body", entitlementReviewBody(added)},
                                 {"manifestID", manifest.id},
                                 {"newPermissions", added},
                                 {"threadID", "apps.relocator.entitlement." + manifest.id}}});
      }
      return;
    }
  }
  inFlight_[manifest.id] = InFlightRereloc{manifest.displayName, setup_.clock()};
  auto queued = setup_.reRelocate(app, appsFolder->string(), classification, true);
  if (!queued) {
    inFlight_.erase(manifest.id);
    recordFailure(manifest, queued.error().message());
  }
}

void VendorReinstallMonitor::recordFailure(AppMoveManifest& manifest, const std::string& reason) {
  const std::time_t now = setup_.clock();
  const std::time_t delay = reRelocateBackoffSeconds(manifest.consecutiveReRelocateFailures);
  manifest.consecutiveReRelocateFailures += 1;
  manifest.nextReRelocateAttemptAt = now + delay;
  say("VendorReinstallMonitor: re-relocate of " + manifest.displayName + " failed: " + reason +
      " — next attempt after " + isots(now + delay));
  append(manifest, kReRelocateFailed);
}

void VendorReinstallMonitor::jobEnded(const std::string& manifestID, bool success,
                                      const std::string& reason) {
  if (inFlight_.erase(manifestID) == 0) return;
  // The engine may have pruned the old record on commit; never write it back.
  auto manifest = load(manifestID);
  if (success) {
    pendingReRelocates_.erase(manifestID);
    if (!manifest) return;
    settleOpen(*manifest, kActionReRelocated);
    manifest->consecutiveReRelocateFailures = 0;
    manifest->nextReRelocateAttemptAt.reset();
    setup_.store->save(*manifest);
    return;
  }
  if (manifest) recordFailure(*manifest, reason);
}

Result<void> VendorReinstallMonitor::approveReview(const std::string& manifestID) {
  if (!pendingReviews_.contains(manifestID)) {
    return fail(Errc::kNotFound, "no permission review is waiting for " + manifestID);
  }
  auto manifest = load(manifestID);
  pendingReviews_.erase(manifestID);
  if (!manifest) return fail(Errc::kNotFound, "the record of " + manifestID + " is gone");
  for (auto& m : manifest->externalModifications) {
    if (!m.actionTaken && m.kind == kNeedsEntitlementReview) {
      m.actionTaken = std::string(kActionApproved);
    }
  }
  setup_.store->save(*manifest);
  reRelocate(*manifest, PermissionCheck::kApproved);
  return {};
}

Result<void> VendorReinstallMonitor::keepOnInternal(const std::string& manifestID) {
  if (!pendingReviews_.contains(manifestID)) {
    return fail(Errc::kNotFound, "no permission review is waiting for " + manifestID);
  }
  pendingReviews_.erase(manifestID);
  pendingReRelocates_.erase(manifestID);
  auto manifest = load(manifestID);
  if (!manifest) return fail(Errc::kNotFound, "the record of " + manifestID + " is gone");
  settleOpen(*manifest, kActionKeptOnInternal);
  setup_.store->save(*manifest);
  return {};
}

}  // namespace brimvale::apps
