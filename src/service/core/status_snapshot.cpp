#include "service/core/status_snapshot.h"

#include <filesystem>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/json_writer.h"
#include "common/base/platform_words.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/service_log.h"
#include "platform/byte_count_format.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

// A configured number as written, so the snapshot shows what the user set;
// a value that is not a number is shown as the value actually in force.
std::string configuredNumber(const ServiceConfig& cfg, std::string_view key) {
  const std::string& raw = cfg.get(key);
  if (isJsonNumber(raw)) return raw;
  return std::to_string(cfg.getInt(key));
}

// A size in the status text, as this platform's sentences count it.
std::string sizeText(std::uint64_t bytes) {
  return platform::gigabytesText(static_cast<std::int64_t>(bytes),
                                 static_cast<std::int64_t>(decimalGb(bytes)));
}

}  // namespace

bool driveUsable(ServiceContext& ctx) {
  const ServiceConfig& cfg = ctx.cfg();
  if (!ctx.platform.mounts->isMountedAt(cfg.nvme())) return false;
  return pathExists(fs::path(cfg.base()) / kMarkerFileName).value_or(false);
}

bool isPaused(const ServiceContext& ctx) { return pathExists(ctx.paths.paused).value_or(false); }

void markLastRun(ServiceContext& ctx, std::string_view origin) {
  bestEffort(writeFileAtomically(ctx.paths.lastAutoRun,
                                 localMinute(ctx.clock()) + " (" + std::string(origin) + ")\n"),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "noting the last run");
}

StatusSnapshot gatherStatus(ServiceContext& ctx) {
  const ServiceConfig& cfg = ctx.cfg();
  const std::time_t now = ctx.clock();
  StatusSnapshot s;
  s.timestamp = isots(now);
  s.nvmePath = cfg.nvme();
  s.mounted = ctx.platform.mounts->isMountedAt(cfg.nvme());
  s.markerOk = pathExists(fs::path(cfg.base()) / kMarkerFileName).value_or(false);
  if (s.driveUsable()) {
    platform::VolumeSpace drive = ctx.platform.volumes->measure(cfg.nvme());
    s.nvmeFreeBytes = drive.freeBytes;
    s.nvmeTotalBytes = drive.totalBytes;
  }
  platform::VolumeSpace internal = ctx.platform.volumes->measure("/");
  s.internalFreeBytes = internal.freeBytes;
  s.internalTotalBytes = internal.totalBytes;
  s.idleSecs = ctx.platform.activity->idleSeconds();
  platform::PowerState power = ctx.platform.activity->power();
  s.onBattery = power.onBattery;
  s.batteryPct = power.batteryPercent;
  s.meetingActive = meetingFlagFresh(ctx.paths.meetingFlag, now);
  s.quiet = isQuietNow({
      .mode = cfg.get(config_keys::kQuietMode),
      .blockedHours = cfg.get(config_keys::kQuietHoursBlocked),
      .idleThresholdSecs = cfg.getInt(config_keys::kIdleThresholdSecs),
      .smartIdleMinutes = cfg.getInt(config_keys::kSmartIdleMinutes),
      .smartMinBattery = cfg.getInt(config_keys::kSmartMinBattery),
      .respectMeetings = cfg.flag(config_keys::kSmartRespectMeetings),
      .hour = localHour(now),
      .idleSecs = s.idleSecs,
      .onBattery = s.onBattery,
      .batteryPercent = s.batteryPct,
      .meetingFresh = s.meetingActive,
  });
  s.paused = isPaused(ctx);
  s.autoEnabled = cfg.flag(config_keys::kEnableAutoActions);
  if (auto text = readFile(ctx.paths.lastAutoRun)) {
    auto lines = splitLines(*text);
    s.lastRun = lines.empty() ? std::string() : std::string(lines.front());
  }
  auto last = lastLogLines(ctx.paths.log, 1);
  if (!last.empty()) s.lastEvent = withoutControlBytes(last.back());
  s.ruleCount = cfg.array(config_keys::kRules).size();
  s.appCachePathCount = cfg.array(config_keys::kAppCachePaths).size();
  return s;
}

std::string renderStatusJson(const StatusSnapshot& s, const ServiceConfig& cfg) {
  JsonObjectWriter w(JsonObjectWriter::Style::kPretty);
  w.string("timestamp", s.timestamp).number("version", 1).string("nvme_path", s.nvmePath);
  w.boolean("mounted", s.mounted).boolean("marker_ok", s.markerOk);
  if (s.driveUsable()) {
    w.number("nvme_free_gb", decimalGb(s.nvmeFreeBytes));
    w.number("nvme_total_gb", decimalGb(s.nvmeTotalBytes));
    w.number("nvme_free_bytes", s.nvmeFreeBytes).number("nvme_total_bytes", s.nvmeTotalBytes);
  } else {
    w.null("nvme_free_gb").null("nvme_total_gb");
    w.number("nvme_free_bytes", 0).number("nvme_total_bytes", 0);
  }
  w.number("internal_free_gb", decimalGb(s.internalFreeBytes))
      .number("internal_total_gb", decimalGb(s.internalTotalBytes))
      .number("internal_free_bytes", s.internalFreeBytes)
      .number("internal_total_bytes", s.internalTotalBytes)
      .number("idle_secs", s.idleSecs)
      .boolean("quiet_hours", s.quiet.quiet)
      .boolean("paused", s.paused)
      .boolean("auto_enabled", s.autoEnabled);
  if (s.lastRun) {
    w.string("last_run", *s.lastRun);
  } else {
    w.null("last_run");
  }
  w.string("last_event", s.lastEvent)
      .raw("low_space_warn_gb", configuredNumber(cfg, config_keys::kLowSpaceWarnGb))
      .raw("low_space_critical_gb", configuredNumber(cfg, config_keys::kLowSpaceCriticalGb))
      .raw("auto_relocate_hour", configuredNumber(cfg, config_keys::kAutoRelocateHour))
      .string("quiet_hours_blocked", cfg.get(config_keys::kQuietHoursBlocked))
      .string("quiet_mode", cfg.get(config_keys::kQuietMode))
      .string("quiet_reason", s.quiet.reason)
      .raw("smart_idle_minutes", configuredNumber(cfg, config_keys::kSmartIdleMinutes))
      .raw("smart_min_battery", configuredNumber(cfg, config_keys::kSmartMinBattery))
      .boolean("smart_respect_meetings", cfg.flag(config_keys::kSmartRespectMeetings))
      .boolean("on_battery", s.onBattery)
      .number("battery_pct", s.batteryPct)
      .boolean("meeting_active", s.meetingActive)
      .number("rule_count", static_cast<std::uint64_t>(s.ruleCount))
      .number("app_cache_path_count", static_cast<std::uint64_t>(s.appCachePathCount));
  return w.str();
}

std::string renderStatusText(const StatusSnapshot& s, const ServiceConfig& cfg,
                             const StatePaths& paths) {
  const std::string mode = cfg.get(config_keys::kQuietMode);
  std::string out = "== " + std::string(kHostWords.serviceTitle) + " status ==\n";
  if (s.driveUsable()) {
    out += "NVMe:     mounted at " + s.nvmePath + "  (free " + sizeText(s.nvmeFreeBytes) + ")\n";
  } else if (s.mounted) {
    out += "NVMe:     mounted at " + s.nvmePath + " but MARKER MISSING\n";
  } else {
    out += "NVMe:     NOT MOUNTED\n";
  }
  out += "Internal: " + (kHostWords.wholeGigabytes
                             ? std::to_string(decimalGb(s.internalFreeBytes)) + " / " +
                                   std::to_string(decimalGb(s.internalTotalBytes)) + " GB free\n"
                             : sizeText(s.internalFreeBytes) + " free of " +
                                   sizeText(s.internalTotalBytes) + "\n");
  out += "Idle:     " + std::to_string(s.idleSecs) + "s\n";
  if (s.quiet.quiet) {
    out += "Quiet:    yes (mode=" + mode + ", " +
           (s.quiet.reason.empty() ? std::string("no reason") : s.quiet.reason) + ")\n";
  } else {
    out += "Quiet:    no (mode=" + mode + " \u2014 OK to run)\n";
  }
  out += "Battery:  " + std::to_string(s.batteryPct) +
         (s.onBattery ? "% on battery\n" : "% on AC power\n");
  if (s.meetingActive) out += "Meeting:  camera or mic in use\n";
  out += s.paused ? "State:    PAUSED\n" : "State:    active\n";
  if (s.lastRun) out += "Last run: " + *s.lastRun + "\n";
  out += "\nConfig:   " + paths.config.string() + "\n";
  out += "Log:      " + paths.log.string() + "\n";
  out += "Status:   " + paths.statusJson.string() + "\n";
  return out;
}

WrittenSnapshot writeStatusJson(ServiceContext& ctx) {
  std::string json = renderStatusJson(gatherStatus(ctx), ctx.cfg());
  // Rewritten on every tick and every `json`; a flush would cost more than
  // everything else the snapshot does.
  Result<void> saved =
      writeFileAtomically(ctx.paths.statusJson, json, {.durability = Durability::kRebuilt});
  return {std::move(json), std::move(saved)};
}

}  // namespace brimvale::service
