#include "care/home_guidance.h"

#include <array>
#include <cstdlib>

#include "common/base/text_formats.h"
#include "platform/byte_count_format.h"

namespace brimvale::care {
namespace {

// The words shown for each enumerator.
template <class E>
struct Words {
  E value;
  std::string_view text;
};

// Button labels.
constexpr std::array<Words<SimpleActionID>, 13> kActionLabels{{
    {SimpleActionID::kFreeUpSpace, "Free up space"},
    {SimpleActionID::kReviewApps, "Review large apps"},
    {SimpleActionID::kManageDrive, "Manage your drive"},
    {SimpleActionID::kBackUp, "Back up"},
    {SimpleActionID::kReclaimSnapshots, "Reclaim old backups"},
    {SimpleActionID::kOptimizeCloud, "Keep cloud files online-only"},
    {SimpleActionID::kBrowseTier, "Browse your files"},
    {SimpleActionID::kWhatsUsingSpace, "See what's using space"},
    {SimpleActionID::kCloudTransfers, "Cloud transfers"},
    {SimpleActionID::kUsageHistory, "Usage history"},
    {SimpleActionID::kViewActivity, "View activity"},
    {SimpleActionID::kEditRules, "Edit rules"},
    {SimpleActionID::kAllGood, "All good"},
}};

// The command behind each action; empty where none performs it.
constexpr std::array<Words<SimpleActionID>, 13> kActionCommands{{
    {SimpleActionID::kFreeUpSpace, "brimvale care"},
    {SimpleActionID::kReviewApps, ""},
    {SimpleActionID::kManageDrive, "brimvale service doctor"},
    {SimpleActionID::kBackUp, "brimvale service backup-self"},
    {SimpleActionID::kReclaimSnapshots, "brimvale snapshots thin 100000000000 4"},
#if defined(__APPLE__)
    {SimpleActionID::kOptimizeCloud, "brimvale service optimize-icloud"},
#else
    {SimpleActionID::kOptimizeCloud, "brimvale service optimize-cloud"},
#endif
    {SimpleActionID::kBrowseTier, "brimvale moves"},
    {SimpleActionID::kWhatsUsingSpace, "brimvale service scan-storage"},
    {SimpleActionID::kCloudTransfers, ""},
    {SimpleActionID::kUsageHistory, "brimvale history"},
    {SimpleActionID::kViewActivity, "brimvale jobs"},
    {SimpleActionID::kEditRules, "brimvale service rules"},
    {SimpleActionID::kAllGood, ""},
}};

// The phrases of the plan sentence.
constexpr std::array<Words<ReclaimCategory>, 3> kCategoryPhrases{{
    {ReclaimCategory::kDevcaches, "clear developer and package caches"},
    {ReclaimCategory::kSyslog, "clear system and log clutter"},
    {ReclaimCategory::kTrash, "empty old items from your Trash"},
}};

template <class E, std::size_t N>
std::string_view wordsOf(const std::array<Words<E>, N>& table, E value) {
  for (const auto& row : table) {
    if (row.value == value) return row.text;
  }
  return table.front().text;  // unreachable while the table covers every case
}

std::string_view planPhrase(const CareStep& step) {
  switch (step.kind) {
    case CareStep::Kind::kCachesAndRarelyUsedFiles: return "clear caches and rarely-used files";
    case CareStep::Kind::kReclaim: return wordsOf(kCategoryPhrases, step.category);
    case CareStep::Kind::kOldLocalBackups: return "reclaim space from old local backups";
    case CareStep::Kind::kCloudOnlineOnly: return "keep cloud files online-only";
  }
  return {};
}

Recommendation withEstimate(std::string headline, std::string detail, std::int64_t estimate) {
  return {std::move(headline), std::move(detail), SimpleActionID::kFreeUpSpace, estimate,
          estimate < 1};
}

}  // namespace

std::string_view rawString(SimpleActionID action) {
  return rawNameOf(kSimpleActionIDNames, action);
}

std::string_view actionLabel(SimpleActionID action) { return wordsOf(kActionLabels, action); }

std::optional<std::string_view> actionCommand(SimpleActionID action) {
  for (const auto& row : kActionCommands) {
    if (row.value == action && !row.text.empty()) return row.text;
  }
  return std::nullopt;
}

std::string_view rawString(ReclaimCategory category) {
  return rawNameOf(kReclaimCategoryNames, category);
}

std::optional<ReclaimCategory> reclaimCategoryFromRaw(std::string_view raw) {
  return valueOfRaw(kReclaimCategoryNames, raw);
}

std::int64_t cleanUpEstimateGb(const HomeFacts& facts) {
  const std::int64_t estimate = facts.movableAppsGb + (facts.snapshotGb >= 1 ? 5 : 0);
  return estimate < 0 ? 0 : estimate;
}

Recommendation recommend(const HomeFacts& facts, const PlatformWords& words) {
  const std::string computer(words.computer);
  if (facts.paused) {
    return {"Automatic actions are paused.",
            "Resume them when you're ready, or free up space manually.",
            SimpleActionID::kFreeUpSpace, 0, true};
  }
  if (!facts.driveConnected) {
    return {"Your external drive isn't connected.",
            "Plug it back in, or set one up to start freeing space.", SimpleActionID::kManageDrive,
            0, true};
  }
  if (facts.internalFreeGb <= facts.criticalThresholdGb) {
    return withEstimate("Your " + std::string(words.startupDisk) + " is almost full.",
                        "Free up space now to keep your " + computer + " running smoothly.",
                        cleanUpEstimateGb(facts));
  }
  if (facts.internalFreeGb > facts.warnThresholdGb) {
    if (facts.movableAppsGb >= 20) {
      return {"You could move " + gigabytesInWords(facts.movableAppsGb, words) + " of apps.",
              "Moving large apps to your external drive frees space — they still open normally.",
              SimpleActionID::kReviewApps, facts.movableAppsGb, false};
    }
    if (facts.snapshotGb >= 5) {
      return {"Old backups are holding space.",
              "Reclaim space " + std::string(words.system) + " is keeping from past local backups.",
              SimpleActionID::kReclaimSnapshots, 0, true};
    }
    return {"Your " + computer + " has plenty of space.",
            "Everything's running smoothly. You can tidy up any time.", SimpleActionID::kAllGood, 0,
            true};
  }
  return withEstimate("Your " + std::string(words.startupDisk) + " is getting full.",
                      "A quick clean-up will give you room to breathe.", cleanUpEstimateGb(facts));
}

std::vector<CareStep> planSteps(const HomeFacts& facts) {
  std::vector<CareStep> steps{{CareStep::Kind::kCachesAndRarelyUsedFiles}};
  if (facts.snapshotGb >= 1) steps.push_back({CareStep::Kind::kOldLocalBackups});
  if (facts.cloudAccountCount >= 1) steps.push_back({CareStep::Kind::kCloudOnlineOnly});
  return steps;
}

std::vector<SimpleActionID> furtherActions(const HomeFacts& facts) {
  std::vector<SimpleActionID> actions{SimpleActionID::kReviewApps, SimpleActionID::kWhatsUsingSpace,
                                      SimpleActionID::kBrowseTier};
  if (facts.cloudAccountCount >= 1) actions.push_back(SimpleActionID::kCloudTransfers);
  actions.push_back(SimpleActionID::kUsageHistory);
  return actions;
}

std::string planSentence(const std::vector<CareStep>& steps, const PlatformWords& words) {
  std::vector<std::string> phrases;
  for (const auto& step : steps) phrases.emplace_back(planPhrase(step));
  if (phrases.empty()) return "Give your " + std::string(words.computer) + " a quick tidy-up.";
  return "I'll " + listedInWords(phrases) + ".";
}

std::string gigabytesInWords(std::int64_t gb, const PlatformWords& words) {
  return platform::gigabytesText(gb * 1'000'000'000, gb, words);
}

std::string trendSentence(const TrendInput& trend, const PlatformWords& words) {
  if (trend.periodDays < 1 || (trend.freeGbNow < 1 && trend.freeGbAtStart < 1)) {
    return "We'll show how your space changes as Brimvale gathers a little history.";
  }
  const std::string period = trend.periodDays == 1
                                 ? "the last day"
                                 : "the last " + std::to_string(trend.periodDays) + " days";
  const std::int64_t change = trend.freeGbNow - trend.freeGbAtStart;
  const std::int64_t size = std::llabs(change);
  if (size <= 1) {
    return "Your free space on " + trend.volumeName + " has held steady over " + period + ".";
  }
  if (change < 0) {
    return "You've used about " + gigabytesInWords(size, words) + " more on " + trend.volumeName +
           " over " + period + " — Zozad Evev can win some back.";
  }
  return "You've freed about " + gigabytesInWords(size, words) + " on " + trend.volumeName +
         " over " + period + ". Nice work.";
}

}  // namespace brimvale::care
