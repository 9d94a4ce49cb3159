// The words around a one-tap clean-up: which steps ran (the coverage
// sentence), the summary shown afterwards, and the fact lines that ground a
// model-written summary. Pure functions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "care/home_guidance.h"
#include "common/base/platform_words.h"

namespace brimvale::care {

// Byte amounts as the platform's file-style byte formatter writes them.
using ByteFormatter = std::function<std::string(std::int64_t)>;

// The all-time figure when there is none.
inline constexpr std::string_view kNoAllTimeFigure = "—";
// Untouched Trash below this many bytes is not worth a mention.
inline constexpr std::int64_t kTrashMentionBytes = 50'000'000;

struct CareOutcome {
  std::int64_t freedBytes = 0;
  std::vector<CareStep> stepsRan;
  std::string allTimeText = std::string(kNoAllTimeFigure);
  // Old Trash left alone because "only move, never delete" is on.
  std::int64_t untouchedTrashBytes = 0;
};

// How the run record names a step: "caches", "devcaches", "syslog", "trash",
// "localBackups", "cloudOnlineOnly". Persisted; never changed.
[[nodiscard]] std::string_view stepRawString(const CareStep& step);

// The phrases of the steps that ran, in a fixed order and each once, the
// base step always first: "a.", "a and b.", "a, b, and c.".
[[nodiscard]] std::string coverageSentence(const std::vector<CareStep>& stepsRan);

// Completion line, coverage sentence, all-time line and (for at least
// kTrashMentionBytes of untouched Trash) the Trash line, joined by line feeds.
[[nodiscard]] std::string composeSummary(const CareOutcome& outcome, const ByteFormatter& bytes,
                                         const PlatformWords& words = kHostWords);

}  // namespace brimvale::care
