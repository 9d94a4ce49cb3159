#include "common/state/service_config.h"

#include <array>
#include <charconv>
#include <optional>
#include <system_error>
#include <utility>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/state/config_keys.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

// The Mac desktop mounts every drive under /Volumes by its name, so one path
// can be assumed. Linux desktops mount under /media/$USER, /run/media/$USER or
// /mnt by label, so there no drive is assumed until the user picks one.
#if defined(__APPLE__)
constexpr std::string_view kDefaultNvme = "/Volumes/NVMe";
constexpr std::string_view kTemplateNvme = "\"/Volumes/NVMe\"";
#else
constexpr std::string_view kDefaultNvme = "";
constexpr std::string_view kTemplateNvme = "\"\"";
#endif

constexpr std::array kConfigKeys{
    ConfigKey{config_keys::kNvme, kDefaultNvme},
    ConfigKey{config_keys::kBase, ""},
    ConfigKey{config_keys::kEnableAutoActions, "0"},
    ConfigKey{config_keys::kWatchIntervalSecs, "30"},
    ConfigKey{config_keys::kRemountRetries, "3"},
    ConfigKey{config_keys::kRemountBackoffSecs, "5"},
    ConfigKey{config_keys::kLowSpaceWarnGb, "40"},
    ConfigKey{config_keys::kLowSpaceCriticalGb, "15"},
    ConfigKey{config_keys::kQuietMode, "schedule"},
    ConfigKey{config_keys::kQuietHoursBlocked, "9-19"},
    ConfigKey{config_keys::kIdleThresholdSecs, "600"},
    ConfigKey{config_keys::kSmartIdleMinutes, "5"},
    ConfigKey{config_keys::kSmartMinBattery, "30"},
    ConfigKey{config_keys::kSmartRespectMeetings, "1"},
    ConfigKey{config_keys::kAutoRelocateDaily, "1"},
    ConfigKey{config_keys::kAutoRelocateHour, "3"},
    ConfigKey{config_keys::kMinAgeHardFloorDays, "7"},
    ConfigKey{config_keys::kDisableDelete, "0"},
    ConfigKey{config_keys::kDeleteToTrash, "0"},
    ConfigKey{config_keys::kMinArchiveDays, "0"},
    ConfigKey{config_keys::kMinDeleteDays, "0"},
    ConfigKey{config_keys::kIncludeCloudEvict, "0"},
    ConfigKey{config_keys::kOptimiseCloudProviders, ""},
    ConfigKey{config_keys::kNotifySoundAlert, "Funk"},
    ConfigKey{config_keys::kNotifySoundInfo, "Tink"},
    ConfigKey{config_keys::kNotifyOnOkRun, "0"},
    ConfigKey{config_keys::kHistoryMaxDays, "365"},
    ConfigKey{config_keys::kSelfBackupRetentionDays, "7"},
    ConfigKey{config_keys::kCloudEvictFailBreakerLimit, "10"},
    ConfigKey{config_keys::kRules, "", true},
    ConfigKey{config_keys::kAppCachePaths, "", true},
    ConfigKey{config_keys::kAppCacheSafeDirs, "", true},
    ConfigKey{config_keys::kExcludes, "", true},
    ConfigKey{config_keys::kAllowedFilesystems, kHostWords.allowedFilesystems},
    ConfigKey{config_keys::kWarnFilesystems, kHostWords.warnFilesystems},
    ConfigKey{config_keys::kBlockFilesystems, kHostWords.blockFilesystems},
    ConfigKey{config_keys::kBenchSizeMb, "128"},
    ConfigKey{config_keys::kMinReadMbps, "40"},
    ConfigKey{config_keys::kMinWriteMbps, "25"},
    ConfigKey{config_keys::kWarnBelowReadMbps, "120"},
    ConfigKey{config_keys::kWarnBelowWriteMbps, "80"},
};

// One assignment of the fresh installation's file; `value` is written as it
// stands, quotes included.
struct TemplateAssignment {
  std::string_view key;
  std::string_view value;
};

constexpr std::string_view kTemplateHeader = "# Brimvale configuration";

constexpr std::array kTemplateAssignments{
    TemplateAssignment{config_keys::kNvme, kTemplateNvme},
    TemplateAssignment{config_keys::kEnableAutoActions, "1"},
    TemplateAssignment{config_keys::kWatchIntervalSecs, "30"},
    TemplateAssignment{config_keys::kLowSpaceWarnGb, "40"},
    TemplateAssignment{config_keys::kLowSpaceCriticalGb, "15"},
    TemplateAssignment{config_keys::kQuietHoursBlocked, "\"9-19\""},
    TemplateAssignment{config_keys::kIdleThresholdSecs, "600"},
    TemplateAssignment{config_keys::kAutoRelocateDaily, "1"},
    TemplateAssignment{config_keys::kAutoRelocateHour, "3"},
    TemplateAssignment{config_keys::kMinAgeHardFloorDays, "7"},
    TemplateAssignment{config_keys::kRules, "()"},
    TemplateAssignment{config_keys::kAppCachePaths, "()"},
    TemplateAssignment{config_keys::kAppCacheSafeDirs, "()"},
    TemplateAssignment{config_keys::kExcludes, "()"},
};

const ConfigKey* findKey(std::string_view name) {
  for (const ConfigKey& key : kConfigKeys) {
    if (key.name == name) return &key;
  }
  return nullptr;
}

// The configured text of a value as a shell would expand "$KEY".
std::string_view scalarOf(const ConfigValue& value) {
  if (!value.isArray) return value.scalar;
  return value.elements.empty() ? std::string_view{} : std::string_view(value.elements.front());
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  std::int64_t number = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, number);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return number;
}

// A pinned working folder is trusted only when it is provably one of ours;
// a relative path would depend on the current folder, so it never is.
bool isPinnableBase(const fs::path& base) {
  return base.is_absolute() && isDirectory(base).value_or(false) &&
         isRegularFile(base / kMarkerFileName).value_or(false);
}

}  // namespace

std::span<const ConfigKey> configKeys() { return kConfigKeys; }

ServiceConfig ServiceConfig::fromValues(ConfigValues values, std::string_view workingFolderName) {
  ServiceConfig config;
  for (auto& [name, value] : values) {
    if (findKey(name)) config.values_.emplace(name, std::move(value));
  }
  // "/Volumes/X/" names the same drive as "/Volumes/X", and the mount table
  // only knows the second spelling.
  std::string nvme = config.get(config_keys::kNvme);
  while (nvme.size() > 1 && nvme.back() == '/') nvme.pop_back();
  config.nvme_ = nvme;
  // Without a drive there is no working folder: a relative one would name a
  // folder wherever the program happens to run.
  if (config.nvme_.empty()) return config;
  auto base = config.values_.find(config_keys::kBase);
  fs::path pinned = base == config.values_.end() ? fs::path() : fs::path(scalarOf(base->second));
  config.base_ =
      !pinned.empty() && isPinnableBase(pinned) ? pinned : config.nvme_ / workingFolderName;
  return config;
}

std::string ServiceConfig::get(std::string_view key) const {
  if (key == config_keys::kBase) return base_.string();
  const ConfigKey* known = findKey(key);
  if (!known) return {};
  if (auto it = values_.find(key); it != values_.end()) {
    std::string_view configured = scalarOf(it->second);
    if (!configured.empty()) return std::string(configured);
  }
  return std::string(known->serviceDefault);
}

std::int64_t ServiceConfig::getInt(std::string_view key) const {
  if (std::optional<std::int64_t> value = parseInteger(get(key))) return *value;
  const ConfigKey* known = findKey(key);
  if (!known) return 0;
  return parseInteger(known->serviceDefault).value_or(0);
}

bool ServiceConfig::flag(std::string_view key) const { return get(key) == "1"; }

std::vector<std::string> ServiceConfig::array(std::string_view key) const {
  if (auto it = values_.find(key); it != values_.end() && it->second.isArray) {
    return it->second.elements;
  }
  std::string value = get(key);
  if (value.empty()) return {};
  return {std::move(value)};
}

Result<ServiceConfig> loadServiceConfig(const StatePaths& paths,
                                        std::string_view workingFolderName) {
  Result<std::string> text = readFile(paths.config);
  if (!text) return std::unexpected(text.error());
  return ServiceConfig::fromValues(parseConfig(*text, paths.home.string()), workingFolderName);
}

std::string configNotFoundMessage(const fs::path& configPath, const PlatformWords& words) {
  return "ERROR: config not found at " + configPath.string() + ". " +
         std::string(words.installAdvice);
}

std::string_view noDriveChosenMessage() {
  return "No drive is chosen yet, so nothing was changed and your files are safe: run "
         "`brimvale drives` to see the drives you can use, then `brimvale drives select PATH` "
         "to choose one.";
}

std::string configTemplate() {
  std::string text = std::string(kTemplateHeader) + "\n";
  for (const TemplateAssignment& line : kTemplateAssignments) {
    text += line.key;
    text += '=';
    text += line.value;
    text += '\n';
  }
  return text;
}

}  // namespace brimvale
