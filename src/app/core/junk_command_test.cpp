#include "app/core/junk_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/testing/memory_user_defaults.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class JunkCommandTest : public ::testing::Test {
 protected:
  Outcome run(std::vector<std::string> words, std::string input = "",
              std::function<void(JunkOptions&)> tweak = {}) {
    JunkOptions options;
    if (!words.empty()) {
      options.action = words[0];
      options.words.assign(words.begin() + 1, words.end());
    }
    if (tweak) tweak(options);
    std::istringstream in(input);
    std::ostringstream out, err;
    JunkCommandContext context{.stateDir = dir_.path(),
                               .defaults = defaults_,
                               .clock = [this] { return now_; },
                               .in = in,
                               .out = out,
                               .err = err};
    const int status = junkCommand(context, options);
    return {status, out.str(), err.str()};
  }
  std::string idOf(const Outcome& added) { return added.out.substr(6, 8); }  // "Added XXXXXXXX: "

  testing::TempFolder dir_{"junk-command"};
  platform::testing::MemoryDefaults defaults_;
  junk::JunkTime now_ = *junk::parseJunkDate("2026-12-07T12:00:00Z");
};

TEST(JunkCountLine, SaysScrapOrScraps) {
  EXPECT_EQ(junkCountLine(0), "0 scraps on the board");
  EXPECT_EQ(junkCountLine(1), "1 scrap on the board");
  EXPECT_EQ(junkCountLine(2), "2 scraps on the board");
}

TEST_F(JunkCommandTest, ScrapsAreAddedPinnedAndDeletedByTheStartOfTheirId) {
  const auto first = run({"add", "first", "\x1b[2Jwords"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out.substr(14), ": first  [2Jwords\n") << "no escape reaches the terminal";
  now_ += std::chrono::minutes(1);
  const auto link = run({"add", "www.example.com"}, "", [](JunkOptions& o) { o.ttl = "m5"; });
  ASSERT_EQ(link.status, 0);

  struct Step {
    std::vector<std::string> words;
    int status;
    std::string outHas;
  };
  std::string lowerFirst = idOf(first);
  for (char& ch : lowerFirst) ch = static_cast<char>(std::tolower(ch));
  const Step steps[] = {
      {{"list"}, 0, "2 scraps on the board"},
      {{"pin", lowerFirst.substr(0, 6)}, 0, "Pinned " + idOf(first)},
      {{"list"}, 0, "  " + idOf(first) + "  text  pinned"},
      {{"unpin", "NOPE"}, 1, ""},
      {{"delete", idOf(link)}, 0, "Deleted " + idOf(link)},
      {{"list"}, 0, "1 scrap on the board"},
      {{"pin"}, 2, ""},
      {{"frobnicate"}, 2, ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.words[0]);
    const auto result = run(step.words);
    EXPECT_EQ(result.status, step.status) << result.err;
    EXPECT_NE(result.out.find(step.outHas), std::string::npos) << result.out;
    if (step.status != 0) {
      EXPECT_NE(result.err.find("othing was changed"), std::string::npos);
    }
  }
}

TEST_F(JunkCommandTest, ExpiredScrapsAreGoneFromTheListAndJsonCountsWhatIsShown) {
  ASSERT_EQ(run({"add", "short"}, "", [](JunkOptions& o) { o.ttl = "m5"; }).status, 0);
  ASSERT_EQ(run({"add", "https://example.com/x"}).status, 0);
  const auto links = run({"list"}, "", [](JunkOptions& o) {
    o.json = true;
    o.filter = "links";
  });
  ASSERT_EQ(links.status, 0);
  const auto doc = nlohmann::json::parse(links.out);
  EXPECT_EQ(doc["count"], 1);
  EXPECT_EQ(doc["items"][0]["link"], "https://example.com/x");
  now_ += std::chrono::minutes(5);
  EXPECT_NE(run({"list"}).out.find("1 scrap on the board"), std::string::npos);
  EXPECT_EQ(run({"list"}, "", [](JunkOptions& o) { o.date = "lastWeek"; }).status, 2);
}

TEST_F(JunkCommandTest, ClearAsksUnlessToldYes) {
  struct Case {
    std::string answer;
    bool yes;
    std::string says;
    std::size_t left;
  };
  const Case cases[] = {
      {"\n", false, "Nothing was cleared.", 1},
      {"no\n", false, "Nothing was cleared.", 1},
      {"y\n", false, "Cleared 1 scrap from the board.", 0},
      {"", true, "Cleared 1 scrap from the board.", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer + (c.yes ? "--yes" : ""));
    if (run({"list"}).out.starts_with("0")) {
      ASSERT_EQ(run({"note"}, "a note\n").status, 0);
    }
    const auto result = run({"clear"}, c.answer, [&](JunkOptions& o) { o.yes = c.yes; });
    EXPECT_EQ(result.out.find("Clear everything on the Rade Diriv?") != std::string::npos, !c.yes);
    EXPECT_NE(result.out.find(c.says), std::string::npos) << result.out;
    EXPECT_EQ(run({"list"}).out.substr(0, 1), std::to_string(c.left));
  }
  EXPECT_EQ(run({"note"}, " \n\n").status, 2) << "an empty note adds nothing";
}

TEST_F(JunkCommandTest, SettingsAreShownCheckedAndTakeEffect) {
  EXPECT_EQ(run({"settings", "JunkMaxItems", "10"}).out, "JunkMaxItems = 50\n");
  EXPECT_NE(
      run({"settings"})
          .out.find(
              "JunkMaxItems = 50                   Keep up to 50 scraps — when full, the oldest "
              "drops off.\n"),
      std::string::npos);
  EXPECT_EQ(run({"settings", "NoSuchKey"}).status, 2);
  ASSERT_EQ(run({"settings", "JunkDefaultTTL", "m5"}).status, 0);
  ASSERT_EQ(run({"add", "brief"}).status, 0);
  now_ += std::chrono::minutes(5);
  EXPECT_NE(run({"list"}).out.find("0 scraps"), std::string::npos);
}

TEST_F(JunkCommandTest, SearchListsKeywordMatchesBeforeSimilarOnes) {
  ASSERT_EQ(run({"add", "quarterly report draft"}).status, 0);
  ASSERT_EQ(run({"add", "reporting tools"}).status, 0);
  ASSERT_EQ(run({"add", "lunch order"}).status, 0);
  const auto found = run({"search", "report"});
  ASSERT_EQ(found.status, 0) << found.err;
  const auto keyword = found.out.find("quarterly report draft");
  EXPECT_NE(found.out.find("2 scraps found for \"report\""), std::string::npos) << found.out;
  EXPECT_NE(keyword, std::string::npos);
  EXPECT_EQ(found.out.find("lunch"), std::string::npos);
  EXPECT_EQ(run({"search", "  "}).status, 2);
}

}  // namespace
}  // namespace brimvale::app
