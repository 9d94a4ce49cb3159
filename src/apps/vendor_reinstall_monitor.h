// Notices when an updater puts a relocated app back on the internal disk,
// tells the user, and moves the fresh install to the drive again, unless it is
// now blocked or asks for new privacy permissions. Everything it sees and does
// is appended to the app's move record.
#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/app_catalogue_entry.h"
#include "apps/app_classifier.h"
#include "apps/app_move_store.h"
#include "common/base/error.h"
#include "common/base/timestamps.h"

namespace brimvale::apps {

// The kinds of ExternalModification this monitor writes.
inline constexpr std::string_view kSymlinkMissing = "symlink_missing";
inline constexpr std::string_view kSymlinkReplacedByFolder = "symlink_replaced_by_folder";
inline constexpr std::string_view kNeedsEntitlementReview = "rerelocate_needs_entitlement_review";
inline constexpr std::string_view kReRelocateFailed = "rerelocate_failed";
inline constexpr std::string_view kReRelocateBlockedTier4 = "rerelocate_blocked_tier4";

// The actionTaken texts that settle this monitor's records.
inline constexpr std::string_view kActionReRelocated = "rerelocated";
inline constexpr std::string_view kActionApproved = "approved_by_user";
inline constexpr std::string_view kActionKeptOnInternal = "kept_on_internal_by_user";

inline constexpr std::string_view kVendorReinstallDetected = "Brimvale.VendorReinstallDetected";
inline constexpr std::string_view kVendorReinstallNeedsEntitlementReview =
    "Brimvale.VendorReinstallNeedsEntitlementReview";

struct PendingReRelocate {
  std::string manifestID;
  std::string displayName;
  std::string originalPath;
  std::time_t detectedAt = 0;
  bool operator==(const PendingReRelocate&) const = default;
};

struct PendingEntitlementReview {
  std::string manifestID;
  std::string displayName;
  std::string originalPath;
  std::vector<std::string> permissionsBefore;
  std::vector<std::string> permissionsNow;
  std::time_t detectedAt = 0;
  bool operator==(const PendingEntitlementReview&) const = default;
};

// A re-relocation handed to the move engine and not yet reported ended.
struct InFlightRereloc {
  std::string displayName;
  std::time_t startedAt = 0;
};

// What the monitor posts: the notification's name and its user info
// (title, body, manifestID, threadID; a review adds newPermissions).
struct MonitorNotification {
  std::string name;
  nlohmann::json userInfo;
};

// The updater named in the reinstall notice ("Homebrew put X back…"); "An
// installer" for none, unknown or an unreadable record value.
[[nodiscard]] std::string updaterShortName(std::optional<UpdateFramework> framework);

// The review notice's body: up to three new permission names, then
// " and N more" when there are four or more.
[[nodiscard]] std::string entitlementReviewBody(const std::vector<std::string>& newPermissions);

// Seconds to wait after a failed automatic attempt, by the failures counted before it.
[[nodiscard]] std::time_t reRelocateBackoffSeconds(int failuresBefore);

// Hands one reinstalled app to the move engine (override accepted); an error
// means the job was not queued. The job's end comes back through jobEnded().
using ReRelocateRequest = std::function<Result<void>(
    const AppEntry& app, const std::string& destinationRoot,
    const AppClassificationResult& classification, bool overrideAccepted)>;
// Classifies the app standing at the original path now.
using InstallClassifier = std::function<AppClassificationResult(const AppEntry& app)>;

// Classification of a fresh install with the real scans of this computer.
[[nodiscard]] InstallClassifier systemInstallClassifier(ClassifierEnvironment environment);

// Whether a sweep waits out the back-off after failed re-relocations (the
// timer's sweeps) or tries again now (a sweep the user asked for).
enum class RetryTiming { kAfterBackOff, kNow };

struct VendorReinstallMonitorSetup {
  const AppManifestStore* store = nullptr;
  ReRelocateRequest reRelocate;
  InstallClassifier classifyInstall;
  // `<working folder>/Apps`; nothing while the drive's working folder is unknown.
  std::function<std::optional<std::filesystem::path>()> appsFolder;
  // Only relocations whose original path lies under one of these are watched.
  std::vector<std::filesystem::path> applicationsRoots{"/Applications"};
  std::function<void(const MonitorNotification&)> notify;
  std::function<void(const std::string&)> log;
  WallClock clock;
};

// Owned by the application's run loop thread; not safe to share between threads.
// The owner calls sweep() from its timer and from workspace events, and
// jobEnded() when the engine reports the end of a job it was handed.
class VendorReinstallMonitor {
 public:
  explicit VendorReinstallMonitor(VendorReinstallMonitorSetup setup);

  // Looks at every committed relocation under the applications roots. A call
  // made while a sweep runs (from a callback) does nothing.
  void sweep(RetryTiming timing = RetryTiming::kAfterBackOff);

  // The engine finished the job for `manifestID`. Ignored unless this monitor
  // started it. Failure counts towards the back-off; success settles the
  // record's open entries.
  void jobEnded(const std::string& manifestID, bool success, const std::string& reason);

  // Offers again the reviews the records hold open (asked by another process
  // or before a restart), for a real folder still at the original path;
  // changes nothing else and posts nothing.
  void loadPendingReviews();

  // The user allows the new permissions: the app is moved again (override
  // accepted), whatever the back-off says. Fails when no review is pending.
  Result<void> approveReview(const std::string& manifestID);
  // The user keeps the new install on the internal disk: the review is settled
  // and the monitor stops asking about this relocation.
  Result<void> keepOnInternal(const std::string& manifestID);

  [[nodiscard]] const std::map<std::string, PendingEntitlementReview>& pendingReviews() const {
    return pendingReviews_;
  }
  [[nodiscard]] const std::map<std::string, InFlightRereloc>& inFlight() const { return inFlight_; }

 private:
  enum class PermissionCheck { kAsk, kApproved };

  void reRelocate(AppMoveManifest& manifest, PermissionCheck check);
  void offerReview(const AppMoveManifest& manifest, std::time_t now);
  void recordFailure(AppMoveManifest& manifest, const std::string& reason);
  void append(AppMoveManifest& manifest, std::string_view kind);
  [[nodiscard]] bool isWatched(const std::string& originalPath) const;
  [[nodiscard]] std::optional<AppMoveManifest> load(const std::string& manifestID) const;
  void say(const std::string& line) const;

  VendorReinstallMonitorSetup setup_;
  std::map<std::string, PendingReRelocate> pendingReRelocates_;
  std::map<std::string, PendingEntitlementReview> pendingReviews_;
  std::optional<std::time_t> lastSweep_;
  bool running_ = false;
  std::map<std::string, InFlightRereloc> inFlight_;
};

}  // namespace brimvale::apps
