#include "app/core/status_reader.h"

#include <cerrno>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

struct Decoder {
  const json& doc;
  std::string missing;  // first problem seen

  template <class T>
  void required(const char* key, T& out) {
    auto it = doc.find(key);
    if (it == doc.end() || it->is_null()) return fault(std::string("missing key ") + key);
    read(key, *it, out);
  }

  template <class T>
  void optional(const char* key, std::optional<T>& out) {
    auto it = doc.find(key);
    if (it == doc.end() || it->is_null()) return;
    T value{};
    read(key, *it, value);
    out = value;
  }

  void read(const char* key, const json& v, std::string& out) {
    if (!v.is_string()) return fault(std::string("key ") + key + " is not a string");
    out = v.get<std::string>();
  }
  void read(const char* key, const json& v, bool& out) {
    if (!v.is_boolean()) return fault(std::string("key ") + key + " is not true or false");
    out = v.get<bool>();
  }
  void read(const char* key, const json& v, std::int64_t& out) {
    if (!v.is_number()) return fault(std::string("key ") + key + " is not a number");
    out = v.is_number_float() ? static_cast<std::int64_t>(v.get<double>()) : v.get<std::int64_t>();
  }
  void read(const char* key, const json& v, int& out) {
    std::int64_t wide = 0;
    read(key, v, wide);
    out = static_cast<int>(wide);
  }
  void fault(std::string what) {
    if (missing.empty()) missing = std::move(what);
  }
};

}  // namespace

std::string_view StatusReadFailure::id() const {
  return kind == StatusReadError::kMissingSnapshot ? "missing-snapshot" : "undecodable-snapshot";
}

std::string StatusReadFailure::message() const {
  std::string out = kind == StatusReadError::kMissingSnapshot
                        ? "The background service has not written its status yet. Your data is "
                          "safe; start the service and the status will appear."
                        : "The background service's status file could not be read. Your data is "
                          "safe; the service rewrites it within a minute.";
  if (!detail.empty()) out += " Raw error: " + detail;
  return out;
}

std::expected<ServiceStatus, StatusReadFailure> decodeStatus(std::string_view text) {
  json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) {
    return std::unexpected(
        StatusReadFailure{StatusReadError::kUndecodableSnapshot, "not a JSON object"});
  }
  ServiceStatus s;
  Decoder d{doc, {}};
  d.required("timestamp", s.timestamp);
  d.required("version", s.version);
  d.required("nvme_path", s.nvmePath);
  d.required("mounted", s.mounted);
  d.required("marker_ok", s.markerOk);
  d.optional("nvme_free_gb", s.nvmeFreeGb);
  d.optional("nvme_total_gb", s.nvmeTotalGb);
  d.optional("nvme_free_bytes", s.nvmeFreeBytes);
  d.optional("nvme_total_bytes", s.nvmeTotalBytes);
  d.required("internal_free_gb", s.internalFreeGb);
  d.required("internal_total_gb", s.internalTotalGb);
  d.optional("internal_free_bytes", s.internalFreeBytes);
  d.optional("internal_total_bytes", s.internalTotalBytes);
  d.optional("internal_purgeable_bytes", s.internalPurgeableBytes);
  d.required("idle_secs", s.idleSecs);
  d.required("quiet_hours", s.quietHours);
  d.required("paused", s.paused);
  d.required("auto_enabled", s.autoEnabled);
  d.optional("last_run", s.lastRun);
  d.optional("last_event", s.lastEvent);
  d.required("low_space_warn_gb", s.lowSpaceWarnGb);
  d.required("low_space_critical_gb", s.lowSpaceCriticalGb);
  d.required("auto_relocate_hour", s.autoRelocateHour);
  d.required("quiet_hours_blocked", s.quietHoursBlocked);
  d.optional("quiet_mode", s.quietMode);
  d.optional("quiet_reason", s.quietReason);
  d.optional("smart_idle_minutes", s.smartIdleMinutes);
  d.optional("smart_min_battery", s.smartMinBattery);
  d.optional("smart_respect_meetings", s.smartRespectMeetings);
  d.optional("on_battery", s.onBattery);
  d.optional("battery_pct", s.batteryPct);
  d.optional("meeting_active", s.meetingActive);
  d.required("rule_count", s.ruleCount);
  d.required("app_cache_path_count", s.appCachePathCount);
  if (!d.missing.empty()) {
    return std::unexpected(StatusReadFailure{StatusReadError::kUndecodableSnapshot, d.missing});
  }
  return s;
}

std::expected<ServiceStatus, StatusReadFailure> readStatus(const std::filesystem::path& file) {
  auto text = readFile(file);
  if (!text) {
    StatusReadError kind = text.error().code == Errc::kNotFound
                               ? StatusReadError::kMissingSnapshot
                               : StatusReadError::kUndecodableSnapshot;
    return std::unexpected(StatusReadFailure{kind, text.error().detail});
  }
  // An empty or damaged file (a full disk, a hand edit) holds no snapshot: every reader treats it
  // as none yet, and the next tick writes a whole one.
  auto status = decodeStatus(*text);
  if (!status) {
    return std::unexpected(
        StatusReadFailure{StatusReadError::kMissingSnapshot, status.error().detail});
  }
  return status;
}

}  // namespace brimvale::app
