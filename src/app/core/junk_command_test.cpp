#include "app/core/junk_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/fake_clipboard.h"
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
                               .home = dir_.path(),
                               .defaults = defaults_,
                               .launcher = launcher_,
                               .clock = [this] { return now_; },
                               .in = in,
                               .out = out,
                               .err = err,
                               .confirm = confirm_,
                               .openClipboard = openClipboard_};
    const int status = junkCommand(context, options);
    return {status, out.str(), err.str()};
  }
  std::string idOf(const JunkOutcome& added) {
    return added.out.substr(6, 8);
  }  // "Added XXXXXXXX: "

  ConfirmHook confirm_;
  std::function<Result<std::unique_ptr<platform::Clipboard>>()> openClipboard_;
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

TEST_F(JunkCommandTest, CaptureSavesTheClipboardOnceAndNeverAPrivateOffer) {
  struct Case {
    std::string name;
    std::vector<std::string> types;
    std::optional<std::string> text;
    int status;
    std::string says;
    std::size_t onBoard;
  };
  const Case cases[] = {
      {"text", {"text/plain"}, "Invoice 42", 0, "Saved the clipboard as", 1},
      {"the same again", {"text/plain"}, " Invoice 42\n", 0, "on the board already", 1},
      {"a password",
       {"text/plain", std::string(platform::kPasswordManagerHintType)},
       "hunter2",
       1,
       "private",
       1},
      {"nothing", {}, std::nullopt, 1, "holds nothing", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    openClipboard_ = [&]() -> Result<std::unique_ptr<platform::Clipboard>> {
      auto fake = std::make_unique<platform::testing::FakeClipboard>();
      fake->offer(c.types, c.text);
      return fake;
    };
    const auto result = run({"capture"});
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_NE((result.out + result.err).find(c.says), std::string::npos)
        << result.out << result.err;
    const auto board = readFile(dir_ / "junk-items.ndjson").value_or("");
    EXPECT_EQ(std::count(board.begin(), board.end(), '\n'), c.onBoard);
    EXPECT_EQ(board.find("hunter2"), std::string::npos);
    EXPECT_NE(board.find("\"source\":\"hotkey\""), std::string::npos);
  }
}

TEST_F(JunkCommandTest, SaveIntoAFolderNeverReplacesAChangedFileUnasked) {
  namespace fs = std::filesystem;
  const std::string id = idOf(run({"add", "Invoice 42"}));
  const fs::path out = dir_.folder("out");
  const fs::path saved = out / ("Invoice 42 " + id + ".txt");
  brimvale::testing::TempFolder outside{"junk-outside"};
  struct Case {
    std::string name;
    std::function<void()> before;
    std::vector<std::string> words;
    bool replace;
    int status;
    std::string says;
    std::string left;  // what the saved file holds afterwards
  };
  const Case cases[] = {
      {"first save", {}, {"save", id, out.string()}, false, 0, "Saved", "Invoice 42"},
      {"same again", {}, {"save", id, out.string()}, false, 0, "already holds", "Invoice 42"},
      {"edited since",
       [&] {
         std::ofstream(saved) << "my own edit";
         fs::last_write_time(saved, fs::file_time_type::clock::now() + std::chrono::hours(1));
       },
       {"save", id, out.string()},
       false,
       1,
       "was changed after this scrap was made",
       "my own edit"},
      {"replace asked", {}, {"save", id, out.string()}, true, 0, "Saved", "Invoice 42"},
      {"outside home",
       {},
       {"save", id, outside.path().string()},
       false,
       1,
       "home folder",
       "Invoice 42"},
      {"no folder",
       {},
       {"save", id, (out / "missing").string()},
       false,
       1,
       "is not a folder",
       "Invoice 42"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before) c.before();
    const auto result = run(c.words, "", [&](JunkOptions& o) { o.replace = c.replace; });
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_NE((result.out + result.err).find(c.says), std::string::npos)
        << result.out << result.err;
    EXPECT_EQ(readFile(saved).value_or(""), c.left);
  }
  EXPECT_TRUE(fs::is_empty(outside.path()));
}

TEST_F(JunkCommandTest, LifetimeCountsFromCreationAndNeverClearsAScrapAtOnce) {
  const std::string id = idOf(run({"add", "short-lived"}));
  now_ += std::chrono::hours(2);
  struct Case {
    std::string ttl;
    bool pinned;
    int status;
    std::string expires;  // on disk afterwards
  };
  const Case cases[] = {
      {"h1", false, 2, "2026-12-08T12:00:00.000Z"},  // ran out: refused, the default kept
      {"h3", false, 0, "2026-12-07T15:00:00.000Z"},
      {"h1", true, 0, "2026-12-07T13:00:00.000Z"},  // pinned: it stays anyway
      {"later", false, 2, "2026-12-07T13:00:00.000Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ttl);
    if (c.pinned) {
      ASSERT_EQ(run({"pin", id}).status, 0);
    }
    EXPECT_EQ(run({"lifetime", id, c.ttl}).status, c.status);
    const auto board = readFile(dir_ / "junk-items.ndjson").value_or("");
    EXPECT_NE(board.find("\"expiresAt\":\"" + c.expires + "\""), std::string::npos) << board;
  }
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
