#include "apps/offload_record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace brimvale::apps {
namespace {

OffloadRecord sample() {
  OffloadRecord r;
  r.id = "5F0E3C4A-1B2C-4D5E-8F90-A1B2C3D4E5F6";
  r.bundleID = "org.example.notes";
  r.displayName = "Notes";
  r.originalBundlePath = "/Applications/Notes.app";
  r.archiveDir = "/Volumes/Fast/BRIM-Desk/Offloaded/Notes-5F0E3C4A";
  r.items = {{"/Applications/Notes.app",
              "/Volumes/Fast/BRIM-Desk/Offloaded/Notes-5F0E3C4A/Notes.app", true, 4096},
             {"/home/u/.config/org.example.notes", "/x/data/1-org.example.notes", false, 12}};
  r.offloadedAt = 1'800'000'000;
  r.phase = OffloadPhase::kRemoving;
  return r;
}

TEST(OffloadRecord, DecodeIgnoresUnknownKeysAndNamesTheBadOne) {
  auto j = nlohmann::json::parse(encodeOffloadRecord(sample()));
  j["addedLater"] = {1, 2};
  auto tolerant = decodeOffloadRecord(j.dump());
  ASSERT_TRUE(tolerant) << tolerant.error().message();
  EXPECT_EQ(*tolerant, sample());

  struct Case {
    std::string key;
    nlohmann::json value;  // null: the key is removed
  };
  const std::vector<Case> cases = {
      {"displayName", nullptr},   {"phase", "resting"}, {"offloadedAt", "yesterday"},
      {"id", "../../etc/passwd"},  // names the record's file
      {"items", "none"},          {"version", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    auto broken = nlohmann::json::parse(encodeOffloadRecord(sample()));
    if (c.value.is_null()) {
      broken.erase(c.key);
    } else {
      broken[c.key] = c.value;
    }
    auto decoded = decodeOffloadRecord(broken.dump());
    ASSERT_FALSE(decoded);
    EXPECT_NE(decoded.error().detail.find("\"" + c.key + "\""), std::string::npos)
        << decoded.error().detail;
  }
}

}  // namespace
}  // namespace brimvale::apps
