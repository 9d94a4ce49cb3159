#include "app/core/junk_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "testing/base/temp_folder.h"
#include "testing/platform/fake_launcher.h"
#include "testing/platform/memory_user_defaults.h"

namespace brimvale::app {
namespace {

struct JunkOutcome {
  int status;
  std::string out;
  std::string err;
};

class JunkCommandTest : public ::testing::Test {
 protected:
  JunkOutcome run(std::vector<std::string> words, std::string input = "",
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
                               .launcher = launcher_,
                               .clock = [this] { return now_; },
                               .in = in,
                               .out = out,
                               .err = err,
                               .confirm = confirm_};
    const int status = junkCommand(context, options);
    return {status, out.str(), err.str()};
  }
  std::string idOf(const JunkOutcome& added) {
    return added.out.substr(6, 8);
  }  // "Added XXXXXXXX: "

  ConfirmHook confirm_;
  brimvale::testing::TempFolder dir_{"junk-command"};
  platform::testing::MemoryDefaults defaults_;
  platform::testing::FakeProcesses processes_;
  platform::testing::FakeLauncher launcher_{processes_};
  junk::JunkTime now_ = *junk::parseJunkDate("2026-12-07T12:00:00Z");
};

TEST_F(JunkCommandTest, ClearGoesAheadOnlyWhenTheConfirmationSaysSo) {
  struct Case {
    Verdict verdict;
    int status;
    std::string says;
    std::size_t left;
  };
  const Case cases[] = {
      {Verdict::kStopped, 1, "", 1},
      {Verdict::kShownOnly, 0, "", 1},
      {Verdict::kGo, 0, "Cleared 1 scrap from the board.", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.verdict));
    if (run({"list"}).out.starts_with("0")) {
      ASSERT_EQ(run({"note"}, "a note\n").status, 0);
    }
    std::string plan;
    confirm_ = [&](const std::string& p) {
      plan = p;
      return c.verdict;
    };
    const auto result = run({"clear"});
    confirm_ = {};
    EXPECT_EQ(plan, "Clear everything on the Rade Diriv: 1 scrap.");
    EXPECT_EQ(result.status, c.status);
    EXPECT_NE(result.out.find(c.says), std::string::npos) << result.out;
    EXPECT_EQ(run({"list"}).out.substr(0, 1), std::to_string(c.left));
  }
  EXPECT_EQ(run({"note"}, " \n\n").status, 2) << "an empty note adds nothing";
}

TEST_F(JunkCommandTest, ListSortsBySizeAgeOrNameAndKeepsTheBoardsOrderWithoutSort) {
  for (const std::string text : {"middling text", "a", "the longest text of all"}) {
    now_ += std::chrono::minutes(1);
    ASSERT_EQ(run({"add", text}).status, 0);
  }
  const struct {
    std::string sort;
    std::vector<std::string> titles;
  } cases[] = {
      {"", {"the longest text of all", "a", "middling text"}},
      {"size", {"the longest text of all", "middling text", "a"}},
      {"age", {"middling text", "a", "the longest text of all"}},
      {"name", {"a", "middling text", "the longest text of all"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sort);
    const auto listed = run({"list"}, "", [&](JunkOptions& o) {
      o.sort = c.sort;
      o.json = true;
    });
    const auto doc = nlohmann::json::parse(listed.out);
    std::vector<std::string> titles;
    for (const auto& item : doc["items"]) titles.push_back(item["title"]);
    EXPECT_EQ(titles, c.titles);
  }
}

}  // namespace
}  // namespace brimvale::app
