// The dashboard's live views: the storage scan's rows as they arrive, and the
// poller that looks for changes only while a page listens.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/core/discover_command.h"
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

}  // namespace
}  // namespace brimvale::app
