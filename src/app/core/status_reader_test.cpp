#include "app/core/status_reader.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {

// A snapshot as the service writes it for a usable drive.
nlohmann::json fullSnapshot() {
  return nlohmann::json::parse(R"({
  "timestamp": "2026-05-01T03:00:00Z", "version": 1, "nvme_path": "/Volumes/NVMe",
  "mounted": true, "marker_ok": true, "nvme_free_gb": 812, "nvme_total_gb": 1000,
  "nvme_free_bytes": 812000000000, "nvme_total_bytes": 1000000000000,
  "internal_free_gb": 110, "internal_total_gb": 494, "internal_free_bytes": 110343344128,
  "internal_total_bytes": 494384795648, "idle_secs": 42, "quiet_hours": true, "paused": false,
  "auto_enabled": true, "last_run": null, "last_event": "started", "low_space_warn_gb": 40,
  "low_space_critical_gb": 15, "auto_relocate_hour": 3, "quiet_hours_blocked": "9-19",
  "quiet_mode": "schedule", "quiet_reason": "scheduled window 9-19", "smart_idle_minutes": 5,
  "smart_min_battery": 30, "smart_respect_meetings": true, "on_battery": false,
  "battery_pct": 100, "meeting_active": false, "rule_count": 2, "app_cache_path_count": 0
})");
}

TEST(StatusReader, RequiredKeysDecideWhetherASnapshotDecodes) {
  struct Case {
    const char* key;
    bool required;
  };
  const Case cases[] = {
      {"timestamp", true},
      {"mounted", true},
      {"paused", true},
      {"rule_count", true},
      {"nvme_free_gb", false},
      {"battery_pct", false},
      {"internal_free_bytes", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    nlohmann::json doc = fullSnapshot();
    doc.erase(c.key);
    auto s = decodeStatus(doc.dump());
    EXPECT_EQ(s.has_value(), !c.required);
    if (!s) {
      EXPECT_EQ(s.error().kind, StatusReadError::kUndecodableSnapshot);
    }
  }
}

TEST(StatusReader, RejectsWrongTypesAndBrokenText) {
  for (const char* text : {"", "{", "[]", "null", R"({"timestamp": 5})"}) {
    SCOPED_TRACE(text);
    auto s = decodeStatus(text);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().id(), "undecodable-snapshot");
  }
  nlohmann::json doc = fullSnapshot();
  doc["mounted"] = "yes";
  EXPECT_FALSE(decodeStatus(doc.dump()).has_value());
}

TEST(StatusReader, AMissingEmptyOrDamagedFileHoldsNoSnapshot) {
  brimvale::testing::TempFolder dir;
  dir.file("empty.json", "");
  dir.file("junk.json", "{\"timestamp\": \"2026-");
  for (const auto& file : {dir / "absent.json", dir / "empty.json", dir / "junk.json"}) {
    SCOPED_TRACE(file.string());
    auto status = readStatus(file);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().kind, StatusReadError::kMissingSnapshot);
    EXPECT_NE(status.error().message().find("Your data is safe"), std::string::npos);
  }
}

}  // namespace
}  // namespace brimvale::app
