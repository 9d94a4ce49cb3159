#include "mover/copy_run.h"

#include <gtest/gtest.h>

#include "testing/platform/test_loop.h"

namespace brimvale::mover {
namespace {

struct RunRecord {
  int runningPid = 0;
  std::vector<std::string> events;  // in the order the loop saw them
  std::vector<CopyLine> lines;
  bool finished = false;
  int exitCode = 0;
  std::string launchError;
};

RunRecord run(const std::string& program, const std::vector<std::string>& args) {
  brimvale::testing::TestLoop loop;
  RunRecord r;
  std::atomic<int> pid{0};
  startCopyRun(runProcess, program, args,
               {.post = [&](std::function<void()> t) { loop.post(std::move(t)); },
                .running = [&](int p) { pid.store(p); },
                .started = [&](int p) { r.events.push_back("started " + std::to_string(p)); },
                .lines =
                    [&](const std::vector<CopyLine>& batch) {
                      r.events.push_back("lines");
                      r.lines.insert(r.lines.end(), batch.begin(), batch.end());
                    },
                .finished =
                    [&](int code, const std::string& error) {
                      r.events.push_back("finished");
                      r.finished = true;
                      r.exitCode = code;
                      r.launchError = error;
                    }});
  EXPECT_TRUE(loop.runUntil([&] { return r.finished; }));
  r.runningPid = pid.load();
  return r;
}

// Given a copy that writes on both streams and fails, then the loop sees it
// start, every line in order with its stream, and its exit code, last.
TEST(CopyRun, DeliversEveryLineThenTheExitOnTheLoopThread) {
  RunRecord r = run("/bin/sh", {"-c", "echo one; echo two >&2; printf 'three\\r'; exit 3"});
  ASSERT_GE(r.events.size(), 3u);
  EXPECT_EQ(r.events.front(), "started " + std::to_string(r.runningPid));
  EXPECT_EQ(r.events.back(), "finished");
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.launchError, "");
  std::vector<std::pair<bool, std::string>> lines;
  for (const auto& l : r.lines) lines.emplace_back(l.isErr, l.text);
  std::vector<std::pair<bool, std::string>> outLines, errLines;
  for (const auto& l : lines) (l.first ? errLines : outLines).push_back(l);
  EXPECT_EQ(outLines,
            (std::vector<std::pair<bool, std::string>>{{false, "one"}, {false, "three"}}));
  EXPECT_EQ(errLines, (std::vector<std::pair<bool, std::string>>{{true, "two"}}));
}

}  // namespace
}  // namespace brimvale::mover
