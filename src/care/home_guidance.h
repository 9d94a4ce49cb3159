// The home screen's plain-words guidance: one headline with a detail
// sentence, the one-tap clean-up plan and its sentence, and the trend of free
// space. Pure functions of a small facts record.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/platform_words.h"
#include "common/base/raw_names.h"

namespace brimvale::care {

struct HomeFacts {
  std::int64_t internalFreeGb = 0;  // whole decimal GB
  bool driveConnected = false;
  std::int64_t movableAppCount = 0;
  std::int64_t movableAppsGb = 0;
  std::int64_t snapshotGb = 0;  // held by old local snapshots
  std::int64_t cloudAccountCount = 0;
  bool paused = false;
  std::int64_t warnThresholdGb = 0;
  std::int64_t criticalThresholdGb = 0;
};

// What the home screen offers; the raw strings are persisted and never change.
enum class SimpleActionID {
  kFreeUpSpace,
  kReviewApps,
  kManageDrive,
  kBackUp,
  kReclaimSnapshots,
  kOptimizeCloud,
  kBrowseTier,
  kWhatsUsingSpace,
  kCloudTransfers,
  kUsageHistory,
  kViewActivity,
  kEditRules,
  kAllGood,
};
inline constexpr std::array<RawName<SimpleActionID>, 13> kSimpleActionIDNames{{
    {SimpleActionID::kFreeUpSpace, "freeUpSpace"},
    {SimpleActionID::kReviewApps, "reviewApps"},
    {SimpleActionID::kManageDrive, "manageDrive"},
    {SimpleActionID::kBackUp, "backUp"},
    {SimpleActionID::kReclaimSnapshots, "reclaimSnapshots"},
    {SimpleActionID::kOptimizeCloud, "optimizeCloud"},
    {SimpleActionID::kBrowseTier, "browseTier"},
    {SimpleActionID::kWhatsUsingSpace, "whatsUsingSpace"},
    {SimpleActionID::kCloudTransfers, "cloudTransfers"},
    {SimpleActionID::kUsageHistory, "usageHistory"},
    {SimpleActionID::kViewActivity, "viewActivity"},
    {SimpleActionID::kEditRules, "editRules"},
    {SimpleActionID::kAllGood, "allGood"},
}};

// "freeUpSpace", "reviewApps", ...
[[nodiscard]] std::string_view rawString(SimpleActionID action);
// The few words a button or a list shows for the action.
[[nodiscard]] std::string_view actionLabel(SimpleActionID action);
// The `brimvale` command line that performs the action. Nothing for
// kAllGood, which asks nothing of the person, and for the actions whose
// engine has no command yet (large apps, cloud transfers, usage charts).
[[nodiscard]] std::optional<std::string_view> actionCommand(SimpleActionID action);

struct Recommendation {
  std::string headline;
  std::string detail;
  SimpleActionID action = SimpleActionID::kAllGood;
  std::int64_t estimateGb = 0;
  bool noEstimate = true;  // true when no estimate is to be shown
};

// The service's reclaim categories; the raw strings are its command arguments.
enum class ReclaimCategory { kDevcaches, kSyslog, kTrash };
inline constexpr std::array<RawName<ReclaimCategory>, 3> kReclaimCategoryNames{{
    {ReclaimCategory::kDevcaches, "devcaches"},
    {ReclaimCategory::kSyslog, "syslog"},
    {ReclaimCategory::kTrash, "trash"},
}};

// "devcaches", "syslog", "trash".
[[nodiscard]] std::string_view rawString(ReclaimCategory category);
[[nodiscard]] std::optional<ReclaimCategory> reclaimCategoryFromRaw(std::string_view raw);

// One step of a clean-up plan. `category` matters only for kReclaim.
struct CareStep {
  enum class Kind { kCachesAndRarelyUsedFiles, kReclaim, kOldLocalBackups, kCloudOnlineOnly };
  Kind kind = Kind::kCachesAndRarelyUsedFiles;
  ReclaimCategory category = ReclaimCategory::kDevcaches;

  [[nodiscard]] static CareStep reclaim(ReclaimCategory c) { return {Kind::kReclaim, c}; }
  friend bool operator==(const CareStep& a, const CareStep& b) {
    return a.kind == b.kind && (a.kind != Kind::kReclaim || a.category == b.category);
  }
};

// The clean-up estimate: movable-apps GB, plus 5 when the snapshots hold at
// least 1 GB; never below 0.
[[nodiscard]] std::int64_t cleanUpEstimateGb(const HomeFacts& facts);

// The headline row that applies first: paused, drive missing, at or below
// the critical threshold, then (only above the warning threshold) movable
// apps of 20 GB or more, snapshots of 5 GB or more, plenty of space; and
// otherwise "getting full". `words` name the computer and its system.
[[nodiscard]] Recommendation recommend(const HomeFacts& facts,
                                       const PlatformWords& words = kHostWords);

// The base step, then the old-backups step when snapshots hold at least
// 1 GB, then the cloud step when a cloud account is connected.
[[nodiscard]] std::vector<CareStep> planSteps(const HomeFacts& facts);

// Offered beside the plan, in display order.
[[nodiscard]] std::vector<SimpleActionID> furtherActions(const HomeFacts& facts);

// "I'll a, b and c." from the steps' phrases; "Give your {computer} a quick
// tidy-up." (in `words`) for an empty plan.
[[nodiscard]] std::string planSentence(const std::vector<CareStep>& steps,
                                       const PlatformWords& words = kHostWords);

struct TrendInput {
  std::string volumeName;
  std::int64_t freeGbNow = 0;
  std::int64_t freeGbAtStart = 0;
  std::int64_t periodDays = 0;
};

// One sentence on how free space changed over the period; a placeholder
// while less than a day of history (or no figure of at least 1 GB) exists.
[[nodiscard]] std::string trendSentence(const TrendInput& trend,
                                        const PlatformWords& words = kHostWords);

// A figure of whole decimal GB as the sentences of `words` show sizes: "25 GB",
// and where sizes take the unit that suits them, "1.5 TB" for 1,500.
[[nodiscard]] std::string gigabytesInWords(std::int64_t gb,
                                           const PlatformWords& words = kHostWords);

}  // namespace brimvale::care
