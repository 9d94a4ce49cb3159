#include "app/core/run_loop.h"

#include <csignal>
#include <thread>

#include <gtest/gtest.h>

namespace brimvale::app {
namespace {
using namespace std::chrono_literals;

TEST(RunLoop, RepeatingTimersFireUntilCancelled) {
  RunLoop loop;
  int fast = 0;
  int slow = 0;
  platform::Scheduler::TimerId fastId = 0;
  fastId = loop.scheduleRepeating("fast", 5ms, 1ms, [&] {
    if (++fast == 3) loop.cancel(fastId);
  });
  loop.scheduleRepeating("slow", 40ms, 10ms, [&] {
    ++slow;
    loop.stop();
  });
  EXPECT_EQ(loop.run(), 0);
  EXPECT_EQ(fast, 3);  // cancelled from its own firing
  EXPECT_EQ(slow, 1);
}

TEST(RunLoop, BackgroundResultsComeBackOnTheLoopThread) {
  RunLoop loop;
  const auto loopThread = std::this_thread::get_id();
  std::thread::id workThread;
  std::thread::id resultThread;
  loop.post([&] {
    loop.runInBackground([&]() -> std::function<void()> {
      workThread = std::this_thread::get_id();
      return [&] {
        resultThread = std::this_thread::get_id();
        loop.stop();
      };
    });
  });
  loop.run();
  EXPECT_NE(workThread, loopThread);
  EXPECT_EQ(resultThread, loopThread);
}

TEST(RunLoop, TerminateAndInterruptStopTheLoop) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    RunLoop loop;
    loop.post([signal] { std::raise(signal); });
    EXPECT_EQ(loop.run(), signal);
  }
}

TEST(RunLoop, ASignalBeforeRunEndsTheFirstRun) {
  RunLoop loop;
  std::raise(SIGTERM);  // during start-up: must not kill the process
  bool ran = false;
  loop.post([&] { ran = true; });
  EXPECT_EQ(loop.run(), SIGTERM);
}

TEST(RunLoop, InterruptEndsOneRunLikeASignalAndSignalsStillCount) {
  RunLoop loop;
  std::thread other([&] { loop.interrupt(SIGINT); });
  other.join();
  EXPECT_EQ(loop.run(), SIGINT);
  // The next run is not stopped by the same interrupt again, and a real
  // signal still reaches it.
  loop.post([] { std::raise(SIGTERM); });
  EXPECT_EQ(loop.run(), SIGTERM);
}

}  // namespace
}  // namespace brimvale::app
