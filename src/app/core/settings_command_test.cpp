#include "app/core/settings_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

using brimvale::testing::TempFolder;

constexpr std::string_view kConfig =
    "# Brimvale configuration\n"
    "NVMe=\"/Volumes/NVMe\"\n"
    "DISABLE_DELETE=1  # keep my files\n"
    "RULES=(\n"
    "  \"archive_old | $HOME/Downloads | Downloads-Archive | 90 | \"\n"
    ")\n";

struct Rig {
  TempFolder dir;
  std::filesystem::path config = dir.path() / "brim-vale.conf";
  std::filesystem::path defaultsFile = dir.path() / "user-defaults.json";
  std::unique_ptr<platform::UserDefaults> defaults = platform::makeJsonUserDefaults(defaultsFile);
  std::ostringstream out, err;

  Rig() { dir.file("brim-vale.conf", std::string(kConfig)); }
  int run(const std::vector<std::string>& args, SettingsFormat format = SettingsFormat::kText) {
    out.str("");
    err.str("");
    SettingsCommandContext c{config, *defaults, out, err};
    return settingsCommand(c, args, format);
  }
};

TEST(SettingsCommand, ChangesLandInTheirStoreAndReadBack) {
  Rig rig;
  struct Case {
    std::vector<std::string> set;
    std::string shown;
  } cases[] = {
      {{"delete.disabled", "off"}, "off"},
      {{"quiet.blocked-hours", "0-7,22-24"}, "0-7,22-24"},
      {{"mover.verification-level", "thorough"}, "thorough"},
      {{"mover.max-concurrent", "99"}, "16"},
      {{"mover.recent-write-guard", "off"}, "off"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set[0]);
    ASSERT_EQ(rig.run(c.set), 0) << rig.err.str();
    EXPECT_NE(rig.out.str().find(c.set[0] + " is now " + c.shown + "."), std::string::npos);
    ASSERT_EQ(rig.run({c.set[0]}), 0);
    EXPECT_EQ(rig.out.str(), c.shown + "\n");
  }
  const std::string config = *readFile(rig.config);
  EXPECT_NE(config.find("DISABLE_DELETE=0\n"), std::string::npos) << config;
  EXPECT_NE(config.find("QUIET_HOURS_BLOCKED='0-7,22-24'\n"), std::string::npos) << config;
  EXPECT_TRUE(config.starts_with("# Brimvale configuration\nNVMe=\"/Volumes/NVMe\"\n")) << config;
  EXPECT_NE(config.find("  \"archive_old | $HOME/Downloads | Downloads-Archive | 90 | \"\n)\n"),
            std::string::npos);
  EXPECT_EQ(rig.defaults->getString("brimvale.mover.verificationLevel"), "thorough");
  EXPECT_EQ(rig.defaults->getInt("brimvale.mover.maxConcurrent"), 16);
  EXPECT_EQ(rig.defaults->getBool("brimvale.mover.recentWriteGuardEnabled"), false);
}

// Given a mistake, then the exit status is 2, the sentence says what to do,
// and neither store changes by a byte.
TEST(SettingsCommand, MistakesExitTwoAndWriteNothing) {
  Rig rig;
  ASSERT_TRUE(rig.defaults->setString("brimvale.mover.verificationLevel", "off"));
  const std::string defaultsBefore = *readFile(rig.defaultsFile);
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"DISABLE_DELETE", "0"},
       "There is no setting called \"DISABLE_DELETE\"; the nearest is "
       "delete.disabled. Nothing was changed;"},
      {{"delete.disabled", "maybe"},
       "\"maybe\" is not a value delete.disabled can take: use on or off. Nothing was changed.\n"},
      {{"auto.hour", "25"}, "use a whole number from 0 to 23. Nothing was changed.\n"},
      {{"mover.verification-level", "paranoid"}, "use fast, thorough or off."},
      {{"quiet.blocked-hours", "22-6"}, "such as 9-19 or 0-7,22-24."},
      {{"delete.disabled", "on", "now"}, "at most one value, but was given 3 words"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    EXPECT_EQ(rig.run(c.args), 2);
    EXPECT_NE(rig.err.str().find(c.says), std::string::npos) << rig.err.str();
    EXPECT_EQ(rig.out.str(), "");
    EXPECT_EQ(*readFile(rig.config), kConfig);
    EXPECT_EQ(*readFile(rig.defaultsFile), defaultsBefore);
  }
}

TEST(SettingsCommand, AStoreThatCannotTakeTheValueIsLeftAsItWas) {
  Rig rig;
  rig.dir.file("user-defaults.json", "{ half written");
  EXPECT_EQ(rig.run({"mover.max-concurrent", "3"}), 1);
  EXPECT_NE(rig.err.str().find("Couldn't save mover.max-concurrent, so it keeps its old value"),
            std::string::npos)
      << rig.err.str();
  EXPECT_EQ(*readFile(rig.defaultsFile), "{ half written");

  // Before installation there is no configuration: creating one would stop
  // the installer from writing its template.
  std::filesystem::remove(rig.config);
  EXPECT_EQ(rig.run({"delete.disabled", "on"}), 1);
  EXPECT_NE(rig.err.str().find("isn't installed yet, so delete.disabled can't be saved"),
            std::string::npos)
      << rig.err.str();
  EXPECT_FALSE(std::filesystem::exists(rig.config));
  ASSERT_EQ(rig.run({"delete.disabled"}), 0);
  EXPECT_EQ(rig.out.str(), "off\n");
}

TEST(SettingsCommand, ListsEverySettingWithItsValueInTextAndJson) {
  Rig rig;
  ASSERT_EQ(rig.run({}), 0);
  EXPECT_NE(rig.out.str().find("\ndelete.disabled = on\n    \u201conly move, never delete\u201d "
                               "(Settings \u2192 Free Up Space): personal files are never "
                               "deleted\n    takes on or off; default off\n"),
            std::string::npos)
      << rig.out.str();
  EXPECT_NE(rig.out.str().find("\nmover.max-concurrent = 5\n    folder moves that may run at the "
                               "same time\n    takes a whole number from 1 to 16; default 5\n"),
            std::string::npos);

  ASSERT_EQ(rig.run({}, SettingsFormat::kJson), 0);
  const auto all = nlohmann::json::parse(rig.out.str());
  ASSERT_TRUE(all.is_array());
  const auto entry = std::find_if(all.begin(), all.end(),
                                  [](const auto& e) { return e["name"] == "delete.disabled"; });
  ASSERT_NE(entry, all.end());
  EXPECT_EQ((*entry)["key"], "DISABLE_DELETE");
  EXPECT_EQ((*entry)["store"], "service-config");
  EXPECT_EQ((*entry)["value"], true);
  EXPECT_EQ((*entry)["default"], false);

  ASSERT_EQ(rig.run({"space.warn-gb"}, SettingsFormat::kJson), 0);
  EXPECT_EQ(nlohmann::json::parse(rig.out.str())["value"], 40);
}

}  // namespace
}  // namespace brimvale::app
