// The dashboard's live views of work other programs do: the drive transfer's
// status line and result, the storage scan's rows as they arrive, and which
// app-move records changed.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/core/discover_command.h"
#include "app/dashboard/dashboard_app_moves.h"
#include "app/dashboard/dashboard_drive_transfer.h"
#include "app/dashboard/dashboard_poller.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

TEST(DriveTransferView, SaysWhatTheJobIsDoingAndHowItEnded) {
  struct Case {
    const char* name;
    std::optional<json> job;
    bool active;
    const char* line;
    const char* result;
  };
  const json base = {{"sourceRoot", "/Volumes/A"}, {"destRoot", "/Volumes/B"}};
  auto with = [&](const char* kind, const char* phase) {
    json job = base;
    job["kind"] = kind;
    job["phase"] = phase;
    return job;
  };
  const Case cases[] = {
      {"no file", std::nullopt, false, "No drive transfer is under way.", ""},
      {"idle store", json{{"phase", "idle"}}, false, "No drive transfer is under way.", ""},
      {"backup copying", with("backup", "copying"), true, "Backing up…", ""},
      {"transfer copying", with("transfer", "copying"), true, "Copying to the new drive…", ""},
      {"kind missing", json{{"sourceRoot", "/A"}, {"phase", "verifying"}}, true,
       "Checking the copy…", ""},
      {"backup done", with("backup", "done"), true, "", "Backed everything up to the other drive."},
      {"transfer done", with("transfer", "done"), true, "",
       "Moved everything to the new drive and switched over."},
      {"backup failed", with("backup", "failed"), true, "Couldn't finish",
       "The transfer didn't finish."},
      {"transfer failed", with("transfer", "failed"), true, "Couldn't finish",
       "The switch couldn't be completed. Your old drive still has everything — nothing was "
       "deleted."},
      {"waiting", with("backup", "waitingForDrive"), true, "Waiting for the drive…", ""},
      {"a phase it does not know", with("backup", "resuming"), true, "Working…", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const json view =
        driveTransferView(c.job ? parseDriveTransferJob(c.job->dump()) : std::nullopt);
    EXPECT_EQ(view["active"], c.active);
    EXPECT_EQ(view["line"], c.line);
    EXPECT_EQ(view.value("result", ""), c.result);
  }
}

TEST(DriveTransferView, FiguresThatAreNotNumbersReadAsZero) {
  const json view = driveTransferView(parseDriveTransferJob(json{
      {"sourceRoot", "/A"},
      {"phase", "copying"},
      {"percent", "12"},
      {"bytesDone", 2048},
      {"lastError", "Paused."}}.dump()));
  EXPECT_EQ(view["percent"], 0);
  EXPECT_EQ(view["bytesDone"], 2048);
  EXPECT_EQ(view["lastError"], "Paused.");
}

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

TEST(AppMoveWatch, ReportsOnlyRecordsThatAreNewOrChanged) {
  auto record = [](const char* id, apps::AppMovePhase phase, std::time_t updated) {
    apps::AppMoveManifest m;
    m.id = id;
    m.displayName = std::string("App ") + id;
    m.phase = phase;
    m.updatedAt = updated;
    return m;
  };
  const std::vector<apps::AppMoveManifest> before = {record("A", apps::AppMovePhase::kCopying, 10),
                                                     record("B", apps::AppMovePhase::kDone, 5)};
  auto failedWithReason = record("B", apps::AppMovePhase::kDone, 5);
  failedWithReason.lastError = "The drive went away.";
  struct Case {
    const char* name;
    std::vector<apps::AppMoveManifest> now;
    std::vector<std::string> changedIds;
  };
  const Case cases[] = {
      {"nothing changed", before, {}},
      {"a phase moved on", {record("A", apps::AppMovePhase::kVerifying, 10), before[1]}, {"A"}},
      {"only rewritten", {record("A", apps::AppMovePhase::kCopying, 11), before[1]}, {"A"}},
      {"a new record",
       {before[0], before[1], record("C", apps::AppMovePhase::kWriting, 20)},
       {"C"}},
      {"an error added", {before[0], failedWithReason}, {"B"}},
      {"a record removed", {before[0]}, {}},
  };
  const AppMoveMarks marks = marksOf(before);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> ids;
    for (const auto& change : changedAppMoves(marks, c.now)) ids.push_back(change["id"]);
    EXPECT_EQ(ids, c.changedIds);
  }
  const auto news = changedAppMoves({}, {failedWithReason});
  ASSERT_EQ(news.size(), 1u);
  EXPECT_EQ(news[0]["phase"], "done");
  EXPECT_EQ(news[0]["underWay"], false);
  EXPECT_EQ(news[0]["status"], "The drive went away.");
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
