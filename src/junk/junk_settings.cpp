#include "junk/junk_settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "common/base/platform_words.h"

namespace brimvale::junk {
namespace {

using T = JunkSettingType;

const std::array<JunkSetting, 13>& table() {
  static const std::array<JunkSetting, 13> kTable{{
      {"JunkEnabledLocally", T::kSwitch, "off",
       "Enable Rade Diriv on this " + std::string(kHostWords.computer)},
      {"JunkAutoWatch", T::kSwitch, "on", "Watch the clipboard"},
      {"JunkDefaultTTL", T::kLifetime, "d1", "Auto-clear new scraps after"},
      {"JunkCurtainEnabled", T::kSwitch, "on",
       "Open a strip of scraps when the pointer hits the screen edge"},
      {"JunkCurtainEdge", T::kEdge, "top", "edge of the curtain: \"top\" or \"right\""},
      {"JunkMaxItems", T::kWholeNumber, "250",
       "Keep up to N scraps — when full, the oldest drops off."},
      {"JunkMaxFilesPerScrap", T::kWholeNumber, "25",
       "Copy several files at once and they land as one card. Copying more than this many "
       "files at once is skipped (max 250)"},
      {"JunkOpenHotKeyEnabled", T::kSwitch, "on", "hot key: Open the Rade Diriv"},
      {"JunkOpenHotKeyPreset", T::kText, "", "Open the Rade Diriv"},
      {"JunkCaptureHotKeyEnabled", T::kSwitch, "on", "hot key: Save clipboard to Junk"},
      {"JunkCaptureHotKeyPreset", T::kText, "", "Save clipboard to Junk"},
      {"JunkNewNoteHotKeyEnabled", T::kSwitch, "on", "hot key: New note"},
      {"JunkNewNoteHotKeyPreset", T::kText, "", "New note"},
  }};
  return kTable;
}

constexpr std::array<RawName<JunkCurtainEdge>, 2> kEdgeNames{{
    {JunkCurtainEdge::kTop, "top"},
    {JunkCurtainEdge::kRight, "right"},
}};

std::optional<bool> switchWord(std::string_view value) {
  std::string lower(value);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "on" || lower == "true" || lower == "yes" || lower == "1") return true;
  if (lower == "off" || lower == "false" || lower == "no" || lower == "0") return false;
  return std::nullopt;
}

}  // namespace

std::optional<JunkCurtainEdge> junkCurtainEdgeFromRaw(std::string_view raw) {
  return valueOfRaw(kEdgeNames, raw);
}

std::span<const JunkSetting> junkSettingsTable() { return table(); }

const JunkSetting* findJunkSetting(std::string_view key) {
  for (const auto& s : table()) {
    if (s.key == key) return &s;
  }
  return nullptr;
}

std::int64_t effectiveJunkLimit(std::optional<std::int64_t> stored) {
  if (!stored) return kJunkDefaultMaxItems;
  return std::clamp(*stored, kJunkMinItems, kJunkMaxItemsCap);
}

std::int64_t effectiveMaxFiles(std::optional<std::int64_t> stored) {
  if (!stored) return kJunkDefaultMaxFiles;
  return std::clamp<std::int64_t>(*stored, 1, kJunkMaxFilesCap);
}

std::string_view junkHotKeyEnabledKey(JunkHotKeyAction action) {
  switch (action) {
    case JunkHotKeyAction::kOpen: return "JunkOpenHotKeyEnabled";
    case JunkHotKeyAction::kCapture: return "JunkCaptureHotKeyEnabled";
    case JunkHotKeyAction::kNewNote: return "JunkNewNoteHotKeyEnabled";
  }
  return "JunkOpenHotKeyEnabled";
}

std::string_view junkHotKeyPresetKey(JunkHotKeyAction action) {
  switch (action) {
    case JunkHotKeyAction::kOpen: return "JunkOpenHotKeyPreset";
    case JunkHotKeyAction::kCapture: return "JunkCaptureHotKeyPreset";
    case JunkHotKeyAction::kNewNote: return "JunkNewNoteHotKeyPreset";
  }
  return "JunkOpenHotKeyPreset";
}

bool JunkSettings::enabledLocally() const {
  return defaults_.getBool("JunkEnabledLocally").value_or(false);
}
bool JunkSettings::autoWatch() const { return defaults_.getBool("JunkAutoWatch").value_or(true); }
JunkTTL JunkSettings::defaultTTL() const {
  auto raw = defaults_.getString("JunkDefaultTTL");
  auto ttl = raw ? junkTTLFromRaw(*raw) : std::nullopt;
  return ttl.value_or(JunkTTL::kD1);
}
JunkCurtainEdge JunkSettings::curtainEdge() const {
  auto raw = defaults_.getString("JunkCurtainEdge");
  return raw ? junkCurtainEdgeFromRaw(*raw).value_or(JunkCurtainEdge::kTop) : JunkCurtainEdge::kTop;
}
std::int64_t JunkSettings::maxItems() const {
  return effectiveJunkLimit(defaults_.getInt("JunkMaxItems"));
}
std::int64_t JunkSettings::maxFilesPerScrap() const {
  return effectiveMaxFiles(defaults_.getInt("JunkMaxFilesPerScrap"));
}
bool JunkSettings::hotKeyEnabled(JunkHotKeyAction action) const {
  return defaults_.getBool(junkHotKeyEnabledKey(action)).value_or(true);
}
std::optional<std::string> JunkSettings::hotKeyPreset(JunkHotKeyAction action) const {
  return defaults_.getString(junkHotKeyPresetKey(action));
}

std::string JunkSettings::meaningOf(const JunkSetting& setting) const {
  if (setting.key != "JunkMaxItems") return setting.meaning;
  return "Keep up to " + std::to_string(maxItems()) + " scraps — when full, the oldest drops off.";
}

std::string JunkSettings::shown(const JunkSetting& setting) const {
  switch (setting.type) {
    case T::kSwitch: {
      auto value = defaults_.getBool(setting.key);
      return value ? (*value ? "on" : "off") : std::string(setting.defaultValue);
    }
    case T::kWholeNumber:
      if (setting.key == "JunkMaxItems") return std::to_string(maxItems());
      if (setting.key == "JunkMaxFilesPerScrap") return std::to_string(maxFilesPerScrap());
      return std::to_string(defaults_.getInt(setting.key).value_or(0));
    case T::kLifetime: return std::string(junkTTLRaw(defaultTTL()));
    case T::kEdge: return curtainEdge() == JunkCurtainEdge::kRight ? "right" : "top";
    case T::kText:
      return defaults_.getString(setting.key).value_or(std::string(setting.defaultValue));
  }
  return {};
}

Result<void> JunkSettings::set(const JunkSetting& setting, std::string_view value) {
  const std::string key(setting.key);
  switch (setting.type) {
    case T::kSwitch: {
      auto on = switchWord(value);
      if (!on)
        return fail(Errc::kInvalidArgument,
                    key + " takes on or off, not \"" + std::string(value) + "\"");
      return defaults_.setBool(key, *on);
    }
    case T::kWholeNumber: {
      std::int64_t number = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (ec != std::errc() || end != value.data() + value.size()) {
        return fail(Errc::kInvalidArgument,
                    key + " takes a whole number, not \"" + std::string(value) + "\"");
      }
      return defaults_.setInt(key, number);
    }
    case T::kLifetime:
      if (!junkTTLFromRaw(value)) {
        return fail(Errc::kInvalidArgument,
                    key + " takes a lifetime such as m5, h1, d1, w1 or mo1, not \"" +
                        std::string(value) + "\"");
      }
      return defaults_.setString(key, value);
    case T::kEdge:
      if (!junkCurtainEdgeFromRaw(value)) {
        return fail(Errc::kInvalidArgument,
                    key + " takes top or right, not \"" + std::string(value) + "\"");
      }
      return defaults_.setString(key, value);
    case T::kText: return defaults_.setString(key, value);
  }
  return {};
}

}  // namespace brimvale::junk
