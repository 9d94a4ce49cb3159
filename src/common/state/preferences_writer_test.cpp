#include "common/state/preferences_writer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "common/base/file_io.h"
#include "common/state/config_file.h"
#include "common/state/service_config.h"
#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

constexpr std::string_view kHeader = "# --- Set by the Preferences window ---";

TEST(PreferencesWriter, RewritesOwnLinesAndAppendsTheRest) {
  const std::string header(kHeader);
  struct Case {
    std::string name;
    std::string original;
    PreferenceValues values;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"replaces in place, leaves other lines alone",
       "# mine\nNVMe=\"/Volumes/X\"\nQUIET_MODE=smart  # was\nRULES=(\n  \"a\"\n)\n",
       {{"QUIET_MODE", "schedule"}},
       "# mine\nNVMe=\"/Volumes/X\"\nQUIET_MODE=schedule\nRULES=(\n  \"a\"\n)\n"},
      {"appends missing keys sorted after one empty line",
       "A=1",
       {{"Z_KEY", "1"}, {"M_KEY", "it's"}},
       "A=1\n\n" + header + "\nM_KEY='it'\\''s'\nZ_KEY=1\n"},
      {"every assignment of the key, with or without export, is replaced",
       "export QUIET_MODE=smart\n  QUIET_MODE = 'x'\n# QUIET_MODE=old\n",
       {{"QUIET_MODE", "always-on"}},
       "QUIET_MODE='always-on'\nQUIET_MODE='always-on'\n# QUIET_MODE=old\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(applyPreferences(c.original, c.values), c.expected);
  }
}

// Given a value saved by the window, then the service and the window both
// read back exactly what was saved (newlines become blanks).
TEST(PreferencesWriter, SavedValuesReadBackIdentically) {
  const std::vector<std::string> values = {
      "it's", "${HOME}/x", "a # not a comment", "`tick`", " padded ", "multi\nline\r\nvalue",
  };
  std::string text = configTemplate();
  for (const std::string& value : values) {
    SCOPED_TRACE(value);
    text = applyPreferences(text,
                            {{"QUIET_HOURS_BLOCKED", value}, {"OPTIMISE_CLOUD_PROVIDERS", value}});
    std::string expected = value;
    for (char& c : expected) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    ConfigValues parsed = parseConfig(text, "/home/ada");
    EXPECT_EQ(parsed["QUIET_HOURS_BLOCKED"].scalar, expected);
    EXPECT_EQ(parsed["OPTIMISE_CLOUD_PROVIDERS"].scalar, expected);
    EXPECT_EQ(readConfigValue(text, "QUIET_HOURS_BLOCKED"), expected);
    EXPECT_EQ(readConfigValue(text, "OPTIMISE_CLOUD_PROVIDERS"), expected);
  }
  // Keys not saved keep what the file had.
  EXPECT_EQ(parseConfig(text, "/home/ada")["NVMe"].scalar,
            parseConfig(configTemplate(), "/home/ada")["NVMe"].scalar);
}

TEST(PreferencesWriter, SavesAtomicallyAndRefusesWhatItCannotRead) {
  brimvale::testing::TempFolder dir("prefs");
  fs::path config = dir.path() / "brim-vale.conf";

  ASSERT_TRUE(savePreferences(config, {{"QUIET_MODE", "smart"}}));
  EXPECT_EQ(readFile(config).value(), std::string(kHeader) + "\nQUIET_MODE=smart\n");
  EXPECT_EQ(fs::status(config).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(savePreferences(config, {{"QUIET_MODE", "always"}}));
  EXPECT_EQ(readFile(config).value(), std::string(kHeader) + "\nQUIET_MODE=always\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  Result<void> badKey = savePreferences(config, {{"QUIET MODE", "x"}});
  ASSERT_FALSE(badKey);
  EXPECT_EQ(badKey.error().code, Errc::kInvalidArgument);
  EXPECT_EQ(readFile(config).value(), std::string(kHeader) + "\nQUIET_MODE=always\n");

  // Given a configuration that exists but cannot be read, then it is not
  // replaced by a file holding only the preferences.
  fs::path looping = dir.path() / "looping.conf";
  fs::create_symlink(looping, looping);
  EXPECT_FALSE(savePreferences(looping, {{"QUIET_MODE", "smart"}}));
  EXPECT_TRUE(fs::is_symlink(looping));
}

}  // namespace
}  // namespace brimvale
