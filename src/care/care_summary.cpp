#include "care/care_summary.h"

#include <algorithm>
#include <array>

namespace brimvale::care {
namespace {

struct CoveragePhrase {
  CareStep step;
  std::string_view raw;
  std::string_view phrase;
};

// Fixed order of the coverage sentence; the base step is always present.
const std::array kCoverage{
    CoveragePhrase{{CareStep::Kind::kCachesAndRarelyUsedFiles},
                   "caches",
                   "cleared caches and rarely-used files"},
    CoveragePhrase{CareStep::reclaim(ReclaimCategory::kDevcaches), "devcaches",
                   "cleared developer caches"},
    CoveragePhrase{CareStep::reclaim(ReclaimCategory::kSyslog), "syslog",
                   "cleared system and log clutter"},
    CoveragePhrase{CareStep::reclaim(ReclaimCategory::kTrash), "trash", "emptied old Trash items"},
    CoveragePhrase{{CareStep::Kind::kOldLocalBackups},
                   "localBackups",
                   "reclaimed space from old local backups"},
    CoveragePhrase{
        {CareStep::Kind::kCloudOnlineOnly}, "cloudOnlineOnly", "kept your cloud files online-only"},
};

bool mentionsTrash(const CareOutcome& outcome) {
  return outcome.untouchedTrashBytes >= kTrashMentionBytes;
}

}  // namespace

std::string_view stepRawString(const CareStep& step) {
  for (const auto& entry : kCoverage) {
    if (entry.step == step) return entry.raw;
  }
  return {};
}

std::string coverageSentence(const std::vector<CareStep>& stepsRan) {
  std::vector<std::string_view> phrases;
  for (const auto& [step, raw, phrase] : kCoverage) {
    const bool base = step.kind == CareStep::Kind::kCachesAndRarelyUsedFiles;
    if (base || std::ranges::find(stepsRan, step) != stepsRan.end()) phrases.push_back(phrase);
  }
  std::string sentence;
  for (std::size_t i = 0; i < phrases.size(); ++i) {
    if (i > 0) {
      if (phrases.size() == 2) {
        sentence += " and ";
      } else {
        sentence += i + 1 == phrases.size() ? ", and " : ", ";
      }
    }
    sentence += phrases[i];
  }
  return sentence + ".";
}

std::string composeSummary(const CareOutcome& outcome, const ByteFormatter& bytes,
                           const PlatformWords& words) {
  const std::string computer(words.computer);
  std::vector<std::string> parts;
  parts.push_back(outcome.freedBytes < 1
                      ? "Zozad Evev finished — your " + computer + " was already nice and tidy."
                      : "Zozad Evev freed about " + bytes(outcome.freedBytes) +
                            " and tidied things up.");
  parts.push_back(coverageSentence(outcome.stepsRan));
  parts.push_back("Your " + computer + "'s in good shape — that's about " + outcome.allTimeText +
                  " reclaimed all-time. I'll keep it tidy on my own.");
  if (mentionsTrash(outcome)) {
    parts.push_back("You could free about " + bytes(outcome.untouchedTrashBytes) +
                    " more: I left your old Trash alone because “only move, never delete” is on "
                    "— turn it off in Settings → Free Up Space and I'll clear it too.");
  }
  std::string summary;
  for (const auto& part : parts) {
    if (!summary.empty()) summary += "\n";
    summary += part;
  }
  return summary;
}

}  // namespace brimvale::care
