#include "mover/mover_log.h"
#include "testing/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace brimvale::mover {
namespace {

TEST(MoverLog, KeepsTheNewest2000Lines) {
  MoverLog log;
  for (int i = 0; i < 2001; ++i) log.append(MoverLogSource::kInfo, std::to_string(i));
  ASSERT_EQ(log.lines().size(), 2000u);
  EXPECT_EQ(log.lines().front().text, "1");
  EXPECT_EQ(log.lines().back().text, "2000");
}

TEST(MoverLogFile, ReadsBackLinesOfOneJob) {
  const brimvale::testing::TempFolder tmp("mover-log");
  std::filesystem::path dir = tmp.path();
  MoverLogFile file(dir);
  MoverLog log;
  log.setObserver([&](std::span<const MoverLogLine> l) { file.write(l); });
  log.append(MoverLogSource::kEnqueue, "first", "AAAA1111-0000-4000-8000-000000000000");
  log.append(MoverLogSource::kInfo, "second\nline");
  log.append(MoverLogSource::kPhase, "third", "BBBB2222-0000-4000-8000-000000000000");
  auto all = file.read();
  ASSERT_EQ(all.size(), 3u);
  // Read back on another day, a line still says which day it was written.
  EXPECT_EQ(all[0].substr(0, 23), datedFormatted(log.lines()[0]).substr(0, 23));
  EXPECT_TRUE(all[1].ends_with("[--------] second line"));
  auto one = file.read("aaaa");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_TRUE(one[0].ends_with("[AAAA1111] first"));
}

// Given a move's whole diary, then the phase view keeps its story (queued,
// phase changes, the result) and drops copy-tool chatter, even where that
// chatter quotes a source's name.
TEST(MoverLogFile, ThePhaseViewKeepsOnlyTheMovesStory) {
  const brimvale::testing::TempFolder tmp("mover-log");
  MoverLogFile file(tmp.path());
  MoverLog log;
  log.setObserver([&](std::span<const MoverLogLine> l) { file.write(l); });
  const std::string job = "CCCC3333-0000-4000-8000-000000000000";
  struct Case {
    MoverLogSource source;
    const char* text;
    bool story;
  } cases[] = {
      {MoverLogSource::kEnqueue, "enqueued: /a → /b", true},
      {MoverLogSource::kCommand, "/usr/bin/rsync -a /a /b", false},
      {MoverLogSource::kRsync, "[phase   ] a file named like a tag", false},
      {MoverLogSource::kHashing, "hashing 3 files", false},
      {MoverLogSource::kPhase, "writing → verifying", true},
      {MoverLogSource::kCleanup, "rm exit 0 for /a", false},
      {MoverLogSource::kInfo, "rsync exited with code 0", false},
      {MoverLogSource::kPhase, "completed", true},
  };
  std::vector<std::string> story;
  for (const auto& c : cases) {
    log.append(c.source, c.text, job);
    if (c.story) story.push_back(c.text);
  }
  const auto phases = file.read("cccc", MoverLogDetail::kPhases);
  ASSERT_EQ(phases.size(), story.size());
  for (std::size_t i = 0; i < story.size(); ++i) {
    SCOPED_TRACE(story[i]);
    EXPECT_TRUE(phases[i].ends_with("[CCCC3333] " + story[i]));
  }
  EXPECT_EQ(file.read("cccc", MoverLogDetail::kEverything).size(), std::size(cases));
}

// Lines written after a trim, or after another writer replaced the file, must
// land in the file readers see, not in the one that was renamed away.
TEST(MoverLogFile, KeepsEveryLineAcrossTrimsAndReplacements) {
  const brimvale::testing::TempFolder tmp("mover-log");
  std::filesystem::path dir = tmp.path();
  MoverLogFile file(dir);
  MoverLogFile other(dir);
  MoverLog log;
  log.setObserver([&](std::span<const MoverLogLine> l) { file.write(l); });
  // Batches of copy-tool lines straddle the trim points.
  const std::size_t total = 3 * MoverLog::kCapacity + 5;
  for (std::size_t i = 0; i < total;) {
    std::vector<std::string> batch;
    for (std::size_t n = 0; n < 7 && i < total; ++n, ++i)
      batch.push_back("line " + std::to_string(i));
    log.appendAll(MoverLogSource::kRsync, std::move(batch));
  }
  EXPECT_EQ(log.lines().size(), MoverLog::kCapacity);
  auto lines = file.read();
  ASSERT_EQ(lines.size(), MoverLog::kCapacity);
  EXPECT_TRUE(lines.front().ends_with("line " + std::to_string(total - MoverLog::kCapacity)));
  EXPECT_TRUE(lines.back().ends_with("line " + std::to_string(total - 1)));

  // The second writer trims (renaming a new file into place) at its 2,000th line.
  for (std::size_t i = 0; i < MoverLog::kCapacity; ++i) {
    MoverLogLine line;
    line.text = "other " + std::to_string(i);
    other.write({&line, 1});
  }
  log.append(MoverLogSource::kRsync, "after replacement");
  lines = file.read();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().ends_with("after replacement"));
}

}  // namespace
}  // namespace brimvale::mover
