// How long a scrap stays on the board: the 23 lifetimes with their labels,
// lengths and the headings pickers group them under.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "common/base/raw_names.h"

namespace brimvale::junk {

enum class JunkTTL {
  kM5,
  kM15,
  kM30,
  kM45,
  kH1,
  kH2,
  kH3,
  kH6,
  kH12,
  kD1,
  kD2,
  kD3,
  kD4,
  kD5,
  kD6,
  kW1,
  kW2,
  kW3,
  kW4,
  kMo1,
  kMo2,
  kMo3,
  kMo6,
};

// Persisted as "Minutes", "Hours", "Days", "Weeks", "Months".
enum class JunkTTLGroup { kMinutes, kHours, kDays, kWeeks, kMonths };

struct JunkTTLInfo {
  JunkTTL ttl;
  std::string_view raw;    // stored in settings: "m5", "d1", "mo6"
  std::string_view label;  // "5 min", "1 day"
  long seconds;            // a month is 30 days
  JunkTTLGroup group;
};

[[nodiscard]] const JunkTTLInfo& junkTTLInfo(JunkTTL ttl);
[[nodiscard]] std::optional<JunkTTL> junkTTLFromRaw(std::string_view raw);
[[nodiscard]] std::string_view junkTTLRaw(JunkTTL ttl);
[[nodiscard]] std::string_view junkTTLGroupName(JunkTTLGroup group);

}  // namespace brimvale::junk
