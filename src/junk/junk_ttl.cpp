#include "junk/junk_ttl.h"

namespace brimvale::junk {
namespace {

using G = JunkTTLGroup;
constexpr long kMinute = 60;
constexpr long kHour = 60 * kMinute;
constexpr long kDay = 24 * kHour;

constexpr std::array<JunkTTLInfo, 23> kTable{{
    {JunkTTL::kM5, "m5", "5 min", 5 * kMinute, G::kMinutes},
    {JunkTTL::kM15, "m15", "15 min", 15 * kMinute, G::kMinutes},
    {JunkTTL::kM30, "m30", "30 min", 30 * kMinute, G::kMinutes},
    {JunkTTL::kM45, "m45", "45 min", 45 * kMinute, G::kMinutes},
    {JunkTTL::kH1, "h1", "1 hour", kHour, G::kHours},
    {JunkTTL::kH2, "h2", "2 hours", 2 * kHour, G::kHours},
    {JunkTTL::kH3, "h3", "3 hours", 3 * kHour, G::kHours},
    {JunkTTL::kH6, "h6", "6 hours", 6 * kHour, G::kHours},
    {JunkTTL::kH12, "h12", "12 hours", 12 * kHour, G::kHours},
    {JunkTTL::kD1, "d1", "1 day", kDay, G::kDays},
    {JunkTTL::kD2, "d2", "2 days", 2 * kDay, G::kDays},
    {JunkTTL::kD3, "d3", "3 days", 3 * kDay, G::kDays},
    {JunkTTL::kD4, "d4", "4 days", 4 * kDay, G::kDays},
    {JunkTTL::kD5, "d5", "5 days", 5 * kDay, G::kDays},
    {JunkTTL::kD6, "d6", "6 days", 6 * kDay, G::kDays},
    {JunkTTL::kW1, "w1", "1 week", 7 * kDay, G::kWeeks},
    {JunkTTL::kW2, "w2", "2 weeks", 14 * kDay, G::kWeeks},
    {JunkTTL::kW3, "w3", "3 weeks", 21 * kDay, G::kWeeks},
    {JunkTTL::kW4, "w4", "4 weeks", 28 * kDay, G::kWeeks},
    {JunkTTL::kMo1, "mo1", "1 month", 30 * kDay, G::kMonths},
    {JunkTTL::kMo2, "mo2", "2 months", 60 * kDay, G::kMonths},
    {JunkTTL::kMo3, "mo3", "3 months", 90 * kDay, G::kMonths},
    {JunkTTL::kMo6, "mo6", "6 months", 180 * kDay, G::kMonths},
}};

}  // namespace

const JunkTTLInfo& junkTTLInfo(JunkTTL ttl) {
  for (const auto& row : kTable) {
    if (row.ttl == ttl) return row;
  }
  return kTable[9];  // d1, the default lifetime
}

std::optional<JunkTTL> junkTTLFromRaw(std::string_view raw) {
  for (const auto& row : kTable) {
    if (row.raw == raw) return row.ttl;
  }
  return std::nullopt;
}

std::string_view junkTTLRaw(JunkTTL ttl) { return junkTTLInfo(ttl).raw; }

std::string_view junkTTLGroupName(JunkTTLGroup group) {
  switch (group) {
    case G::kMinutes: return "Minutes";
    case G::kHours: return "Hours";
    case G::kDays: return "Days";
    case G::kWeeks: return "Weeks";
    case G::kMonths: return "Months";
  }
  return "Days";
}

}  // namespace brimvale::junk
