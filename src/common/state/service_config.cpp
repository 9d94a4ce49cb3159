#include "common/state/service_config.h"

#include <array>
#include <charconv>
#include <optional>
#include <system_error>
#include <utility>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDefaultNvme = "/Volumes/NVMe";

constexpr std::array kConfigKeys{
    ConfigKey{"NVMe", kDefaultNvme},
    ConfigKey{"BASE", ""},
    ConfigKey{"ENABLE_AUTO_ACTIONS", "0"},
    ConfigKey{"WATCH_INTERVAL_SECS", "30"},
    ConfigKey{"REMOUNT_RETRIES", "3"},
    ConfigKey{"REMOUNT_BACKOFF_SECS", "5"},
    ConfigKey{"LOW_SPACE_WARN_GB", "40"},
    ConfigKey{"LOW_SPACE_CRITICAL_GB", "15"},
    ConfigKey{"QUIET_MODE", "schedule"},
    ConfigKey{"QUIET_HOURS_BLOCKED", "9-19"},
    ConfigKey{"IDLE_THRESHOLD_SECS", "600"},
    ConfigKey{"SMART_IDLE_MINUTES", "5"},
    ConfigKey{"SMART_MIN_BATTERY", "30"},
    ConfigKey{"SMART_RESPECT_MEETINGS", "1"},
    ConfigKey{"AUTO_RELOCATE_DAILY", "1"},
    ConfigKey{"AUTO_RELOCATE_HOUR", "3"},
    ConfigKey{"MIN_AGE_HARD_FLOOR_DAYS", "7"},
    ConfigKey{"DISABLE_DELETE", "0"},
    ConfigKey{"MIN_ARCHIVE_DAYS", "0"},
    ConfigKey{"MIN_DELETE_DAYS", "0"},
    ConfigKey{"INCLUDE_CLOUD_EVICT", "0"},
    ConfigKey{"OPTIMISE_CLOUD_PROVIDERS", ""},
    ConfigKey{"NOTIFY_SOUND_ALERT", "Funk"},
    ConfigKey{"NOTIFY_SOUND_INFO", "Tink"},
    ConfigKey{"NOTIFY_ON_OK_RUN", "0"},
    ConfigKey{"HISTORY_MAX_DAYS", "365"},
    ConfigKey{"SELF_BACKUP_RETENTION_DAYS", "7"},
    ConfigKey{"CLOUD_EVICT_FAIL_BREAKER_LIMIT", "10"},
    ConfigKey{"RULES", "", true},
    ConfigKey{"APP_CACHE_PATHS", "", true},
    ConfigKey{"APP_CACHE_SAFE_DIRS", "", true},
    ConfigKey{"ALLOWED_FILESYSTEMS", "APFS,Mac OS Extended,Journaled HFS+"},
    ConfigKey{"WARN_FILESYSTEMS", "exFAT"},
    ConfigKey{"BLOCK_FILESYSTEMS", "MS-DOS FAT32,SMB,AFP,NFS"},
    ConfigKey{"BENCH_SIZE_MB", "128"},
    ConfigKey{"MIN_READ_MBPS", "40"},
    ConfigKey{"MIN_WRITE_MBPS", "25"},
    ConfigKey{"WARN_BELOW_READ_MBPS", "120"},
    ConfigKey{"WARN_BELOW_WRITE_MBPS", "80"},
};

constexpr std::array<std::string_view, 14> kTemplateLines{
    "# Brimvale configuration",     "NVMe=\"/Volumes/NVMe\"",    "ENABLE_AUTO_ACTIONS=1",
    "WATCH_INTERVAL_SECS=30",       "LOW_SPACE_WARN_GB=40",      "LOW_SPACE_CRITICAL_GB=15",
    "QUIET_HOURS_BLOCKED=\"9-19\"", "IDLE_THRESHOLD_SECS=600",   "AUTO_RELOCATE_DAILY=1",
    "AUTO_RELOCATE_HOUR=3",         "MIN_AGE_HARD_FLOOR_DAYS=7", "RULES=()",
    "APP_CACHE_PATHS=()",           "APP_CACHE_SAFE_DIRS=()",
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
  std::string nvme = config.get("NVMe");
  while (nvme.size() > 1 && nvme.back() == '/') nvme.pop_back();
  config.nvme_ = nvme;
  auto base = config.values_.find("BASE");
  fs::path pinned = base == config.values_.end() ? fs::path() : fs::path(scalarOf(base->second));
  config.base_ =
      !pinned.empty() && isPinnableBase(pinned) ? pinned : config.nvme_ / workingFolderName;
  return config;
}

std::string ServiceConfig::get(std::string_view key) const {
  if (key == "BASE") return base_.string();
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

std::string configNotFoundMessage(const fs::path& configPath) {
  return "ERROR: config not found at " + configPath.string() + ". Run install-service.sh.";
}

std::string configTemplate() {
  std::string text;
  for (std::string_view line : kTemplateLines) {
    text += line;
    text += '\n';
  }
  return text;
}

}  // namespace brimvale
