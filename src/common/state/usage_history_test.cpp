#include "common/state/usage_history.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "testing/temp_folder.h"

namespace brimvale {
namespace {

TEST(UsageHistory, AppendingKeepsTheNewestRowsUpToTheCap) {
  struct Case {
    const char* name;
    std::size_t before;
    std::size_t cap;
    std::size_t after;
  } cases[] = {
      {"missing file", 0, 365, 1},
      {"below the cap", 10, 365, 11},
      {"a full year grows by one and is cut back", 365, 365, 365},
      {"a lowered cap cuts more than one", 8, 3, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempFolder dir;
    std::string rows;
    for (std::size_t i = 0; i < c.before; ++i) rows += "{\"row\":" + std::to_string(i) + "}\n";
    if (c.before > 0) dir.file("history.ndjson", rows);
    ASSERT_TRUE(appendUsageHistoryRow(dir / "history.ndjson", "{\"row\":\"new\"}", c.cap));
    const std::string text = readFile(dir / "history.ndjson").value_or("");
    const auto lines = splitLines(text);
    ASSERT_EQ(lines.size(), c.after);
    EXPECT_EQ(lines.back(), "{\"row\":\"new\"}");
    if (c.after > 1) {
      EXPECT_EQ(lines.front(), "{\"row\":" + std::to_string(c.before + 1 - c.after) + "}");
    }
  }
}

TEST(UsageHistory, TheLastRowsTimeSkipsRowsThatCannotBeRead) {
  const std::time_t at = 1'900'000'000;
  const std::string row = "{\"ts\":\"" + isots(at) + "\",\"internal_free_gb\":1}\n";
  struct Case {
    const char* name;
    std::optional<std::string> text;
    std::optional<std::time_t> expected;
  } cases[] = {
      {"missing", std::nullopt, std::nullopt},
      {"one row", row, at},
      {"a torn last line", row + "{\"ts\":\"2030-", at},
      {"a hand-edited time", row + "{\"ts\":\"yesterday\"}\n", at},
      {"only rows without times", "{\"a\":1}\nnot json\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempFolder dir;
    if (c.text) dir.file("history.ndjson", *c.text);
    EXPECT_EQ(lastUsageHistoryTime(dir / "history.ndjson"), c.expected);
  }
}

}  // namespace
}  // namespace brimvale
