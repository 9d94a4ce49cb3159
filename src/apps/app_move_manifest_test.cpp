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
