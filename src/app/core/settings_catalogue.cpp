#include "app/core/settings_catalogue.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

#include "common/base/nearest_name.h"
#include "common/base/text_formats.h"
#include "common/state/config_keys.h"

namespace brimvale::app {
namespace {

namespace keys = config_keys;
using enum SettingStore;
using enum SettingType;

// Whole numbers read by the service without a range of their own get a wide
// sanity bound, so a typo of extra digits is caught.
constexpr std::int64_t kMaxDays = 3650;
constexpr std::int64_t kMaxGigabytes = 100'000;

constexpr std::array kCatalogue{
    Setting{"mover.max-concurrent", kUserDefaults, "brimvale.mover.maxConcurrent", kWholeNumber,
            "5", "folder moves that may run at the same time", 1, 16, OutOfRange::kDefaultOrClamp},
    Setting{"mover.verification-level", kUserDefaults, "brimvale.mover.verificationLevel", kChoice,
            "fast", "how a moved folder's copy is checked before the original goes", 0, 0,
            OutOfRange::kRefuse, "fast|thorough|off"},
    Setting{"mover.recent-write-guard", kUserDefaults, "brimvale.mover.recentWriteGuardEnabled",
            kSwitch, "on", "refuse to move a folder whose files changed in the last few hours"},
    Setting{"mover.recent-write-window-hours", kUserDefaults,
            "brimvale.mover.recentWriteWindowHours", kWholeNumber, "12",
            "how many hours count as recent for that guard", 1, 168, OutOfRange::kDefaultOrClamp},

    Setting{"auto.enabled", kServiceConfig, keys::kEnableAutoActions, kSwitch, "off",
            "allow automatic work: the daily run, and relocating when space runs out "
            "(`brimvale install` turns it on)"},
    Setting{"auto.daily", kServiceConfig, keys::kAutoRelocateDaily, kSwitch, "on",
            "run the rules once a day when the computer is quiet"},
    Setting{"auto.hour", kServiceConfig, keys::kAutoRelocateHour, kWholeNumber, "3",
            "local hour of the daily run", 0, 23},

    Setting{"space.warn-gb", kServiceConfig, keys::kLowSpaceWarnGb, kWholeNumber, "40",
            "free GB below which the internal disk counts as low", 1, kMaxGigabytes},
    Setting{"space.critical-gb", kServiceConfig, keys::kLowSpaceCriticalGb, kWholeNumber, "15",
            "free GB below which space is critical and data is relocated", 1, kMaxGigabytes},
    Setting{"space.emergency-gb", kServiceConfig, keys::kLowSpaceEmergencyGb, kWholeNumber, "5",
            "free GB below which space is an emergency", 1, kMaxGigabytes},

    Setting{"quiet.mode", kServiceConfig, keys::kQuietMode, kChoice, "schedule",
            "when the computer counts as quiet enough for automatic work", 0, 0,
            OutOfRange::kRefuse, "schedule|smart|always-on|always"},
    Setting{"quiet.blocked-hours", kServiceConfig, keys::kQuietHoursBlocked, kHourRanges, "9-19",
            "hours when the schedule mode never starts automatic work"},
    Setting{"quiet.idle-seconds", kServiceConfig, keys::kIdleThresholdSecs, kWholeNumber, "600",
            "seconds without input before the schedule mode counts you as away", 0, 86'400},
    Setting{"quiet.smart-idle-minutes", kServiceConfig, keys::kSmartIdleMinutes, kWholeNumber, "5",
            "minutes without input the smart mode waits for", 0, 1440},
    Setting{"quiet.smart-min-battery", kServiceConfig, keys::kSmartMinBattery, kWholeNumber, "30",
            "battery percent below which the smart mode waits", 0, 100},
    Setting{"quiet.respect-meetings", kServiceConfig, keys::kSmartRespectMeetings, kSwitch, "on",
            "the smart mode waits while you are in a meeting"},

    Setting{"notify.on-ok-run", kServiceConfig, keys::kNotifyOnOkRun, kSwitch, "off",
            "tell you when a daily run went well, not only when it did not"},

    Setting{"delete.disabled", kServiceConfig, keys::kDisableDelete, kSwitch, "off",
            "\u201conly move, never delete\u201d (Settings \u2192 Free Up Space): personal files "
            "are never deleted"},
    Setting{"cleanup.delete-to-trash", kServiceConfig, keys::kDeleteToTrash, kSwitch, "off",
            "rules that delete old files move them to the Trash instead; their space is freed "
            "when the Trash is emptied"},
    Setting{"rules.min-age-days", kServiceConfig, keys::kMinAgeHardFloorDays, kWholeNumber, "7",
            "no rule touches anything younger than this many days", 0, kMaxDays},
    Setting{"rules.min-archive-days", kServiceConfig, keys::kMinArchiveDays, kWholeNumber, "0",
            "the least age in days for moving old or big files", 0, kMaxDays},
    Setting{"rules.min-delete-days", kServiceConfig, keys::kMinDeleteDays, kWholeNumber, "0",
            "the least age in days for deleting old files", 0, kMaxDays},

    Setting{"cloud.providers", kServiceConfig, keys::kOptimiseCloudProviders, kText, "",
            "cloud providers (comma-separated) whose downloaded files Free Up Space may drop "
            "locally"},
    Setting{"cloud.include-evict", kServiceConfig, keys::kIncludeCloudEvict, kSwitch, "off",
            "older switch: let Free Up Space drop local copies of every cloud folder"},
};

std::optional<std::int64_t> wholeNumber(std::string_view text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<bool> switchValue(std::string_view typed) {
  const std::string word = asciiLower(typed);
  for (std::string_view on : {"on", "yes", "true", "1"})
    if (word == on) return true;
  for (std::string_view off : {"off", "no", "false", "0"})
    if (word == off) return false;
  return std::nullopt;
}

bool validHourRanges(std::string_view text) {
  for (std::string_view range : splitFields(text, ",")) {
    const auto dash = range.find('-');
    if (dash == std::string_view::npos) return false;
    auto lo = wholeNumber(trimBlanks(range.substr(0, dash)));
    auto hi = wholeNumber(trimBlanks(range.substr(dash + 1)));
    // A range that wraps past midnight contains no hour at all: refuse it.
    if (!lo || !hi || *lo < 0 || *hi > 24 || *lo >= *hi) return false;
  }
  return !splitFields(text, ",").empty();
}

Result<AcceptedValue> refused(const Setting& s, std::string_view typed) {
  return fail(Errc::kInvalidArgument, "\"" + std::string(typed) + "\" is not a value " +
                                          std::string(s.name) + " can take: use " +
                                          allowedValues(s) + ". Nothing was changed.");
}

Result<AcceptedValue> acceptNumber(const Setting& s, std::string_view typed) {
  const auto number = wholeNumber(trimBlanks(typed));
  if (!number) return refused(s, typed);
  std::int64_t value = *number;
  std::optional<std::string> adjustment;
  if (s.outOfRange == OutOfRange::kDefaultOrClamp && (value <= 0 || value > s.max)) {
    const std::string became = value <= 0 ? std::string(s.defaultValue) : std::to_string(s.max);
    adjustment = std::string(s.name) + " takes " + allowedValues(s) + ", and " +
                 (value <= 0 ? "0 or less means the default" : "more is capped") + ", so " +
                 std::to_string(value) + " became " + became + ".";
    value = *wholeNumber(became);
  } else if (value < s.min || value > s.max) {
    return refused(s, typed);
  }
  return AcceptedValue{std::to_string(value), std::to_string(value), adjustment};
}

}  // namespace

std::span<const Setting> settingsCatalogue() { return kCatalogue; }

const Setting* findSetting(std::string_view name) {
  auto it = std::find_if(kCatalogue.begin(), kCatalogue.end(),
                         [&](const Setting& s) { return s.name == name; });
  return it == kCatalogue.end() ? nullptr : &*it;
}

std::string_view nearestSettingName(std::string_view typed) {
  const std::string lowered = asciiLower(typed);
  // A fragment of a name ("delet", "verification") means that name, however
  // far its spelling is from the whole.
  if (lowered.size() >= 3) {
    for (const auto& s : kCatalogue) {
      if (std::string_view(s.name).find(lowered) != std::string_view::npos) return s.name;
    }
  }
  std::string_view best = kCatalogue.front().name;
  std::size_t bestDistance = std::string_view::npos;
  for (const auto& s : kCatalogue) {
    const std::size_t distance =
        std::min(editDistance(lowered, s.name), editDistance(lowered, asciiLower(s.key)));
    if (distance < bestDistance) {
      best = s.name;
      bestDistance = distance;
    }
  }
  return best;
}

std::string allowedValues(const Setting& s) {
  switch (s.type) {
    case kSwitch: return "on or off";
    case kWholeNumber:
      return "a whole number from " + std::to_string(s.min) + " to " + std::to_string(s.max);
    case kChoice: {
      const auto words = splitFields(s.choices, "|");
      std::string text;
      for (std::size_t i = 0; i < words.size(); ++i) {
        text += i == 0 ? "" : i + 1 == words.size() ? " or " : ", ";
        text += words[i];
      }
      return text;
    }
    case kHourRanges:
      return "hour ranges from-to between 0 and 24, comma-separated, such as 9-19 or 0-7,22-24";
    case kText: return "any text on one line";
  }
  return {};
}

Result<AcceptedValue> acceptValue(const Setting& s, std::string_view typed) {
  switch (s.type) {
    case kSwitch: {
      const auto on = switchValue(trimBlanks(typed));
      if (!on) return refused(s, typed);
      return AcceptedValue{*on ? "on" : "off", *on ? "1" : "0", std::nullopt};
    }
    case kWholeNumber: return acceptNumber(s, typed);
    case kChoice: {
      const std::string word = asciiLower(trimBlanks(typed));
      for (auto choice : splitFields(s.choices, "|"))
        if (word == choice) return AcceptedValue{word, word, std::nullopt};
      return refused(s, typed);
    }
    case kHourRanges: {
      std::string ranges;
      for (char c : typed)
        if (c != ' ' && c != '\t') ranges += c;
      if (!validHourRanges(ranges)) return refused(s, typed);
      return AcceptedValue{ranges, ranges, std::nullopt};
    }
    case kText:
      if (typed.find_first_of("\r\n") != std::string_view::npos) return refused(s, typed);
      return AcceptedValue{std::string(typed), std::string(typed), std::nullopt};
  }
  return refused(s, typed);
}

std::string effectiveValue(const Setting& s, const std::optional<std::string>& stored) {
  if (!stored || stored->empty()) return std::string(s.defaultValue);
  if (s.store == kUserDefaults) {
    auto accepted = acceptValue(s, *stored);
    return accepted ? accepted->shown : std::string(s.defaultValue);
  }
  // What the service makes of a hand-edited file: only "1" is on, a number
  // it cannot read is the default, and any other text is used as written.
  switch (s.type) {
    case kSwitch: return *stored == "1" ? "on" : "off";
    case kWholeNumber: {
      const auto number = wholeNumber(*stored);
      return number ? std::to_string(*number) : std::string(s.defaultValue);
    }
    default: return *stored;
  }
}

}  // namespace brimvale::app
