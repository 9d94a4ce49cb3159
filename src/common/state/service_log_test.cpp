#include "common/state/service_log.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <thread>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;
using testing::TempFolder;

constexpr std::time_t kNow = 1'777'600'000;

// The messages of a log file's lines, in order ("" for a missing file).
std::vector<std::string> messagesIn(const fs::path& file) {
  std::vector<std::string> messages;
  for (const auto& line : readLastLines(file, 1'000'000)) messages.push_back(line.substr(21));
  return messages;
}

// Every line is 21 bytes of stamp and blanks, a 28-byte message and its newline: 50 bytes.
std::string message(int n) {
  std::string text = "line " + std::to_string(n);
  text.resize(28, '.');
  return text;
}

TEST(ServiceLog, RotatesPastItsLimitKeepingOneOlderGeneration) {
  struct Case {
    const char* name;
    int lines;
    std::uintmax_t limit;
    std::vector<int> current;
    std::vector<int> previous;
  };
  const Case cases[] = {
      {"under the limit", 2, 120, {1, 2}, {}},
      {"exactly at the limit", 2, 100, {1, 2}, {}},
      {"one rotation", 3, 120, {3}, {1, 2}},
      {"the oldest generation is dropped", 5, 120, {5}, {3, 4}},
      {"a line longer than the limit stands alone", 1, 10, {1}, {}},
      {"each long line starts a new log", 2, 10, {2}, {1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir("service-log");
    const fs::path file = dir.path() / "brim-vale.log";
    std::ostringstream out;
    ServiceLog log(
        file, [] { return kNow; }, out, c.limit);
    for (int n = 1; n <= c.lines; ++n) log.log(message(n));
    std::vector<std::string> current, previous, all;
    for (int n : c.current) current.push_back(message(n));
    for (int n : c.previous) previous.push_back(message(n));
    EXPECT_EQ(messagesIn(file), current);
    EXPECT_EQ(messagesIn(previousLogGeneration(file)), previous);
    // Readers of the last lines see both generations as one log.
    all = previous;
    all.insert(all.end(), current.begin(), current.end());
    std::vector<std::string> last;
    for (const auto& line : lastLogLines(file, 3)) last.push_back(line.substr(21));
    const std::size_t shown = std::min<std::size_t>(3, all.size());
    EXPECT_EQ(last, std::vector<std::string>(all.end() - static_cast<long>(shown), all.end()));
  }
}

// Given two processes logging at once across a rotation while a reader
// watches the last line, then every line is in one of the two generations,
// in each writer's order, and the reader never finds the log without a last line.
TEST(ServiceLog, TwoWritersAcrossARotationLoseNoLine) {
  TempFolder dir("service-log");
  const fs::path file = dir.path() / "brim-vale.log";
  constexpr int kLines = 1500;
  // Both writers together write ~100 kB: exactly one rotation.
  constexpr std::uintmax_t kLimit = 80'000;
  std::ostringstream out;
  ServiceLog(
      file, [] { return kNow; }, out, kLimit)
      .log("writer 0 start");

  std::vector<pid_t> writers;
  for (int w = 1; w <= 2; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      std::ostringstream sink;
      ServiceLog log(
          file, [] { return kNow; }, sink, kLimit);
      for (int n = 0; n < kLines; ++n)
        log.log("writer " + std::to_string(w) + " " + std::to_string(n));
      _exit(0);
    }
    writers.push_back(pid);
  }
  // Started after the forks, so no child inherits a thread's half-held lock.
  std::atomic<bool> writing{true};
  std::atomic<int> emptyReads{0};
  std::thread reader([&] {
    while (writing) {
      if (lastLogLines(file, 1).empty()) ++emptyReads;
    }
  });
  for (pid_t pid : writers) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  writing = false;
  reader.join();

  std::vector<std::string> lines = messagesIn(previousLogGeneration(file));
  ASSERT_FALSE(lines.empty()) << "the log was never rotated";
  for (auto& line : messagesIn(file)) lines.push_back(line);
  std::map<std::string, int> next{{"1", 0}, {"2", 0}};
  int lost = 0;
  for (const auto& line : lines) {
    if (line == "writer 0 start") continue;
    const std::string who = line.substr(7, 1);
    const int n = std::stoi(line.substr(9));
    lost += n - next[who];  // a gap is a lost line; going back would show as negative
    EXPECT_GE(n, next[who]) << line;
    next[who] = n + 1;
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(next["1"], kLines);
  EXPECT_EQ(next["2"], kLines);
  EXPECT_EQ(lines.size(), 2u * kLines + 1);
  EXPECT_EQ(emptyReads, 0);
}

}  // namespace
}  // namespace brimvale
