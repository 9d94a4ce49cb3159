#include "app/cli/stop_command.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "platform/testing/fake_service_manager.h"
#include "testing/temp_home.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::StateFolder;
using brimvale::testing::TempHome;
using platform::testing::FakeServices;
using namespace std::chrono_literals;

enum class OnTerm { kQuit, kIgnore };

// A process playing `brimvale run`: holds the mark until it is ended.
class MarkedApp {
 public:
  MarkedApp(const StatePaths& paths, OnTerm onTerm) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      if (onTerm == OnTerm::kIgnore) signal(SIGTERM, SIG_IGN);
      auto mark = RunningAppMark::take(paths);
      const char ok = mark ? '1' : '0';
      (void)!write(ready[1], &ok, 1);
      while (true) pause();
    }
    close(ready[1]);
    char ok = 0;
    EXPECT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, '1');
    close(ready[0]);
  }
  ~MarkedApp() {
    if (!ended()) kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  // True once it has exited (reaped here).
  bool ended() {
    if (reaped_) return true;
    int status = 0;
    reaped_ = waitpid(pid_, &status, WNOHANG) == pid_;
    return reaped_;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

TEST(Stop, SaysWhatItStoppedAndNothingTheSecondTime) {
  struct Case {
    const char* name;
    bool app;
    OnTerm onTerm;
    bool service;
    std::vector<std::string> lines;  // "{app}" stands for the application's pid
  } cases[] = {
      {"nothing runs", false, OnTerm::kQuit, false, {}},
      {"the service alone",
       false,
       OnTerm::kQuit,
       true,
       {"Stopped the background service (pid 4242)."}},
      {"the application alone",
       true,
       OnTerm::kQuit,
       false,
       {"Stopped Brimvale's application (`brimvale run`, pid {app})."}},
      {"an application deaf to SIGTERM is killed",
       true,
       OnTerm::kIgnore,
       false,
       {"Stopped Brimvale's application (`brimvale run`, pid {app})."}},
      {"both",
       true,
       OnTerm::kQuit,
       true,
       {"Stopped Brimvale's application (`brimvale run`, pid {app}).",
        "Stopped the background service (pid 4242)."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome home(StateFolder::kCreated);
    FakeServices services(home / "definition");
    if (c.service) {
      services.loaded = true;
      services.pid = FakeServices::kRunningPid;
    }
    std::optional<MarkedApp> app;
    if (c.app) app.emplace(home.paths(), c.onTerm);
    std::vector<std::string> expected;
    for (std::string line : c.lines) {
      if (auto at = line.find("{app}"); at != std::string::npos)
        line.replace(at, 5, std::to_string(app->pid()));
      expected.push_back(line);
    }
    const StopLimits limits{.appQuit = 300ms, .serviceStop = 1s};
    auto first = stopBrimvale(home.paths(), services, limits);
    ASSERT_TRUE(first) << first.error().detail;
    EXPECT_EQ(*first, expected);
    EXPECT_FALSE(services.pid);
    if (app) {
      EXPECT_TRUE(app->ended());
    }
    auto second = stopBrimvale(home.paths(), services, limits);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, std::vector<std::string>{});
  }
}

TEST(Stop, CommandSaysWhenNothingRunsAndWhenTheServiceWillNotStop) {
  TempHome home(StateFolder::kAbsent);
  FakeServices services(home / "definition");
  std::ostringstream out, err;
  EXPECT_EQ(stopCommand(home.paths(), services, out, err), 0);
  EXPECT_EQ(out.str(),
            "Nothing to stop: Brimvale's application and its background service are not "
            "running.\n");
  EXPECT_FALSE(fs::exists(home.paths().root)) << "stopping created the state folder";

  services.pid = FakeServices::kRunningPid;
  services.unloadHangs = true;
  out.str("");
  EXPECT_EQ(stopCommand(home.paths(), services, out, err), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(),
            "The background service (pid 4242) did not stop in time. Your data is safe; run "
            "`brimvale stop` again in a minute.\n");
}

// A second `brimvale run` cannot take the mark from the first, so `stop`
// always finds the one that runs.
TEST(Stop, TheMarkIsHeldByOneApplicationAtATime) {
  TempHome home(StateFolder::kCreated);
  MarkedApp first(home.paths(), OnTerm::kQuit);
  EXPECT_FALSE(RunningAppMark::take(home.paths()));
  kill(first.pid(), SIGKILL);
  for (int i = 0; i < 100 && !first.ended(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(RunningAppMark::take(home.paths()));
}

}  // namespace
}  // namespace brimvale::app
