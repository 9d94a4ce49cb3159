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
                               .err = err};
    const int status = junkCommand(context, options);
    return {status, out.str(), err.str()};
  }
  std::string idOf(const JunkOutcome& added) {
    return added.out.substr(6, 8);
  }  // "Added XXXXXXXX: "

  brimvale::testing::TempFolder dir_{"junk-command"};
  platform::testing::MemoryDefaults defaults_;
  platform::testing::FakeProcesses processes_;
  platform::testing::FakeLauncher launcher_{processes_};
  junk::JunkTime now_ = *junk::parseJunkDate("2026-12-07T12:00:00Z");
};

TEST_F(JunkCommandTest, ClearAsksUnlessToldYes) {
  struct Case {
    std::string answer;
    bool yes;
    std::string says;
    std::size_t left;
  };
  const Case cases[] = {
      {"\n", false, "Nothing was cleared.", 1},
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

}  // namespace
}  // namespace brimvale::app
