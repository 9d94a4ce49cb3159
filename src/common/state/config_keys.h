// The names of the settings in `brim-vale.conf`, one constant per key, so a
// reader and a writer of the same setting cannot drift apart by a typo.
#pragma once

#include <string_view>

namespace brimvale::config_keys {

// The drive and the working folder on it.
inline constexpr std::string_view kNvme = "NVMe";
inline constexpr std::string_view kBase = "BASE";

// The watch loop and remounting.
inline constexpr std::string_view kEnableAutoActions = "ENABLE_AUTO_ACTIONS";
inline constexpr std::string_view kWatchIntervalSecs = "WATCH_INTERVAL_SECS";
inline constexpr std::string_view kRemountRetries = "REMOUNT_RETRIES";
inline constexpr std::string_view kRemountBackoffSecs = "REMOUNT_BACKOFF_SECS";

// Free-space thresholds. The emergency level is read only by the storage monitor.
inline constexpr std::string_view kLowSpaceWarnGb = "LOW_SPACE_WARN_GB";
inline constexpr std::string_view kLowSpaceCriticalGb = "LOW_SPACE_CRITICAL_GB";
inline constexpr std::string_view kLowSpaceEmergencyGb = "LOW_SPACE_EMERGENCY_GB";

// When the machine counts as quiet.
inline constexpr std::string_view kQuietMode = "QUIET_MODE";
inline constexpr std::string_view kQuietHoursBlocked = "QUIET_HOURS_BLOCKED";
inline constexpr std::string_view kIdleThresholdSecs = "IDLE_THRESHOLD_SECS";
inline constexpr std::string_view kSmartIdleMinutes = "SMART_IDLE_MINUTES";
inline constexpr std::string_view kSmartMinBattery = "SMART_MIN_BATTERY";
inline constexpr std::string_view kSmartRespectMeetings = "SMART_RESPECT_MEETINGS";

// Rule runs and what they may do.
inline constexpr std::string_view kAutoRelocateDaily = "AUTO_RELOCATE_DAILY";
inline constexpr std::string_view kAutoRelocateHour = "AUTO_RELOCATE_HOUR";
inline constexpr std::string_view kMinAgeHardFloorDays = "MIN_AGE_HARD_FLOOR_DAYS";
inline constexpr std::string_view kDisableDelete = "DISABLE_DELETE";
inline constexpr std::string_view kDeleteToTrash = "DELETE_TO_TRASH";
inline constexpr std::string_view kMinArchiveDays = "MIN_ARCHIVE_DAYS";
inline constexpr std::string_view kMinDeleteDays = "MIN_DELETE_DAYS";
inline constexpr std::string_view kIncludeCloudEvict = "INCLUDE_CLOUD_EVICT";
inline constexpr std::string_view kOptimiseCloudProviders = "OPTIMISE_CLOUD_PROVIDERS";
inline constexpr std::string_view kCloudEvictFailBreakerLimit = "CLOUD_EVICT_FAIL_BREAKER_LIMIT";
inline constexpr std::string_view kRules = "RULES";
inline constexpr std::string_view kAppCachePaths = "APP_CACHE_PATHS";
inline constexpr std::string_view kAppCacheSafeDirs = "APP_CACHE_SAFE_DIRS";
// Folders and name patterns that scans, clean-ups and rules leave alone.
inline constexpr std::string_view kExcludes = "EXCLUDES";

// Notifications and history.
inline constexpr std::string_view kNotifySoundAlert = "NOTIFY_SOUND_ALERT";
inline constexpr std::string_view kNotifySoundInfo = "NOTIFY_SOUND_INFO";
inline constexpr std::string_view kNotifyOnOkRun = "NOTIFY_ON_OK_RUN";
inline constexpr std::string_view kHistoryMaxDays = "HISTORY_MAX_DAYS";
inline constexpr std::string_view kSelfBackupRetentionDays = "SELF_BACKUP_RETENTION_DAYS";

// What a drive must be to be used.
inline constexpr std::string_view kAllowedFilesystems = "ALLOWED_FILESYSTEMS";
inline constexpr std::string_view kWarnFilesystems = "WARN_FILESYSTEMS";
inline constexpr std::string_view kBlockFilesystems = "BLOCK_FILESYSTEMS";
inline constexpr std::string_view kBenchSizeMb = "BENCH_SIZE_MB";
inline constexpr std::string_view kMinReadMbps = "MIN_READ_MBPS";
inline constexpr std::string_view kMinWriteMbps = "MIN_WRITE_MBPS";
inline constexpr std::string_view kWarnBelowReadMbps = "WARN_BELOW_READ_MBPS";
inline constexpr std::string_view kWarnBelowWriteMbps = "WARN_BELOW_WRITE_MBPS";

}  // namespace brimvale::config_keys
