#include "app/core/run_loop.h"

#include <csignal>
#include <thread>

#include <gtest/gtest.h>

namespace brimvale::app {
namespace {
using namespace std::chrono_literals;

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

}  // namespace
}  // namespace brimvale::app
