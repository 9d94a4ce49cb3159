#include "common/state/config_file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace brimvale {
namespace {

constexpr std::string_view kHome = "/Users/ada lovelace";

ConfigValue scalar(std::string text) { return ConfigValue{false, std::move(text), {}}; }
ConfigValue array(std::vector<std::string> elements) {
  return ConfigValue{true, {}, std::move(elements)};
}

std::optional<ConfigValue> valueOf(std::string_view text, std::string_view key) {
  ConfigValues values = parseConfig(text, kHome);
  auto it = values.find(key);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

TEST(ConfigFile, ReadsScalarForms) {
  struct Case {
    std::string line;
    std::optional<std::string> value;  // nothing: the line is skipped
  };
  const std::vector<Case> cases = {
      {"K=schedule", "schedule"},
      {"K=", ""},
      {"K='it'\\''s'", "it's"},
      {"K='a \"b\" $HOME \\n'", "a \"b\" $HOME \\n"},
      {"K=\"say \\\"hi\\\" \\\\ \\$HOME \\n\"", "say \"hi\" \\ $HOME \\n"},
      {"K=\"$HOME/x\"", "/Users/ada lovelace/x"},
      {"K=a\\ b", "a b"},
      {"K=pre\"mid dle\"'post'", "premid dlepost"},
      {"export K=1", "1"},
      {"K=40   # warn level", "40"},
      {"K=value\r", "value"},
      {"K=\"unterminated", std::nullopt},
      {"K=two words", std::nullopt},
      {"K=a;rm", std::nullopt},
      {"K = spaced", std::nullopt},
      {"# K=commented", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::optional<ConfigValue> got = valueOf(c.line, "K");
    if (!c.value) {
      EXPECT_FALSE(got.has_value());
    } else {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, scalar(*c.value));
    }
  }
}

TEST(ConfigFile, ReadsArrays) {
  struct Case {
    std::string text;
    std::optional<std::vector<std::string>> elements;  // nothing: dropped
  };
  const std::vector<Case> cases = {
      {"A=()", std::vector<std::string>{}},
      {"A=(\"one\" 'two' three)", std::vector<std::string>{"one", "two", "three"}},
      {"A=(\n  \"archive ~/Downloads 30\"\n  \"delete ~/Caches\"\n)",
       std::vector<std::string>{"archive ~/Downloads 30", "delete ~/Caches"}},
      {"A=(  # rules\n\n  # first\n  \"a\"  \"b\"\n  \"c\")  # end",
       std::vector<std::string>{"a", "b", "c"}},
      {"A=(\"x\") trailing", std::nullopt},
      {"A=(\n  \"ok\"\n  \"broken\n)", std::nullopt},
      {"A=(\n  \"never closed\"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<ConfigValue> got = valueOf(c.text, "A");
    if (!c.elements) {
      EXPECT_FALSE(got.has_value());
    } else {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, array(*c.elements));
    }
  }
}

// Given a later or broken reassignment and an array that never closes, then
// the last good value stands and the assignments after the array are read.
TEST(ConfigFile, LaterAssignmentWinsAndBrokenLinesLoseNothingElse) {
  ConfigValues values = parseConfig(
      "NVMe=/Volumes/Old\nRULES=(\"a\")\nNVMe=\"/Volumes/New\"\nRULES=()\n"
      "QUIET_MODE=smart\nOPEN=(\n  \"a\"\nexport X=/Volumes/X\n"
      "BROKEN=(\n  'x\n)\nAFTER=1\nQUIET_MODE=\"broken\n",
      kHome);
  EXPECT_EQ(values["NVMe"], scalar("/Volumes/New"));
  EXPECT_EQ(values["RULES"], array({}));
  EXPECT_EQ(values["QUIET_MODE"], scalar("smart"));
  EXPECT_FALSE(values.contains("OPEN"));
  EXPECT_FALSE(values.contains("BROKEN"));
  EXPECT_EQ(values["X"], scalar("/Volumes/X"));
  EXPECT_EQ(values["AFTER"], scalar("1"));
}

}  // namespace
}  // namespace brimvale
