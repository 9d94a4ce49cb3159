#include "app/cli/history_command.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

constexpr std::time_t kNow = 1'790'000'000;
constexpr std::time_t kDay = 86'400;

std::string rowText(std::time_t at, int internalGb) {
  return "{\"ts\":\"" + isots(at) + "\",\"internal_free_gb\":" + std::to_string(internalGb) +
         ",\"internal_total_gb\":500,\"nvme_free_gb\":0,\"nvme_total_gb\":0,"
         "\"cumulative_saved_bytes\":0,\"dirs_mb\":{}}\n";
}

TEST(HistoryCommand, TerminalWidthAndMarksComeFromTheEnvironment) {
  using Env = std::map<std::string, std::string>;
  struct Case {
    const char* name;
    Env env;
    std::size_t columns;
    SparkGlyphs glyphs;
  };
  const Case cases[] = {
      {"nothing set", {}, 80, SparkGlyphs::kAscii},
      {"a UTF-8 language", {{"LANG", "en_GB.UTF-8"}}, 80, SparkGlyphs::kBlocks},
      {"utf8 spelled short", {{"LANG", "C.utf8"}}, 80, SparkGlyphs::kBlocks},
      {"LC_ALL overrides LANG",
       {{"LC_ALL", "C"}, {"LANG", "en_GB.UTF-8"}},
       80,
       SparkGlyphs::kAscii},
      {"an empty LC_ALL is unset",
       {{"LC_ALL", ""}, {"LC_CTYPE", "de_DE.UTF-8"}},
       80,
       SparkGlyphs::kBlocks},
      {"a width", {{"COLUMNS", "132"}}, 132, SparkGlyphs::kAscii},
      {"a width that is not a number", {{"COLUMNS", "wide"}}, 80, SparkGlyphs::kAscii},
      {"a width too narrow to draw in", {{"COLUMNS", "3"}}, 80, SparkGlyphs::kAscii},
      {"a negative width", {{"COLUMNS", "-100"}}, 80, SparkGlyphs::kAscii},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HistoryTerminal t = terminalFromEnvironment([&](const char* name) -> const char* {
      const auto it = c.env.find(name);
      return it == c.env.end() ? nullptr : it->second.c_str();
    });
    EXPECT_EQ(t.columns, c.columns);
    EXPECT_EQ(t.glyphs, c.glyphs);
  }
}

struct Outcome {
  int exit;
  std::string out;
  std::string err;
};

Outcome history(const fs::path& file, const HistoryOptions& options, std::size_t columns = 80) {
  std::ostringstream out;
  std::ostringstream err;
  HistoryCommandHost host{file, kNow, {.columns = columns}, out, err};
  const int exit = historyCommand(host, options);
  return {exit, out.str(), err.str()};
}

TEST(HistoryCommand, NothingToDrawIsASentenceAndExitZero) {
  testing::TempFolder tmp;
  struct Case {
    const char* name;
    std::optional<std::string> content;  // nothing: no file at all
    HistoryOptions options;
    std::string says;
  };
  const Case cases[] = {
      {"no file yet", std::nullopt, {}, "No usage history yet"},
      {"an empty file", "", {}, "No usage history yet"},
      {"only torn lines", "{\"ts\":\n###\n", {}, "(2 unreadable lines were skipped"},
      {"rows older than the window",
       rowText(kNow - 10 * kDay, 40),
       {.days = 3},
       "no rows from the last 3 days"},
      {"JSON for scripts", std::nullopt, {.json = true}, "\"rows\": 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = tmp / "history.ndjson";
    fs::remove(file);
    if (c.content) tmp.file("history.ndjson", *c.content);
    const Outcome run = history(file, c.options);
    EXPECT_EQ(run.exit, 0);
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
  }
}

TEST(HistoryCommand, CorruptLinesAreSkippedAndTheRestDrawn) {
  testing::TempFolder tmp;
  const fs::path file =
      tmp.file("history.ndjson", rowText(kNow - 2 * 3600, 40) + "{torn\n" +
                                     rowText(kNow - 3600, 35) + "\n" + rowText(kNow, 30));
  const Outcome run = history(file, {});
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.out.find(": 3 rows, each mark covers an hour.\n"
                         "1 unreadable line was skipped and left in the file.\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Internal disk: now 30 GB · lowest 30 GB · highest 40 GB\n  #=_\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(readFile(file).value_or("").find("{torn\n"), rowText(kNow - 2 * 3600, 40).size())
      << "the reader leaves the file as it was";
}

TEST(HistoryCommand, DaysKeepsOnlyTheRecentRowsAndRefusesNonsense) {
  testing::TempFolder tmp;
  const fs::path file =
      tmp.file("history.ndjson",
               rowText(kNow - 9 * kDay, 90) + rowText(kNow - kDay, 20) + rowText(kNow, 10));
  const Outcome recent = history(file, {.days = 2});
  EXPECT_EQ(recent.exit, 0);
  EXPECT_NE(recent.out.find(": 2 rows"), std::string::npos) << recent.out;
  EXPECT_NE(recent.out.find("highest 20 GB"), std::string::npos) << recent.out;

  for (int days : {0, -4}) {
    SCOPED_TRACE(days);
    const Outcome refused = history(file, {.days = days});
    EXPECT_EQ(refused.exit, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("--days needs a whole number of days, 1 or more"),
              std::string::npos);
  }
}

TEST(HistoryCommand, ManyRowsFitTheTerminal) {
  testing::TempFolder tmp;
  std::string rows;
  for (int hour = 500; hour >= 0; --hour) rows += rowText(kNow - hour * 3600, 20 + hour % 7);
  const fs::path file = tmp.file("history.ndjson", rows);
  for (std::size_t columns : {40u, 80u, 200u}) {
    SCOPED_TRACE(columns);
    const Outcome run = history(file, {}, columns);
    const std::string spark = run.out.substr(run.out.rfind("\n  ") + 3);
    EXPECT_LE(spark.size() - 1, columns - 2) << "one ASCII mark per column, inside the indent";
    EXPECT_GE(spark.size() - 1, columns / 2) << "the width is used";
  }
}

TEST(HistoryCommand, SvgIsWrittenWholeOrNotAtAll) {
  testing::TempFolder tmp;
  const fs::path file = tmp.file("history.ndjson", rowText(kNow - 3600, 40) + rowText(kNow, 30));

  const fs::path chart = tmp.file("chart.svg", "an older chart");
  const Outcome written = history(file, {.svgFile = chart.string()});
  EXPECT_EQ(written.exit, 0) << written.err;
  EXPECT_EQ(written.out, "Chart of free space written to " + chart.string() + ".\n");
  EXPECT_TRUE(readFile(chart).value_or("").starts_with("<?xml")) << "the old chart is replaced";
  EXPECT_EQ(fs::status(chart).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);

  const Outcome withJson = history(file, {.svgFile = chart.string(), .json = true});
  EXPECT_EQ(withJson.exit, 0);
  EXPECT_TRUE(withJson.out.starts_with("{")) << "JSON output stays parseable";

  const fs::path nowhere = tmp / "no such folder" / "chart.svg";
  const Outcome failed = history(file, {.svgFile = nowhere.string()});
  EXPECT_EQ(failed.exit, 1);
  EXPECT_EQ(failed.out, "");
  EXPECT_TRUE(failed.err.starts_with("The chart could not be written to " + nowhere.string() +
                                     ". Your usage history is unchanged;"))
      << failed.err;
  EXPECT_FALSE(fs::exists(nowhere.parent_path()));
}

TEST(HistoryCommand, AnUnreadableHistoryFailsWithASentence) {
  testing::TempFolder tmp;
  const fs::path folder = tmp.folder("history.ndjson");  // a folder where the file should be
  const Outcome run = history(folder, {});
  EXPECT_EQ(run.exit, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.err.starts_with("The usage history " + folder.string() +
                                  " could not be read, so there is nothing to draw. Your data "
                                  "is safe;"))
      << run.err;
}

}  // namespace
}  // namespace brimvale::app
