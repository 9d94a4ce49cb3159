#include "app/dashboard/dashboard_rules.h"

#include <gtest/gtest.h>

#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
using nlohmann::json;

TEST(DashboardRules, RequestsBecomeRowsOnlyWhenEveryRowIsSound) {
  brimvale::testing::TempFolder home;
  const std::string downloads = home.folder("Downloads").string();
  const PathPolicy policy(PathPolicy::rootsFor(home.path()));
  const json good = {{"action", "archive_old"}, {"src", downloads}, {"dest", ""}, {"age", 30}};
  auto with = [&](const char* key, json value) {
    json row = good;
    row[key] = std::move(value);
    return json{{"rules", {good, row}}};
  };
  struct Case {
    const char* name;
    json body;
    int status;  // 0: accepted
  };
  const Case cases[] = {
      {"sound rows", {{"rules", {good, good}}}, 0},
      {"no rules at all", json::object(), 400},
      {"row not an object", {{"rules", {good, 7}}}, 400},
      {"unknown action", with("action", "shred"), 400},
      {"negative age", with("age", -1), 400},
      {"source outside home",
       with("src", (home.path() / "../elsewhere").lexically_normal().string()), 403},
      {"home itself", with("src", home.path().string()), 403},
      {"relative source", with("src", "Downloads"), 403},
      {"cache rule needs no source", with("action", "app_cache_clean"), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto rows = rulesFromRequest(c.body, policy);
    if (c.status == 0) {
      ASSERT_TRUE(rows.has_value()) << rows.error().body;
      ASSERT_EQ(rows->size(), 2u);
      EXPECT_EQ((*rows)[0], (RuleRow{"archive_old", downloads, "", 30, ""}));
    } else {
      ASSERT_FALSE(rows.has_value());
      EXPECT_EQ(rows.error().status, c.status);
      EXPECT_NE(rows.error().body.find("Nothing was"), std::string::npos) << rows.error().body;
    }
  }
}

}  // namespace
}  // namespace brimvale::app
