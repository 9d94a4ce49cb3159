#include "apps/app_move_manifest.h"

#include <gtest/gtest.h>

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

// A record with every key set survives a write and a read.
TEST(AppMoveManifest, EveryKeySurvivesAWriteAndARead) {
  const std::time_t t = 1'780'000'000;
  AppMoveManifest m = decoded(requiredOnly());
  m.version = 7;
  m.originalPath = "/Applications/Ünïcode “Q”.app";
  m.bundleID = "com.example.q";
  m.displayName = "Q \"quoted\"";
  m.driveUUID = "5A1B-22";
  m.srcSizeKB = 9'000'000'000'000LL;
  m.startedAt = t;
  m.updatedAt = t + 5;
  m.completedAt = t + 9;
  m.phase = AppMovePhase::kWaitingForDrive;
  m.lastError = "ditto failed (exit 1): no space";
  m.statusMessage = "Recovered at launch — actions: []";
  m.fractionAtLastWrite = 0.1 + 0.2;
  m.srcContentHash = "abc";
  m.dstContentHash = "def";
  m.tccEntitlements = json::array({{{"key", "NSCameraUsageDescription"},
                                    {"displayName", "Camera"},
                                    {"source", "infoPlistUsageDescription"}}});
  m.updateFramework = "sparkle2Package";
  m.updateFrameworkDetails = {{"SUFeedURL", "x"}};
  m.helperReferences = json::array({{{"plistPath", "/Library/LaunchDaemons/q.plist"},
                                     {"label", "com.example.q.helper"},
                                     {"programPath", "/Applications/Q.app/q"},
                                     {"kind", "launchDaemon"}}});
  m.hadQuarantineXattr = true;
  m.caseSensitivitySource = "case_insensitive_apfs";
  m.caseSensitivityDest = "case_sensitive_apfs";
  m.rpathScanResult = "hardcoded_app_path";
  m.rpathScanDetails = json::array({{{"binaryRelativePath", "Contents/MacOS/Q"},
                                     {"loadPath", "/Applications/Q.app/lib.dylib"},
                                     {"kind", "hardcodedAppPath"}}});
  m.externalModifications = {{t, "vendor_reinstall", "re_relocated"}, {t + 1, "x", {}}};
  m.thermalPauses = {{t, t + 60, 60'000}};
  m.migratedFromV1 = true;
  m.healthProbes = {{t, ProbeOutcome::kWarn, {{"launch", "slow"}}},
                    {t + 1, ProbeOutcome::kFail, {}}};
  m.tierAtMove = 3;
  m.tierReasonAtMove = "Pinned to your Dock";
  m.overrideAccepted = true;
  m.consecutiveReRelocateFailures = 4;
  m.nextReRelocateAttemptAt = t + 3600;
  m.quarantinePath = "/Volumes/Int/.brimvale-quarantine/apps/unknown.x";
  const std::string text = encodeAppMoveManifest(m);
  auto back = decodeAppMoveManifest(text);
  ASSERT_TRUE(back) << back.error().detail;
  EXPECT_EQ(*back, m);
  EXPECT_EQ(text, encodeAppMoveManifest(*back)) << "a rewrite changes nothing";
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

TEST(AppMoveManifest, HandEditedAndTruncatedTextIsRefusedWithoutThrowing) {
  const std::string whole = requiredOnly().dump(2);
  for (const std::string& text :
       {whole.substr(0, whole.size() / 2), std::string(), std::string("[]"), std::string("null"),
        std::string("{\"id\": \"") + kId + "\",}", std::string("\xff\xfe{}")}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(decodeAppMoveManifest(text));
  }
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

}  // namespace
}  // namespace brimvale::apps
