// The dashboard's live views: the storage scan's rows as they arrive, the
// poller that looks for changes only while a page listens, and the news the
// app-move records stand for.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/core/discover_command.h"
#include "app/dashboard/dashboard_app_moves.h"
#include "app/dashboard/dashboard_poller.h"

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
  using P = apps::AppMovePhase;
  struct Case {
    const char* name;
    std::optional<P> before;  // unset: not seen at the last look
    P now;
    const char* status;  // the record's status message and error now
    const char* error;
    const char* events;  // "record" for a changed record, then each completion
  };
  const Case cases[] = {
      {"unchanged", P::kDone, P::kDone, "", "", ""},
      {"still copying", P::kWriting, P::kCopying, "", "", "record"},
      {"committed", P::kLinking, P::kDone, "", "",
       R"(record; Move {"manifestID":"M","success":true})"},
      {"begun and ended between two looks", std::nullopt, P::kDone, "", "",
       R"(record; Move {"manifestID":"M","success":true})"},
      {"rolled back", P::kCopying, P::kFailed, "", "Copy failed.",
       R"(record; Move {"manifestID":"M","reason":"Copy failed.","success":false})"},
      {"moved back", P::kDone, P::kDone, "restored_by_user_at_T", "",
       R"(record; Restore {"manifestID":"M","outcome":"restored_by_user_at_T","success":true})"},
      {"a failed move written again", P::kFailed, P::kFailed, "Recovered", "", "record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    apps::AppMoveManifest m;
    m.id = "M";
    m.phase = c.before.value_or(P::kWriting);
    const AppMoveMarks before = c.before ? marksOf({m}) : AppMoveMarks{};
    m.phase = c.now;
    if (*c.status) m.statusMessage = c.status;
    if (*c.error) m.lastError = c.error;
    std::string seen;
    for (const auto& e : appMoveEvents(before, {m})) {
      seen += seen.empty() ? "" : "; ";
      seen += e.name == "app-move-record"
                  ? "record"
                  : e.name.substr(e.name.rfind("DidComplete") + 11) + " " + e.data.dump();
    }
    EXPECT_EQ(seen, c.events);
  }
}

}  // namespace
}  // namespace brimvale::app
