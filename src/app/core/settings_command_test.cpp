#include "app/core/settings_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

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

struct SettingsRig {
  TempFolder dir;
  std::filesystem::path config = dir.path() / "brim-vale.conf";
  std::filesystem::path defaultsFile = dir.path() / "user-defaults.json";
  std::unique_ptr<platform::UserDefaults> defaults = platform::makeJsonUserDefaults(defaultsFile);
  std::ostringstream out, err;

  SettingsRig() { dir.file("brim-vale.conf", std::string(kConfig)); }
  int run(const std::vector<std::string>& args, SettingsFormat format = SettingsFormat::kText) {
    out.str("");
    err.str("");
    SettingsCommandContext c{config, *defaults, out, err};
    return settingsCommand(c, args, format);
  }
};

// Given a mistake, then the exit status is 2, the sentence says what to do,
// and neither store changes by a byte.
TEST(SettingsCommand, MistakesExitTwoAndWriteNothing) {
  SettingsRig rig;
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
  SettingsRig rig;
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

// Given excludes over several lines, each change rewrites only their line
// and lists them back as written; mistakes change nothing.
TEST(SettingsCommand, ExcludesAddAndRemoveRoundTrip) {
  SettingsRig rig;
  rig.dir.file("brim-vale.conf", std::string(kConfig) + "EXCLUDES=(\n  \"*.iso\"\n)\nLAST=1\n");
  struct Step {
    std::vector<std::string> args;
    int exit;
    std::string excludesLine;  // as saved
    std::string listed;        // `settings excludes` afterwards
  } steps[] = {
      {{"excludes", "add", "$HOME/Projects/o'brien"},
       0,
       "EXCLUDES=( '*.iso' '$HOME/Projects/o'\\''brien' )",
       "*.iso\n$HOME/Projects/o'brien\n"},
      {{"excludes", "add", "node_modules"},
       0,
       "EXCLUDES=( '*.iso' '$HOME/Projects/o'\\''brien' 'node_modules' )",
       "*.iso\n$HOME/Projects/o'brien\nnode_modules\n"},
      {{"excludes", "add", "a\nb"},
       2,
       "EXCLUDES=( '*.iso' '$HOME/Projects/o'\\''brien' 'node_modules' )",
       "*.iso\n$HOME/Projects/o'brien\nnode_modules\n"},
      {{"excludes", "add", "Projects/keep"},
       2,
       "EXCLUDES=( '*.iso' '$HOME/Projects/o'\\''brien' 'node_modules' )",
       "*.iso\n$HOME/Projects/o'brien\nnode_modules\n"},
      {{"excludes", "remove", "*.iso"},
       0,
       "EXCLUDES=( '$HOME/Projects/o'\\''brien' 'node_modules' )",
       "$HOME/Projects/o'brien\nnode_modules\n"},
      {{"excludes", "remove", "*.iso"},
       2,
       "EXCLUDES=( '$HOME/Projects/o'\\''brien' 'node_modules' )",
       "$HOME/Projects/o'brien\nnode_modules\n"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args[1] + " " + step.args[2]);
    EXPECT_EQ(rig.run(step.args), step.exit) << rig.err.str();
    EXPECT_EQ(*readFile(rig.config), std::string(kConfig) + step.excludesLine + "\nLAST=1\n");
    ASSERT_EQ(rig.run({"excludes"}), 0);
    EXPECT_EQ(rig.out.str(), step.listed);
  }
  ASSERT_EQ(rig.run({}), 0);
  EXPECT_NE(rig.out.str().find("excludes = $HOME/Projects/o'brien, node_modules\n"),
            std::string::npos);
}

}  // namespace
}  // namespace brimvale::app
