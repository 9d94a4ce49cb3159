#include "apps/app_move_manifest.h"

#include <gtest/gtest.h>

#include <functional>

#include "testing/raw_name_checks.h"

namespace brimvale::apps {
namespace {

using nlohmann::json;

constexpr const char* kId = "0F8E2A52-3C1B-4D7E-9A6F-1B2C3D4E5F60";

// Only the required keys, as a minimal older record would hold them.
json requiredOnly() {
  return json{{"id", kId},
              {"version", 2},
              {"originalPath", "/Applications/Editor.app"},
              {"nvmePath", "/Volumes/Fast/BRIM-Mac/Apps/Editor.app"},
              {"displayName", "Editor"},
              {"srcSizeKB", 2048},
              {"startedAt", "2026-03-01T09:15:00Z"},
              {"updatedAt", "2026-03-01T09:16:40Z"},
              {"phase", "copying"},
              {"fractionAtLastWrite", 0.25}};
}

AppMoveManifest decoded(const json& j) {
  auto m = decodeAppMoveManifest(j.dump());
  EXPECT_TRUE(m) << (m ? "" : m.error().detail);
  return m.value_or(AppMoveManifest{});
}

TEST(AppMoveManifest, EveryKeySurvivesAWriteAndARead) {
  const std::time_t t = 1'780'000'000;
  struct Row {
    const char* key;
    std::function<void(AppMoveManifest&)> set;
  };
  const std::vector<Row> rows{
      {"version", [](auto& m) { m.version = 7; }},
      {"originalPath", [](auto& m) { m.originalPath = "/Applications/Ünïcode “Q”.app"; }},
      {"nvmePath", [](auto& m) { m.nvmePath = "/Volumes/NVMe/BRIM-Mac/Apps/Q.app"; }},
      {"bundleID", [](auto& m) { m.bundleID = "com.example.q"; }},
      {"displayName", [](auto& m) { m.displayName = "Q \"quoted\""; }},
      {"driveUUID", [](auto& m) { m.driveUUID = "5A1B-22"; }},
      {"srcSizeKB", [](auto& m) { m.srcSizeKB = 9'000'000'000'000LL; }},
      {"startedAt", [t](auto& m) { m.startedAt = t; }},
      {"updatedAt", [t](auto& m) { m.updatedAt = t + 5; }},
      {"completedAt", [t](auto& m) { m.completedAt = t + 9; }},
      {"phase", [](auto& m) { m.phase = AppMovePhase::kWaitingForDrive; }},
      {"lastError", [](auto& m) { m.lastError = "ditto failed (exit 1): no space"; }},
      {"statusMessage", [](auto& m) { m.statusMessage = "Recovered at launch — actions: []"; }},
      {"fractionAtLastWrite", [](auto& m) { m.fractionAtLastWrite = 0.1 + 0.2; }},
      {"srcContentHash", [](auto& m) { m.srcContentHash = "abc"; }},
      {"dstContentHash", [](auto& m) { m.dstContentHash = "def"; }},
      {"tccEntitlements",
       [](auto& m) {
         m.tccEntitlements = json::array({{{"key", "NSCameraUsageDescription"},
                                           {"displayName", "Camera"},
                                           {"source", "infoPlistUsageDescription"}}});
       }},
      {"updateFramework", [](auto& m) { m.updateFramework = "sparkle2Package"; }},
      {"updateFrameworkDetails",
       [](auto& m) {
         m.updateFrameworkDetails = {{"SUFeedURL", "x"}};
       }},
      {"helperReferences",
       [](auto& m) {
         m.helperReferences = json::array({{{"plistPath", "/Library/LaunchDaemons/q.plist"},
                                            {"label", "com.example.q.helper"},
                                            {"programPath", "/Applications/Q.app/q"},
                                            {"kind", "launchDaemon"}}});
       }},
      {"hadQuarantineXattr", [](auto& m) { m.hadQuarantineXattr = true; }},
      {"caseSensitivitySource", [](auto& m) { m.caseSensitivitySource = "case_insensitive_apfs"; }},
      {"caseSensitivityDest", [](auto& m) { m.caseSensitivityDest = "case_sensitive_apfs"; }},
      {"rpathScanResult", [](auto& m) { m.rpathScanResult = "hardcoded_app_path"; }},
      {"rpathScanDetails",
       [](auto& m) {
         m.rpathScanDetails = json::array({{{"binaryRelativePath", "Contents/MacOS/Q"},
                                            {"loadPath", "/Applications/Q.app/lib.dylib"},
                                            {"kind", "hardcodedAppPath"}}});
       }},
      {"externalModifications",
       [t](auto& m) {
         m.externalModifications = {{t, "vendor_reinstall", "re_relocated"}, {t + 1, "x", {}}};
       }},
      {"thermalPauses",
       [t](auto& m) {
         m.thermalPauses = {{t, t + 60, 60'000}};
       }},
      {"migratedFromV1", [](auto& m) { m.migratedFromV1 = true; }},
      {"healthProbes",
       [t](auto& m) {
         m.healthProbes = {{t, ProbeOutcome::kWarn, {{"launch", "slow"}}},
                           {t + 1, ProbeOutcome::kFail, {}}};
       }},
      {"tierAtMove", [](auto& m) { m.tierAtMove = 3; }},
      {"tierReasonAtMove", [](auto& m) { m.tierReasonAtMove = "Pinned to your Dock"; }},
      {"overrideAccepted", [](auto& m) { m.overrideAccepted = true; }},
      {"consecutiveReRelocateFailures", [](auto& m) { m.consecutiveReRelocateFailures = 4; }},
      {"nextReRelocateAttemptAt", [t](auto& m) { m.nextReRelocateAttemptAt = t + 3600; }},
      {"quarantinePath",
       [](auto& m) { m.quarantinePath = "/Volumes/Int/.brimvale-quarantine/apps/unknown.x"; }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key);
    AppMoveManifest m = decoded(requiredOnly());
    const AppMoveManifest before = m;
    row.set(m);
    ASSERT_NE(m, before) << "the row must change something";
    const std::string text = encodeAppMoveManifest(m);
    EXPECT_TRUE(json::parse(text).contains(row.key));
    auto back = decodeAppMoveManifest(text);
    ASSERT_TRUE(back) << back.error().detail;
    EXPECT_EQ(*back, m);
  }
}

TEST(AppMoveManifest, PhaseAndOutcomeNamesAreStable) {
  brimvale::testing::expectRawNames(
      kAppMovePhaseNames, "writing copying verifying linking done cancelled failed waitingForDrive",
      [](AppMovePhase p) { return rawNameOf(kAppMovePhaseNames, p); },
      [](std::string_view raw) { return valueOfRaw(kAppMovePhaseNames, raw); });
  brimvale::testing::expectRawNames(
      kProbeOutcomeNames, "pass warn fail",
      [](ProbeOutcome o) { return rawNameOf(kProbeOutcomeNames, o); },
      [](std::string_view raw) { return valueOfRaw(kProbeOutcomeNames, raw); });
  for (auto [phase, unfinished] :
       std::vector<std::pair<AppMovePhase, bool>>{{AppMovePhase::kWriting, true},
                                                  {AppMovePhase::kCopying, true},
                                                  {AppMovePhase::kVerifying, true},
                                                  {AppMovePhase::kLinking, true},
                                                  {AppMovePhase::kWaitingForDrive, true},
                                                  {AppMovePhase::kDone, false},
                                                  {AppMovePhase::kCancelled, false},
                                                  {AppMovePhase::kFailed, false}}) {
    SCOPED_TRACE(rawNameOf(kAppMovePhaseNames, phase));
    EXPECT_EQ(isUnfinished(phase), unfinished);
  }
}

TEST(AppMoveManifest, ARecordWithoutARequiredKeyIsRefusedNamingTheKey) {
  for (const char* key : {"version", "originalPath", "nvmePath", "displayName", "srcSizeKB",
                          "startedAt", "updatedAt", "phase", "fractionAtLastWrite"}) {
    SCOPED_TRACE(key);
    json j = requiredOnly();
    j.erase(key);
    auto m = decodeAppMoveManifest(j.dump());
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().code, Errc::kParse);
    EXPECT_EQ(m.error().detail, std::string("missing required key ") + key);
  }
}

TEST(AppMoveManifest, MissingOptionalKeysReadAsEmpty) {
  const AppMoveManifest m = decoded(requiredOnly());
  EXPECT_EQ(m.id, kId);
  EXPECT_EQ(m.phase, AppMovePhase::kCopying);
  EXPECT_EQ(m.srcSizeKB, 2048);
  EXPECT_EQ(m.fractionAtLastWrite, 0.25);
  EXPECT_FALSE(m.bundleID);
  EXPECT_FALSE(m.completedAt);
  EXPECT_TRUE(m.tccEntitlements.empty());
  EXPECT_TRUE(m.healthProbes.empty());
  EXPECT_TRUE(m.updateFrameworkDetails.empty());
  EXPECT_FALSE(m.tierAtMove);
  EXPECT_FALSE(m.migratedFromV1);
  EXPECT_EQ(m.consecutiveReRelocateFailures, 0);
  EXPECT_TRUE(m.otherKeys.empty());
}

TEST(AppMoveManifest, ValuesOfTheWrongKindAreRefusedNamingWhere) {
  struct Row {
    const char* key;
    json value;
    const char* problem;
  };
  const std::vector<Row> rows{
      {"phase", "teleporting", "phase has the unknown value \"teleporting\""},
      {"startedAt", "yesterday", "startedAt is not an ISO 8601 date"},
      {"srcSizeKB", "big", "srcSizeKB is not a whole number"},
      {"srcSizeKB", 1.5, "srcSizeKB is not a whole number"},
      {"originalPath", nullptr, "originalPath is not a text"},
      {"overrideAccepted", 1, "overrideAccepted is not true or false"},
      {"tierAtMove", 1LL << 40, "tierAtMove is out of range"},
      {"tccEntitlements", json::array({1}),
       "tccEntitlements holds something that is not an object"},
      {"updateFrameworkDetails", {{"feed", 1}}, "updateFrameworkDetails.feed is not a text"},
      {"externalModifications", json::array({{{"kind", "x"}}}),
       "missing required key externalModifications[0].detectedAt"},
      {"healthProbes",
       json::array({{{"at", "2026-03-01T09:15:00Z"}, {"result", "pass"}},
                    {{"at", "2026-03-01T09:15:00Z"}, {"result", "maybe"}}}),
       "healthProbes[1].result has the unknown value \"maybe\""},
      {"thermalPauses", json::array({"hot"}), "thermalPauses[0] is not an object"},
      {"id", "../../Documents/notes", "id \"../../Documents/notes\" is not a UUID"},
      {"id", "", "id \"\" is not a UUID"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key + (" = " + row.value.dump()));
    json j = requiredOnly();
    j[row.key] = row.value;
    auto m = decodeAppMoveManifest(j.dump());
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().detail, row.problem);
  }
}

TEST(AppMoveManifest, HandEditedAndTruncatedTextIsRefusedWithoutThrowing) {
  const std::string whole = requiredOnly().dump(2);
  for (const std::string& text :
       {whole.substr(0, whole.size() / 2), std::string(), std::string("[]"), std::string("null"),
        std::string("{\"id\": \"") + kId + "\",}", std::string("\xff\xfe{}")}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(decodeAppMoveManifest(text));
  }
}

TEST(AppMoveManifest, AMissingIdIsTakenFromTheFileNameInCanonicalForm) {
  json j = requiredOnly();
  j.erase("id");
  auto fromFile = decodeAppMoveManifest(j.dump(), "0f8e2a52-3c1b-4d7e-9a6f-1b2c3d4e5f60");
  ASSERT_TRUE(fromFile);
  EXPECT_EQ(fromFile->id, kId);
  EXPECT_FALSE(decodeAppMoveManifest(j.dump()));

  j["id"] = "0f8e2a52-3c1b-4d7e-9a6f-1b2c3d4e5f60";  // hand-edited to lower case
  EXPECT_EQ(decoded(j).id, kId);
}

TEST(AppMoveManifest, EncodingIsPrettySortedAndRepeatable) {
  AppMoveManifest m = decoded(requiredOnly());
  m.bundleID = "com.example.editor";
  m.healthProbes = {{m.startedAt, ProbeOutcome::kPass, {{"z", "1"}, {"a", "2"}}}};
  const std::string text = encodeAppMoveManifest(m);
  EXPECT_EQ(text, encodeAppMoveManifest(decoded(json::parse(text))));
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find("\n  \"bundleID\": \"com.example.editor\",\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"startedAt\": \"2026-03-01T09:15:00Z\""), std::string::npos);
  // Keys appear in sorted order at every level.
  const auto ordered = nlohmann::ordered_json::parse(text);
  std::vector<std::string> keys;
  for (const auto& [key, value] : ordered.items()) keys.push_back(key);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_LT(text.find("\"a\": \"2\""), text.find("\"z\": \"1\""));
}

TEST(AppMoveManifest, KeysOfANewerProgramAreKeptThroughARewrite) {
  json j = requiredOnly();
  j["sealedAt"] = "2027-01-01T00:00:00Z";
  j["futureList"] = json::array({1, 2});
  const AppMoveManifest m = decoded(j);
  EXPECT_EQ(m.otherKeys, json({{"futureList", {1, 2}}, {"sealedAt", "2027-01-01T00:00:00Z"}}));
  const json written = json::parse(encodeAppMoveManifest(m));
  EXPECT_EQ(written["sealedAt"], "2027-01-01T00:00:00Z");
  EXPECT_EQ(written["futureList"], json::array({1, 2}));
}

TEST(AppMoveManifest, CanonicalUuid) {
  struct Row {
    std::string_view text;
    std::optional<std::string> canonical;
  };
  for (const auto& row : std::vector<Row>{
           {kId, kId},
           {"0f8e2a52-3c1b-4d7e-9a6f-1b2c3d4e5f60", kId},
           {"0F8E2A52-3C1B-4D7E-9A6F-1B2C3D4E5F6", std::nullopt},
           {"0F8E2A52-3C1B-4D7E-9A6F-1B2C3D4E5F600", std::nullopt},
           {"0F8E2A52+3C1B-4D7E-9A6F-1B2C3D4E5F60", std::nullopt},
           {"0F8E2A52-3C1B-4D7E-9A6F-1B2C3D4E5G60", std::nullopt},
           {"0F8E2A52-3C1B-4D7E-9A6F/1B2C3D4E5F60", std::nullopt},
       }) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(canonicalUuid(row.text), row.canonical);
  }
}

}  // namespace
}  // namespace brimvale::apps
