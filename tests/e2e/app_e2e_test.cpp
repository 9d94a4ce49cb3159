// brimvale install, run, status, jobs and notifications, run as the real
// program against a temporary home. The service's watch loop is played by a
// stand-in that has the real brim-vale write its snapshot every second.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/state/paths.h"
#include "e2e_harness.h"
#include "service/core/notifications.h"
#include "service_process.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

ProcessResult brimvale(const TempHome& home, const fs::path& scripts,
                       std::vector<std::string> args) {
  args.insert(args.begin(), {"--scripts", scripts.string()});
  return runApp(home, std::move(args));
}

// `brimvale run` in the background, its output in a file.
struct RunningApp : BackgroundApp {
  RunningApp(const TempHome& home, const fs::path& scripts)
      : BackgroundApp(home, {"--scripts", scripts.string(), "run"}, "run-output.txt") {}
  // Sends SIGTERM and waits (up to 30 s) for the exit status; `took` is how long it took.
  int terminate(std::chrono::milliseconds* took) {
    const auto start = Clock::now();
    signal(SIGTERM);
    const int status = wait(30s);
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return status;
  }
};

void stopOrphanedService(const TempHome& home) {
  if (auto pid = servicePid(home); pid && alive(*pid)) kill(-*pid, SIGKILL);
}

TEST(AppE2E, RunDeliversQueuedNotificationsAndQuitsCleanly) {
  TempHome home;
  const fs::path scripts = makeStatusWritingScripts(home);
  ASSERT_EQ(brimvale(home, scripts, {"install"}).exitCode, 0);
  // An older definition that asked to be kept alive is rewritten at start.
  const fs::path definition = home.state() / "service-definition.json";
  std::string old = *readFile(definition);
  old.replace(old.find("\"keepAlive\": false"), 18, "\"keepAlive\": true");
  ASSERT_TRUE(writeFileAtomically(definition, old));

  // Queued by the service's own writer before the application starts.
  const StatePaths paths = StatePaths::forHome(home.path());
  ASSERT_TRUE(appendNdjsonLine(
      paths.notificationsQueue,
      service::noteQueueLine({"NVMe disconnected", "Plug it back in.", "Funk", "", ""})));
  ASSERT_TRUE(appendNdjsonLine(paths.notificationsQueue, "{not json"));
  ASSERT_TRUE(appendNdjsonLine(paths.notificationsQueue,
                               service::noteQueueLine({"Relocation running", "Moving Downloads.",
                                                       "Tink", "relocation", "info"})));

  RunningApp app(home, scripts);
  auto listed = [&](const std::string& text) {
    return brimvale(home, scripts, {"notifications"}).out.find(text) != std::string::npos;
  };
  ASSERT_TRUE(eventually([&] { return listed("NVMe disconnected"); })) << app.output();
  EXPECT_TRUE(listed("Relocation running"));
  EXPECT_NE(readFile(definition)->find("\"keepAlive\": false"), std::string::npos);

  // Appended while the application runs: picked up by the 2-second drain.
  service::noteDismiss(paths, "relocation");
  EXPECT_TRUE(eventually([&] { return !listed("Relocation running"); }));
  EXPECT_TRUE(listed("NVMe disconnected"));

  EXPECT_TRUE(eventually([&] { return fs::exists(paths.statusJson); }));
  auto pid = servicePid(home);
  ASSERT_TRUE(pid);
  EXPECT_TRUE(alive(*pid));
  EXPECT_TRUE(eventually([&] {
    return app.output().find("service status at ") != std::string::npos;
  })) << app.output();

  // The hour's usage row, written by the application itself.
  EXPECT_TRUE(eventually([&] {
    return splitLines(readFile(paths.state / "history.ndjson").value_or("")).size() == 1;
  }));
  ProcessResult jobs = brimvale(home, scripts, {"jobs"});
  EXPECT_NE(jobs.out.find("storage_watch — Checks every half-minute\n  last run "),
            std::string::npos)
      << jobs.out;
  EXPECT_NE(jobs.out.find("usage_history — Records once an hour\n  last run "), std::string::npos)
      << jobs.out;

  std::chrono::milliseconds took{};
  EXPECT_EQ(app.terminate(&took), 0) << app.output();
  EXPECT_LT(took, 5s);
  EXPECT_FALSE(alive(*pid));
  // The level depends on this machine's own disk; what matters is that the
  // level it logged on the way out is the one it saved.
  const std::string out = app.output();
  const std::string said = "storage warning monitor stopped (warnState=";
  const auto at = out.find(said);
  ASSERT_NE(at, std::string::npos) << out;
  const std::string level =
      out.substr(at + said.size(), out.find(' ', at + said.size()) - at - said.size());
  EXPECT_NE(readFile(paths.state / "user-defaults.json")
                ->find("\"brimvale.storage.warnState\": \"" + level + "\""),
            std::string::npos)
      << level;
}

// Given the real service, started detached by the self-check, then killed
// and its snapshot three days old, then the self-check reports how it ended,
// starts it again and sees it report in; it never calls that "all healthy".
// The drive is in place, so the service reports in without first trying to
// mount it.
TEST(AppE2E, SelfCheckRepairsAKilledService) {
  TmpfsDrive drive("sc-" + std::to_string(getpid()));
  BRIMVALE_REQUIRE_DRIVE(drive);
  TempHome home;
  home.writeConfig("NVMe=\"" + drive.path().string() + "\"\n");
  fs::create_directories(drive.path() / thisWorkingFolderName());
  ASSERT_TRUE(writeFileAtomically(drive.path() / thisWorkingFolderName() / ".hollin-managed",
                                  "marker_version=1\n"));
  const fs::path scripts = home.path() / "Scripts";
  fs::create_directories(scripts);
  fs::copy_file(BRIM_VALE_PATH, scripts / "brim-vale");
  ASSERT_EQ(brimvale(home, scripts, {"install"}).exitCode, 0);
  const StatePaths paths = StatePaths::forHome(home.path());
  ProcessResult started = brimvale(home, scripts, {"self-check"});
  EXPECT_NE(started.out.find("User service: repaired — was unloaded, now running\n"),
            std::string::npos)
      << started.out;
  ASSERT_TRUE(eventually([&] { return fs::exists(paths.statusJson); }));
  ProcessResult healthy = brimvale(home, scripts, {"self-check"});
  EXPECT_TRUE(healthy.out.ends_with("Brimvale self-check: all healthy\n")) << healthy.out;

  auto killed = servicePid(home);
  ASSERT_TRUE(killed && alive(*killed));
  ASSERT_EQ(kill(*killed, SIGKILL), 0);
  ASSERT_TRUE(eventually([&] { return fs::exists(paths.state / "brim-vale.exit"); }));
  fs::last_write_time(paths.statusJson, fs::file_time_type::clock::now() - 72h);

  ProcessResult check = brimvale(home, scripts, {"self-check"});
  EXPECT_EQ(check.exitCode, 0) << check.out;
  EXPECT_NE(check.out.find("User service: repaired — was crashed (exit=137), now running\n"),
            std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("Daemon liveness: healthy — reported in after the restart\n"),
            std::string::npos)
      << check.out;
  EXPECT_TRUE(check.out.ends_with("Brimvale self-check: repaired User service\n")) << check.out;
  auto restarted = servicePid(home);
  ASSERT_TRUE(restarted);
  EXPECT_NE(*restarted, *killed);
  EXPECT_TRUE(alive(*restarted));
  stopOrphanedService(home);
}

TEST(AppE2E, TheServiceEndsWithTheApplicationEvenWhenItIsKilled) {
  TempHome home;
  const fs::path scripts = makeStatusWritingScripts(home);
  RunningApp app(home, scripts);
  ASSERT_TRUE(eventually([&] { return fs::exists(home.state() / "status.json"); })) << app.output();
  auto pid = servicePid(home);
  ASSERT_TRUE(pid);
  app.kill9();
  EXPECT_TRUE(eventually([&] { return !alive(*pid); }, 5s));
}

TEST(AppE2E, QuitWhileTheServiceWillNotStopEndsWithinFiveSeconds) {
  TempHome home;
  const fs::path scripts = makeStatusWritingScripts(home, /*stopsOnTerm=*/false);
  RunningApp app(home, scripts);  // first run: installs, then runs
  ASSERT_TRUE(eventually([&] { return fs::exists(home.state() / "status.json"); })) << app.output();
  auto pid = servicePid(home);
  ASSERT_TRUE(pid);
  std::chrono::milliseconds took{};
  EXPECT_EQ(app.terminate(&took), 0);
  EXPECT_LE(took, 5500ms);
  // Past its patience the supervisor ends the service for good: nothing is left behind.
  EXPECT_FALSE(alive(*pid));
}

}  // namespace
}  // namespace brimvale::e2e
