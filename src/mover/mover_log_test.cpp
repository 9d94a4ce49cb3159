#include "mover/mover_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::mover {
namespace {

// The file on disk stays bounded, is rewritten only once per kTrimEvery lines
// added, and always gives back the newest kCapacity lines.
TEST(MoverLogFile, TrimsOncePerManyLinesAndKeepsTheNewest) {
  constexpr std::size_t kCap = MoverLog::kCapacity, kEvery = MoverLogFile::kTrimEvery;
  const struct {
    std::size_t written, onFile;
  } rows[] = {
      {kCap - 1, kCap - 1},     {3 * kCap, 3 * kCap},
      {kEvery - 1, kEvery - 1}, {kEvery, kCap},  // the first trim
      {kEvery + 10, kCap + 10}, {2 * kEvery + 7, kCap + 7},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.written);
    testing::TempFolder state;
    MoverLogFile file(state.path());
    std::vector<MoverLogLine> batch;
    for (std::size_t n = 1; n <= row.written; ++n) {
      batch.push_back({.timestamp = std::chrono::system_clock::now(),
                       .jobID = "ab12",
                       .source = MoverLogSource::kRsync,
                       .text = "line " + std::to_string(n)});
      // Batches, as copy-tool output arrives.
      if (batch.size() == 250 || n == row.written) {
        file.write(batch);
        batch.clear();
      }
    }
    EXPECT_EQ(readLastLines(state / "mover-log.txt", 20 * kCap).size(), row.onFile);
    const auto shown = file.read();
    ASSERT_EQ(shown.size(), std::min(row.written, kCap));
    EXPECT_TRUE(shown.back().ends_with("line " + std::to_string(row.written))) << shown.back();
  }
}

}  // namespace
}  // namespace brimvale::mover
