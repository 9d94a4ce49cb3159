#include "app/core/settings_command.h"

#include "app/core/json_output.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "app/core/settings_catalogue.h"
#include "app/core/settings_excludes.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/state/preferences_writer.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

// Everything stored, read once per invocation.
struct StoredSettings {
  std::string configText;
  platform::UserDefaults& defaults;

  std::optional<std::string> raw(const Setting& s) const {
    if (s.store == SettingStore::kServiceConfig) return readConfigValue(configText, s.key);
    switch (s.type) {
      case SettingType::kSwitch:
        if (auto on = defaults.getBool(s.key)) return *on ? "on" : "off";
        return std::nullopt;
      case SettingType::kWholeNumber:
        if (auto number = defaults.getInt(s.key)) return std::to_string(*number);
        return std::nullopt;
      default: return defaults.getString(s.key);
    }
  }
  std::string value(const Setting& s) const { return effectiveValue(s, raw(s)); }
};

Result<StoredSettings> readStored(const SettingsCommandContext& c) {
  StoredSettings stored{"", c.defaults};
  if (!pathExists(c.configFile).value_or(false)) return stored;
  auto text = readFile(c.configFile);
  if (!text) return std::unexpected(text.error());
  stored.configText = std::move(*text);
  return stored;
}

std::string_view typeName(SettingType type) {
  switch (type) {
    case SettingType::kSwitch: return "switch";
    case SettingType::kWholeNumber: return "number";
    case SettingType::kChoice: return "choice";
    case SettingType::kHourRanges: return "hour-ranges";
    case SettingType::kText: return "text";
  }
  return {};
}

// Switches as booleans and numbers as numbers, so a program need not parse them.
json typedValue(const Setting& s, const std::string& shown) {
  if (s.type == SettingType::kSwitch) return shown == "on";
  if (s.type == SettingType::kWholeNumber) return std::stoll(shown);
  return shown;
}

json record(const Setting& s, const StoredSettings& stored) {
  return {{"name", s.name},
          {"key", s.key},
          {"store", s.store == SettingStore::kServiceConfig ? "service-config" : "user-defaults"},
          {"type", typeName(s.type)},
          {"value", typedValue(s, stored.value(s))},
          {"default", typedValue(s, std::string(s.defaultValue))},
          {"allowed", allowedValues(s)},
          {"meaning", s.meaning}};
}

std::string listing(const StoredSettings& stored) {
  std::string text = "Settings (change one with: brimvale settings NAME VALUE)\n";
  for (const auto& s : settingsCatalogue()) {
    const std::string shownDefault = s.defaultValue.empty() ? "empty" : std::string(s.defaultValue);
    text += "\n" + std::string(s.name) + " = " + stored.value(s) + "\n    " +
            std::string(s.meaning) + "\n    takes " + allowedValues(s) + "; default " +
            shownDefault + "\n";
  }
  return text + excludesListing(stored.configText);
}

Result<void> store(const SettingsCommandContext& c, const Setting& s, const AcceptedValue& v) {
  if (s.store == SettingStore::kServiceConfig) {
    return savePreferences(c.configFile, {{std::string(s.key), v.stored}});
  }
  switch (s.type) {
    case SettingType::kSwitch: return c.defaults.setBool(s.key, v.stored == "1");
    case SettingType::kWholeNumber: return c.defaults.setInt(s.key, std::stoll(v.stored));
    default: return c.defaults.setString(s.key, v.stored);
  }
}

int change(SettingsCommandContext& c, const Setting& s, const std::string& typed) {
  auto accepted = acceptValue(s, typed);
  if (!accepted) {
    c.err << accepted.error().detail << "\n";
    return 2;
  }
  // Writing a file the installer has not laid down would keep its template
  // (the drive, the automatic run, the rules) from ever being written.
  if (s.store == SettingStore::kServiceConfig && !pathExists(c.configFile).value_or(false)) {
    c.err << "The background service isn't installed yet, so " << s.name
          << " can't be saved; nothing was changed. Run \"brimvale install\" first, then try "
             "again.\n";
    return 1;
  }
  if (auto saved = store(c, s, *accepted); !saved) {
    c.err << "Couldn't save " << s.name << ", so it keeps its old value; your files are safe. "
          << "Check that " << c.configFile.parent_path().string()
          << " can be written, then try again.\nRaw error: " << saved.error().message() << "\n";
    return 1;
  }
  if (accepted->adjustment) c.out << *accepted->adjustment << "\n";
  c.out << s.name << " is now " << (accepted->shown.empty() ? "empty" : accepted->shown) << ".\n";
  if (s.store == SettingStore::kServiceConfig) c.out << "Saved · daemon picks this up within 30s\n";
  return 0;
}

}  // namespace

int settingsCommand(SettingsCommandContext& c, const std::vector<std::string>& args,
                    SettingsFormat format) {
  if (!args.empty() && args[0] == "excludes") {
    return settingsExcludesCommand(c, {args.begin() + 1, args.end()}, format);
  }
  if (args.size() > 2) {
    c.err << "settings takes a setting name and at most one value, but was given " << args.size()
          << " words; nothing was changed. Put a value with blanks in quotes.\n";
    return 2;
  }
  const Setting* setting = nullptr;
  if (!args.empty() && !(setting = findSetting(args[0]))) {
    c.err << "There is no setting called \"" << args[0] << "\"; the nearest is "
          << nearestSettingName(args[0])
          << ". Nothing was changed; run \"brimvale settings\" to list them all.\n";
    return 2;
  }
  if (args.size() == 2) return change(c, *setting, args[1]);
  auto stored = readStored(c);
  if (!stored) {
    c.err << "Couldn't read " << c.configFile.string()
          << "; nothing was changed. Check that it can be read, then try again.\nRaw error: "
          << stored.error().message() << "\n";
    return 1;
  }
  if (setting) {
    if (format == SettingsFormat::kJson) {
      c.out << versionedText(record(*setting, *stored));
    } else {
      c.out << stored->value(*setting) << "\n";
    }
    return 0;
  }
  if (format == SettingsFormat::kText) {
    c.out << listing(*stored);
    return 0;
  }
  json all = json::array();
  for (const auto& s : settingsCatalogue()) all.push_back(record(s, *stored));
  c.out << versionedText(all);
  return 0;
}

std::string settingsNames() {
  std::size_t width = 0;
  for (const auto& s : settingsCatalogue()) width = std::max(width, s.name.size());
  std::string text =
      "Settings are named section.words; each stands for one key of the application's user "
      "defaults or of brim-vale.conf:\n";
  for (const auto& s : settingsCatalogue()) {
    std::string name(s.name);
    name.resize(width + 2, ' ');
    text += "  " + name + std::string(s.key) +
            (s.store == SettingStore::kServiceConfig ? " (brim-vale.conf)\n" : "\n");
  }
  return text;
}

}  // namespace brimvale::app
