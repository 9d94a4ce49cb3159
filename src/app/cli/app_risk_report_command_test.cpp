#include "app/cli/app_risk_report_command.h"

#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/core/apps_command_test_host.h"
#include "apps/app_catalogue_test_bundles.h"
#include "apps/dock_pins.h"
#include "apps/plist_test_data.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using apps::testing::makeBundle;

constexpr std::int64_t kNow = testing::kAppsTestNow;

class NoRecordProbe final : public platform::BundleProbe {
 public:
  std::optional<std::int64_t> lastUsed(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  bool appleSigned(const std::string&) override { return false; }
};

struct Inspection {
  brimvale::testing::TempFolder tmp;
  NoRecordProbe probe;
  std::ostringstream out, err;

  int run(const std::string& path, bool json = false) {
    out.str("");
    err.str("");
    AppsCommandHost host = testing::appsHostIn(tmp, probe, out, err);
    return appsInspectCommand(host, path, json);
  }
};

// A path that names no bundle gets one sentence and touches nothing, not
// even the kept facts.
TEST(AppsInspect, RefusesWhatIsNoBundle) {
  struct Case {
    const char* name;
    std::function<std::string(brimvale::testing::TempFolder&)> given;
    const char* says;
  };
  const Case cases[] = {
      {"nothing there", [](auto& tmp) { return (tmp / "root/Applications/Gone.app").string(); },
       "There is nothing at "},
      {"a folder not named .app",
       [](auto& tmp) { return tmp.folder("root/Applications/Stuff").string(); },
       "is not an application bundle"},
      {"a file named .app",
       [](auto& tmp) { return tmp.file("root/Applications/Fake.app", "x").string(); },
       "is not an application bundle"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Inspection i;
    EXPECT_EQ(i.run(c.given(i.tmp)), 1);
    EXPECT_NE(i.err.str().find(c.says), std::string::npos) << i.err.str();
    EXPECT_TRUE(i.err.str().ends_with(" Nothing was changed.\n"));
    EXPECT_TRUE(i.out.str().empty());
    EXPECT_FALSE(fs::exists(i.tmp / "state"));
  }
}

// A bundle outside the application folders, named with a trailing slash,
// whose updater and launch agent are both found and printed.
TEST(AppsInspect, ShowsEveryFindingOfABundleAnywhere) {
  Inspection i;
  const fs::path bundle =
      makeBundle(i.tmp / "elsewhere", "Tool",
                 {{"CFBundleIdentifier", "com.example.tool"}, {"NSCameraUsageDescription", "x"}});
  i.tmp.file("home/Library/LaunchAgents/com.example.tool.agent.plist",
             apps::testing::xmlPlist(
                 apps::testing::stringEntry("Label", "com.example.tool.agent") +
                 apps::testing::stringEntry("Program", bundle.string() + "/Contents/MacOS/agent")));
  i.tmp.file(
      "elsewhere/Tool.app/Contents/Frameworks/Sparkle.framework/Resources/Info.plist",
      apps::testing::xmlPlist(apps::testing::stringEntry("CFBundleShortVersionString", "2.6.0")));

  ASSERT_EQ(i.run(bundle.string() + "/"), 0) << i.err.str();
  const std::string text = i.out.str();
  for (const std::string part :
       {"Tool (" + bundle.string() + ")\n", std::string("Tier 3, Override: There's a known risk"),
        std::string("Reason: An installed launchd registration (`com.example.tool.agent`)"),
        std::string("Update framework: sparkle2App. Uses Sparkle for auto-updates."),
        std::string("  sparkle_version: 2.6.0\n"),
        std::string("  Camera (NSCameraUsageDescription, Info.plist usage description)\n"),
        std::string("Load paths that hard-code this bundle's location: none\n"),
        "  com.example.tool.agent (your launch agent, " +
            (i.tmp / "home/Library/LaunchAgents/com.example.tool.agent.plist").string() +
            ") runs " + bundle.string() + "/Contents/MacOS/agent\n"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\nin:\n" << text;
  }

  ASSERT_EQ(i.run(bundle.string(), true), 0);
  const auto doc = nlohmann::json::parse(i.out.str());
  EXPECT_EQ(doc["tier"], 3);
  EXPECT_EQ(doc["tierBadge"], "Override");
  EXPECT_EQ(doc["scanned"], true);
  EXPECT_EQ(doc["updateFramework"], "sparkle2App");
  EXPECT_EQ(doc["updateFrameworkDetails"],
            nlohmann::json::parse(R"([{"name":"install_type","value":"application"},)"
                                  R"({"name":"sparkle_version","value":"2.6.0"}])"));
  EXPECT_EQ(doc["tccEntitlements"][0]["source"], "infoPlistUsageDescription");
  EXPECT_EQ(doc["helperReferences"][0]["kind"], "launchAgentUser");
  EXPECT_EQ(doc["bundlePath"], bundle.string());
}

// A relocated app (a link, its drive away) is blocked without scanning, and
// says so instead of listing empty findings.
TEST(AppsInspect, ABlockedAppIsNotScanned) {
  Inspection i;
  i.tmp.folder("root/Applications");
  i.tmp.link("root/Applications/Away.app", i.tmp / "Volumes/Gone/Away.app");
  ASSERT_EQ(i.run((i.tmp / "root/Applications/Away.app").string()), 0) << i.err.str();
  EXPECT_NE(i.out.str().find("Tier 4, Blocked"), std::string::npos);
  EXPECT_NE(i.out.str().find("Reason: Already relocated to NVMe."), std::string::npos);
  EXPECT_NE(i.out.str().find("not inspected further"), std::string::npos);
  EXPECT_EQ(i.out.str().find("Update framework"), std::string::npos);
}

}  // namespace
}  // namespace brimvale::app
