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
