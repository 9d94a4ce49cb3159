#include "diagnostics/storage_warning_monitor.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/base/process.h"
#include "common/base/raw_names.h"
#include "common/base/text_formats.h"
#include "common/state/config_keys.h"
#include "platform/byte_count_format.h"

namespace brimvale::diagnostics {
namespace {

using transfers::JobKind;
using transfers::JobOutcome;

constexpr std::int64_t kGigabyte = 1'000'000'000;
constexpr std::chrono::seconds kPollInterval{30};
constexpr std::chrono::seconds kPollTolerance{10};
constexpr std::chrono::seconds kRelocateDeadline{600};

// What a change into each warning state says and does.
struct Escalation {
  WarnState state;
  const char* title;
  const char* suffix;
  const char* severity;
  bool relocates;
  bool suffixNamesSystem;  // the suffix opens with the operating system's name
  const char* issueStart;  // follows "Your {startup disk}"
  const char* issueEnd;
};
constexpr std::array kEscalations{
    Escalation{WarnState::kEmergency, "STORAGE EMERGENCY — apps may fail",
               " and apps need space to function. Auto-relocate is running; free more "
               "manually if needed.",
               "emergency", true, true, " is critically low on space (",
               " free). Brimvale is freeing room now — close large apps if you can."},
    Escalation{WarnState::kCritical, "Storage CRITICAL — internal SSD almost full",
               "Brimvale is reclaiming space now.", "critical", true, false,
               " is very low on space (",
               " free). Brimvale is moving files to your fast drive to make room."},
    Escalation{WarnState::kLow, "Storage running low — internal SSD",
               "Open Brimvale to clean up or relocate data to NVMe.", "warn", false, false,
               " is running low on space (",
               " free). Try Free Up Space, or move some files to your fast drive to make room."},
};

// The ledger's name for the disk the ladder watches.
std::string issueItem() { return capitalised(kHostWords.startupDisk); }

const Escalation* escalationFor(WarnState state) {
  for (const auto& e : kEscalations) {
    if (e.state == state) return &e;
  }
  return nullptr;
}

std::optional<std::int64_t> decimalInteger(std::string_view text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::string_view trimAny(std::string_view text, std::string_view chars) {
  const auto first = text.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(chars) - first + 1);
}

std::int64_t percentFree(const VolumeMeasurement& m) {
  return m.totalBytes > 0 ? m.freeBytes * 100 / m.totalBytes : 0;
}

// The first `count` characters of UTF-8 text (a character never split).
std::string firstCharacters(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < text.size() && seen < count; ++seen) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return std::string(text.substr(0, i));
}

}  // namespace

std::string_view warnStateRaw(WarnState state) { return rawNameOf(kWarnStateNames, state); }

std::optional<WarnState> warnStateFromRaw(std::string_view raw) {
  return valueOfRaw(kWarnStateNames, raw);
}

std::optional<VolumeMeasurement> measurementFrom(const std::string& path,
                                                 const platform::VolumeResourceValues& v,
                                                 std::time_t now) {
  const auto& plain = v.availableCapacity;
  const auto& important = v.availableCapacityForImportantUsage;
  if (!v.totalCapacity || (!plain && !important)) return std::nullopt;
  VolumeMeasurement m;
  m.path = path;
  m.totalBytes = *v.totalCapacity;
  m.freeBytes = plain && important ? std::max(*plain, *important) : plain ? *plain : *important;
  m.rawAvailableBytes = plain ? *plain : *important;
  m.measuredAt = now;
  return m;
}

MonitorConfig parseMonitorConfig(std::string_view text) {
  MonitorConfig config;
  for (std::string_view raw : splitLines(text)) {
    std::string_view line = trimAny(raw, " \t\r\n\v\f");
    if (line.empty() || line.front() == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = line.substr(0, eq);
    std::string_view value = trimAny(line.substr(eq + 1), "\"' ");
    if (key == config_keys::kLowSpaceWarnGb) {
      config.warnGb = decimalInteger(value).value_or(config.warnGb);
    } else if (key == config_keys::kLowSpaceCriticalGb) {
      config.criticalGb = decimalInteger(value).value_or(config.criticalGb);
    } else if (key == config_keys::kLowSpaceEmergencyGb) {
      config.emergencyGb = decimalInteger(value).value_or(config.emergencyGb);
    } else if (key == config_keys::kEnableAutoActions) {
      std::string lower(value);
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      config.autoActions = lower == "1" || lower == "true";
    }
  }
  return config;
}

MonitorConfig readMonitorConfig(const std::filesystem::path& configFile) {
  auto text = readFile(configFile);
  return text ? parseMonitorConfig(*text) : MonitorConfig{};
}

WarnState classify(const VolumeMeasurement& m, const MonitorConfig& config) {
  const std::int64_t freeGb = m.freeBytes / kGigabyte;
  const std::int64_t totalGb = m.totalBytes > kGigabyte - 1 ? m.totalBytes / kGigabyte : 1;
  const std::int64_t p10 = totalGb * 10 / 100;
  const std::int64_t p5 = totalGb * 5 / 100;
  const std::int64_t p2 = totalGb * 2 / 100;
  if (freeGb <= std::max(p2, config.emergencyGb)) return WarnState::kEmergency;
  if (freeGb <= std::max(p5, config.criticalGb)) return WarnState::kCritical;
  if (freeGb <= std::max(p10, config.warnGb)) return WarnState::kLow;
  return WarnState::kOk;
}

std::string notificationBody(const VolumeMeasurement& m, WarnState state) {
  const Escalation* e = escalationFor(state);
  return "Only " + platform::formatFileByteCount(m.freeBytes) + " left of " +
         platform::formatFileByteCount(m.totalBytes) + " (" + std::to_string(percentFree(m)) +
         "% free). " + (e && e->suffixNamesSystem ? std::string(kHostWords.system) : "") +
         (e ? e->suffix : "");
}

void sweepStaleStorageNotifications(platform::NotificationCenter& centre) {
  constexpr std::array<std::string_view, 4> kPrefixes{"Internal disk", "Storage running",
                                                      "Storage CRITICAL", "STORAGE EMERGENCY"};
  centre.removeIf([&](const platform::DeliveredNotification& n) {
    return std::any_of(kPrefixes.begin(), kPrefixes.end(),
                       [&](std::string_view p) { return n.request.title.starts_with(p); });
  });
}

StorageWarningMonitor::StorageWarningMonitor(Dependencies deps) : d_(std::move(deps)) {}

void StorageWarningMonitor::log(const std::string& line) const {
  d_.log("[StorageWarningMonitor] " + line);
}

void StorageWarningMonitor::start() {
  if (timer_) d_.scheduler.cancel(*timer_);
  timer_.reset();
  if (auto raw = d_.defaults.getString(kWarnStateDefaultsKey)) {
    if (auto restored = warnStateFromRaw(*raw)) {
      state_ = *restored;
      log("restored persisted warnState=" + *raw + " from UserDefaults");
    }
  }
  tick();
  timer_ = d_.scheduler.scheduleRepeating(
      "storage-warning.timer", std::chrono::duration_cast<std::chrono::milliseconds>(kPollInterval),
      std::chrono::duration_cast<std::chrono::milliseconds>(kPollTolerance), [this] { tick(); });
  log("storage warning monitor started (30 s poll)");
}

void StorageWarningMonitor::stop() {
  // A monitor that never ran knows nothing: the persisted state stays as it was.
  if (!timer_) return;
  d_.scheduler.cancel(*timer_);
  timer_.reset();
  const std::string raw(warnStateRaw(state_));
  bestEffort(d_.defaults.setString(kWarnStateDefaultsKey, raw),
             DiagnosticsLog(d_.paths.diagnosticsLog, d_.clock), "keeping the warning state");
  log("storage warning monitor stopped (warnState=" + raw + " persisted)");
}

void StorageWarningMonitor::tick() {
  auto m = measurementFrom("/", d_.volumes.read("/"), d_.clock());
  if (!m) return;
  last_ = m;
  const WarnState next = classify(*m, readMonitorConfig(d_.paths.config));
  const std::string freeText = platform::formatFileByteCount(m->freeBytes);
  const std::string summary = next != WarnState::kOk
                                  ? "Free space is running low (" + freeText + " free)."
                                  : "Checked free space — all good (" + freeText + " free).";
  bestEffort(d_.ledger.recordRun(JobKind::kStorageWatch, JobOutcome::kOk, summary),
             DiagnosticsLog(d_.paths.diagnosticsLog, d_.clock), "recording the free-space check");
  const std::string thread(kStorageWarningThread);
  if (next == WarnState::kOk) d_.notifications.dismiss(thread);
  if (next == state_) return;

  log("transition " + std::string(warnStateRaw(state_)) + " → " + std::string(warnStateRaw(next)) +
      " (free=" + freeText + ", pct=" + std::to_string(percentFree(*m)) + "%)");
  transition(next, *m);
  state_ = next;
  bestEffort(d_.defaults.setString(kWarnStateDefaultsKey, warnStateRaw(next)),
             DiagnosticsLog(d_.paths.diagnosticsLog, d_.clock), "keeping the warning state");
}

void StorageWarningMonitor::transition(WarnState next, const VolumeMeasurement& m) {
  const std::string thread(kStorageWarningThread);
  const Escalation* e = escalationFor(next);
  if (!e) {
    d_.notifications.dismiss(thread);
    // Earlier builds recorded the issue as "Startup disk" on every system; that one clears too.
    for (const std::string& item : {issueItem(), std::string("Startup disk")}) {
      bestEffort(d_.ledger.clearIssue(JobKind::kStorageWatch, item),
                 DiagnosticsLog(d_.paths.diagnosticsLog, d_.clock), "clearing the low-space issue");
    }
    return;
  }
  NotificationPayload payload;
  payload.severity = e->severity;
  payload.thread = thread;
  d_.notifications.post(e->title, notificationBody(m, next), payload);
  if (e->relocates) autoRelocate();
  bestEffort(d_.ledger.recordIssue(JobKind::kStorageWatch, issueItem(),
                                   "Your " + std::string(kHostWords.startupDisk) + e->issueStart +
                                       platform::formatFileByteCount(m.freeBytes) + e->issueEnd),
             DiagnosticsLog(d_.paths.diagnosticsLog, d_.clock), "recording the low-space issue");
}

void StorageWarningMonitor::autoRelocate() {
  if (!readMonitorConfig(d_.paths.config).autoActions) {
    log("auto-relocate skipped — ENABLE_AUTO_ACTIONS=0");
    return;
  }
  if (pathExists(d_.paths.paused).value_or(false)) {
    log("auto-relocate skipped — manager is paused");
    return;
  }
  ProcessInvocation invocation{.path = d_.paths.serviceProgram.string(),
                               .args = {"relocate-now"},
                               .deadline = kRelocateDeadline};
  if (!d_.rsyncPath.empty()) invocation.envAdditions.emplace_back("RSYNC", d_.rsyncPath);
  // The worker touches only its own copy of the command; logging happens on
  // the loop.
  d_.scheduler.runInBackground([invocation = std::move(invocation),
                                this]() -> std::function<void()> {
    ProcessResult r = d_.run(invocation);
    std::string line =
        r.succeeded() ? "auto-relocate completed (exit 0)"
                      : "auto-relocate exited code=" +
                            std::to_string(r.outcome == ProcessOutcome::kExited ? r.exitCode : -1) +
                            ": " + firstCharacters(r.out + r.err, 200);
    return [this, line] { log(line); };
  });
}

}  // namespace brimvale::diagnostics
