// The settings a user can change with `brimvale settings`: one table giving
// each a friendly name, the store and key it lives under, its type and range,
// its default and a one-line meaning, and the rules for accepting a value.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/base/error.h"

namespace brimvale::app {

// Where a setting is kept: the application's user defaults, or the service's
// configuration file (written through the preferences writer).
enum class SettingStore { kUserDefaults, kServiceConfig };

enum class SettingType {
  kSwitch,       // on/off; stored as a boolean, or as 1/0 in the configuration
  kWholeNumber,  // a decimal integer in [min, max]
  kChoice,       // one of the words in `choices`
  kHourRanges,   // comma-separated lo-hi hour ranges, 0 <= lo < hi <= 24
  kText,         // any single line
};

// What a whole number outside [min, max] does.
enum class OutOfRange {
  kRefuse,
  // A value <= 0 means the default; one above max becomes max.
  kDefaultOrClamp,
};

struct Setting {
  std::string_view name;  // what the user types: "section.words"
  SettingStore store;
  std::string_view key;  // the real key in its store
  SettingType type;
  std::string_view defaultValue;  // as shown: "on", "5", "fast"
  std::string_view meaning;
  std::int64_t min = 0;
  std::int64_t max = 0;
  OutOfRange outOfRange = OutOfRange::kRefuse;
  std::string_view choices = {};  // kChoice: words separated by '|'
};

// Every setting, grouped by what it is about.
[[nodiscard]] std::span<const Setting> settingsCatalogue();

// The setting called `name`; nothing for an unknown name.
[[nodiscard]] const Setting* findSetting(std::string_view name);

// The setting name closest to `typed` (fewest edits, ignoring case); a real
// key such as DISABLE_DELETE leads to its friendly name.
[[nodiscard]] std::string_view nearestSettingName(std::string_view typed);

// The allowed values in words: "on or off", "a whole number from 1 to 16", ...
[[nodiscard]] std::string allowedValues(const Setting& setting);

// A value the user typed, made ready to store.
struct AcceptedValue {
  std::string shown;   // canonical text: "on", "16", "fast"
  std::string stored;  // as written to the configuration: "1", "16", "fast"
  // Set when the value was changed to fit: a sentence saying what it became.
  std::optional<std::string> adjustment;
};

// Checks `typed` against the setting's type and range. Switches take on/off,
// yes/no, true/false and 1/0. Fails with Errc::kInvalidArgument and a
// sentence naming the allowed values; nothing is clamped silently.
[[nodiscard]] Result<AcceptedValue> acceptValue(const Setting& setting, std::string_view typed);

// The value in effect for what is stored (nothing when nothing is), as its
// reader uses it. User defaults: an acceptable value adjusted as a write
// would adjust it, the default for anything else. Configuration: as the
// service reads it (only "1" is on; an unreadable number is the default).
[[nodiscard]] std::string effectiveValue(const Setting& setting,
                                         const std::optional<std::string>& stored);

}  // namespace brimvale::app
