// The dashboard's live views: the storage scan's rows as they arrive, the
// poller that looks for changes only while a page listens, and the news the
// app-move records stand for.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/core/discover_command.h"
#include "app/dashboard/dashboard_app_moves.h"
#include "app/dashboard/dashboard_poller.h"
#include "apps/app_relocator_engine.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

TEST(ProbeRows, HandsOnEachProbeOnceItsLineIsCompleteHoweverTheOutputIsCut) {
  const std::string output =
      "{\"timestamp\":\"t\",\"phase\":\"started\"}\n"
      "{\"path\":\"/h/Movies\",\"label\":\"Movies\",\"size_bytes\":42,\"actionable\":true}\n"
      "not json\n"
      "{\"path\":\"/h/Caches\",\"label\":\"Caches\",\"size_bytes\":7,\"actionable\":false}\n"
      "{\"timestamp\":\"t\",\"phase\":\"done\",\"probed\":2,\"total_bytes\":49}\n";
  for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{64}, output.size()}) {
    SCOPED_TRACE(piece);
    std::vector<std::string> labels;
    ProbeRows rows([&](const json& row) { labels.push_back(row["label"]); });
    for (std::size_t at = 0; at < output.size(); at += piece) rows.feed(output.substr(at, piece));
    EXPECT_EQ(labels, (std::vector<std::string>{"Movies", "Caches"}));
  }
  // Half a line is held back until the rest comes.
  std::vector<std::string> labels;
  ProbeRows rows([&](const json& row) { labels.push_back(row["label"]); });
  rows.feed(R"({"path":"/h/A","label":"A","size_bytes":1})");
  EXPECT_TRUE(labels.empty());
  rows.feed("\n");
  EXPECT_EQ(labels, std::vector<std::string>{"A"});
}

TEST(StatePoller, LooksOnlyWhileSomeoneListens) {
  web::EventStream events;
  std::atomic<int> looks{0};
  StatePoller poller(events, std::chrono::milliseconds(2));
  poller.add([&] { ++looks; });
  poller.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(looks, 0) << "looked with no page listening";
  ASSERT_TRUE(events.watcherJoined("page"));
  for (int i = 0; i < 5000 && looks < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GE(looks, 3);
  events.watcherLeft("page");
  poller.stop();
  const int stopped = looks;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(looks, stopped) << "looked after stop()";
}

// Given a record as the last look saw it (or not at all) and as it is now,
// then the page hears of the change and, when a move or move back ended, of
// its completion under the engine's name.
TEST(AppMoveEvents, AMoveOrMoveBackThatEndedIsAnnouncedOnceWhateverWroteIt) {
  using apps::AppMovePhase;
  struct Case {
    const char* name;
    std::optional<AppMovePhase> before;
    AppMovePhase now;
    std::optional<std::string> status;  // the record's status message now
    std::optional<std::string> error;
    std::vector<std::string> events;
    json completion;  // the last event's data, when it is a completion
  };
  const std::string move(apps::kDidCompleteMove);
  const std::string restore(apps::kDidCompleteRestore);
  const std::string restored = "restored_by_user_at_2026-12-09T08-00-00Z";
  const Case cases[] = {
      {"unchanged", AppMovePhase::kDone, AppMovePhase::kDone, {}, {}, {}, nullptr},
      {"still copying",
       AppMovePhase::kWriting,
       AppMovePhase::kCopying,
       {},
       {},
       {"app-move-record"},
       nullptr},
      {"committed",
       AppMovePhase::kLinking,
       AppMovePhase::kDone,
       {},
       {},
       {"app-move-record", move},
       {{"manifestID", "M"}, {"success", true}}},
      {"begun and ended between two looks",
       {},
       AppMovePhase::kDone,
       {},
       {},
       {"app-move-record", move},
       {{"manifestID", "M"}, {"success", true}}},
      {"rolled back",
       AppMovePhase::kCopying,
       AppMovePhase::kFailed,
       {},
       "Copy failed.",
       {"app-move-record", move},
       {{"manifestID", "M"}, {"success", false}, {"reason", "Copy failed."}}},
      {"moved back",
       AppMovePhase::kDone,
       AppMovePhase::kDone,
       restored,
       {},
       {"app-move-record", restore},
       {{"manifestID", "M"}, {"success", true}, {"outcome", restored}}},
      {"a failed move written again",
       AppMovePhase::kFailed,
       AppMovePhase::kFailed,
       "Recovered",
       {},
       {"app-move-record"},
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    apps::AppMoveManifest m;
    m.id = "M";
    m.displayName = "Q";
    m.phase = c.before.value_or(AppMovePhase::kWriting);
    const AppMoveMarks before = c.before ? marksOf({m}) : AppMoveMarks{};
    m.phase = c.now;
    m.statusMessage = c.status;
    m.lastError = c.error;
    const auto events = appMoveEvents(before, {m});
    std::vector<std::string> names;
    for (const auto& e : events) names.push_back(e.name);
    EXPECT_EQ(names, c.events);
    if (!c.completion.is_null()) {
      EXPECT_EQ(events.back().data, c.completion);
    }
  }
}

}  // namespace
}  // namespace brimvale::app
