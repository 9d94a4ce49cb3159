// brimvale history, the built program in a temporary home with a written
// usage history: the sparkline as a pipe sees it, the SVG chart checked by an
// XML parser, and the JSON series.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "e2e_harness.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

// A week of hourly rows with the drive unplugged for a day, two torn lines.
// Rows fall half past the hour, so a window of whole days never lands on one.
std::string weekOfRows(std::time_t now) {
  std::string text;
  for (int hour = 7 * 24; hour >= 0; --hour) {
    const bool driveAway = hour >= 48 && hour < 72;
    text += "{\"ts\":\"" + isots(now - 1800 - hour * 3600) +
            "\",\"internal_free_gb\":" + std::to_string(30 + (hour % 24) / 3) +
            ",\"internal_total_gb\":500,\"nvme_free_gb\":" + (driveAway ? "0" : "700") +
            ",\"nvme_total_gb\":" + (driveAway ? "0" : "1000") +
            ",\"cumulative_saved_bytes\":0,\"dirs_mb\":{\"~/Downloads\":12}}\n";
    if (hour == 100) text += "{\"ts\":\"2026-\n\n<<garbage>>\n";
  }
  return text;
}

struct HistoryHome {
  TempHome home{testing::StateFolder::kCreated};

  HistoryHome() {
    EXPECT_TRUE(
        writeFileAtomically(home.state() / "history.ndjson", weekOfRows(std::time(nullptr))));
  }

  ProcessResult brimvale(std::vector<std::string> args, const std::string& lang) const {
    args.insert(args.begin(), "history");
    return runProcess({.path = BRIMVALE_PATH,
                       .args = std::move(args),
                       .envAdditions = {{"HOME", home.path().string()},
                                        {"LANG", lang},
                                        {"LC_ALL", ""},
                                        {"LC_CTYPE", ""},
                                        {"COLUMNS", "100"}},
                       .deadline = std::chrono::minutes(2)});
  }
};

// The sparkline through a pipe has no escape bytes and matches the locale;
// the SVG chart is valid XML with a line per series; --days and --json come
// through the command line; an empty home is read without creating anything.
TEST(HistoryE2e, SparklineSvgAndJsonFromTheBuiltProgram) {
  HistoryHome sandbox;
  struct Case {
    const char* lang;
    bool blocks;
  };
  for (const Case& c : {Case{"C.UTF-8", true}, Case{"C", false}}) {
    SCOPED_TRACE(c.lang);
    const ProcessResult run = sandbox.brimvale({}, c.lang);
    ASSERT_EQ(run.exitCode, 0) << run.describe() << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "no terminal escapes into a pipe";
    EXPECT_EQ(run.out.find("█") != std::string::npos, c.blocks) << run.out;
    const auto lines = splitLines(run.out);
    for (std::string_view line : lines) {
      if (!line.starts_with("  ")) continue;
      EXPECT_LE(c.blocks ? line.size() / 3 : line.size(), 100u) << "fits COLUMNS: " << line;
    }
  }

  const fs::path chart = sandbox.home / "Pictures" / "free space.svg";
  fs::create_directories(chart.parent_path());
  const ProcessResult drawn = sandbox.brimvale({"--svg", chart.string()}, "C.UTF-8");
  ASSERT_EQ(drawn.exitCode, 0) << drawn.describe() << drawn.out << drawn.err;
  EXPECT_EQ(drawn.out, "Chart of free space written to " + chart.string() + ".\n");
  const std::string svg = readFile(chart).value_or("");
  std::size_t polylines = 0;
  for (std::size_t at = 0; (at = svg.find("<polyline", at)) != std::string::npos; ++at) {
    ++polylines;
  }
  EXPECT_EQ(polylines, 2u);
  const std::string xmllint = findExecutable("xmllint");
  if (!xmllint.empty()) {  // scripts/setup installs it
    const ProcessResult lint =
        runTool(xmllint, {"--noout", chart.string()}, std::chrono::seconds(30));
    EXPECT_TRUE(lint.succeeded()) << lint.describe() << lint.err;
  }

  const ProcessResult json = sandbox.brimvale({"--json", "--days", "2"}, "C");
  ASSERT_EQ(json.exitCode, 0) << json.describe() << json.err;
  const auto doc = nlohmann::json::parse(json.out, nullptr, false);
  ASSERT_TRUE(doc.is_object()) << json.out;
  EXPECT_EQ(doc["rows"], 48);
  EXPECT_EQ(doc["skippedLines"], 2);
  ASSERT_EQ(doc["series"].size(), 2u);
  EXPECT_EQ(doc["series"][1]["name"], "drive");

  TempHome fresh;
  const ProcessResult empty = runApp(fresh, {"history"});
  EXPECT_EQ(empty.exitCode, 0) << empty.describe() << empty.err;
  EXPECT_TRUE(empty.out.starts_with("No usage history yet:")) << empty.out;
  EXPECT_FALSE(fs::exists(fresh.state() / "history.ndjson")) << "reading creates nothing";
}

}  // namespace
}  // namespace brimvale::e2e
