#include "app/core/rule_editor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "common/base/file_io.h"
#include "common/state/config_file.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

const fs::path kHome = "/Users/ada";

TEST(RuleEditor, WritesTheBlockAndLeavesOtherLinesAlone) {
  const std::vector<RuleRow> rows{
      {"archive_old", "/Users/ada/Downloads", "Downloads-Archive", 90, ""},
      {"delete_old", "/Users/adam/Old \"quoted\" $x", "-", 14, "a | b"}};
  const std::string block =
      "RULES=(\n"
      "  \"archive_old | $HOME/Downloads | Downloads-Archive | 90 | \"\n"
      "  \"delete_old | /Users/adam/Old \\\"quoted\\\" \\$x | - | 14 | a | b\"\n"
      ")\n";
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  } cases[] = {
      {"multi-line block", "# top\nRULES=(\n  \"x|y|z|1|\"\n)\nAPP_CACHE_PATHS=()\n",
       "# top\n" + block + "APP_CACHE_PATHS=()\n"},
      {"one-line block", "# top\nRULES=()\nAPP_CACHE_PATHS=()",
       "# top\n" + block + "APP_CACHE_PATHS=()\n"},
      {"no block", "NVMe=/Volumes/NVMe\n", "NVMe=/Volumes/NVMe\n\n" + block},
      // The service takes the last assignment, so that is the one changed.
      {"a later block wins", "RULES=()\n# mine\nRULES=(\n  \"x|y|z|1|\"\n)\n",
       "RULES=()\n# mine\n" + block},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string written = withRulesBlock(c.before, rows, kHome);
    EXPECT_EQ(written, c.after);
    // What the service reads back is what was saved.
    ConfigValues values = parseConfig(written, kHome.string());
    ASSERT_EQ(values["RULES"].elements.size(), 2u);
    EXPECT_EQ(values["RULES"].elements[1],
              "delete_old | /Users/adam/Old \"quoted\" $x | - | 14 | a | b");
    EXPECT_EQ(parseRulesBlock(written, kHome), rows);
  }
}

TEST(RuleEditor, SavesAtomicallyAndNeverOverwritesAnUnreadableFile) {
  const brimvale::testing::TempFolder tmp("brimvale-rules");
  const fs::path dir = tmp.path();
  const fs::path config = dir / "brim-vale.conf";
  auto missing = readRules(config, kHome);
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(missing.error().detail.starts_with("Couldn't read config"));

  ASSERT_TRUE(saveRules(config, {{"delete_old", "/Users/ada/Old", "", 30, ""}}, kHome).has_value());
  EXPECT_EQ(readFile(config).value(), "\nRULES=(\n  \"delete_old | $HOME/Old |  | 30 | \"\n)\n");
  EXPECT_EQ(readRules(config, kHome).value().size(), 1u);

  fs::remove(config);
  fs::create_directory(config);  // exists but cannot be read as a file
  EXPECT_FALSE(saveRules(config, {}, kHome).has_value());
  EXPECT_TRUE(fs::is_directory(config));
}

}  // namespace
}  // namespace brimvale::app
