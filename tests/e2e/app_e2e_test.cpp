// brimvale install, run, status, jobs and notifications, run as the real
// program against a temporary home. The service's watch loop is played by a
// stand-in that has the real brim-vale write its snapshot every second.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/state/paths.h"
#include "e2e_harness.h"
#include "service/core/notifications.h"
#include "service_process.h"
#include "session_bus.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class OnTerminate { kExit, kIgnore };

// A Scripts folder whose brim-vale forwards to the real one, except `watch`,
// which writes the snapshot every second until terminated (or not).
fs::path makeScripts(const TempHome& home, OnTerminate onTerm) {
  const fs::path scripts = home.path() / "Scripts";
  fs::create_directories(scripts);
  std::string script = "#!/bin/sh\nreal='" BRIM_VALE_PATH
                       "'\n"
                       "if [ \"$1\" = watch ]; then\n";
  script += onTerm == OnTerminate::kExit ? "  trap 'exit 0' TERM\n" : "  trap '' TERM\n";
  script +=
      "  while :; do \"$real\" json >/dev/null; sleep 1 & wait $!; done\n"
      "fi\n"
      "exec \"$real\" \"$@\"\n";
  (void)writeFileAtomically(scripts / "brim-vale", script, {.mode = 0700});
  return scripts;
}

ProcessResult brimvale(const TempHome& home, const fs::path& scripts,
                       std::vector<std::string> args) {
  args.insert(args.begin(), {"--scripts", scripts.string()});
  return runProcess({.path = BRIMVALE_PATH,
                     .args = std::move(args),
                     .envAdditions = {{"HOME", home.path().string()}},
                     .deadline = std::chrono::seconds(60)});
}

// `brimvale run` in the background, its output in a file.
class RunningApp {
 public:
  RunningApp(const TempHome& home, const fs::path& scripts)
      : output_(home.path() / "run-output.txt") {
    std::vector<std::string> args = {BRIMVALE_PATH, "--scripts", scripts.string(), "run"};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (!std::string_view(*e).starts_with("HOME=")) env.emplace_back(*e);
    }
    env.push_back("HOME=" + home.path().string());
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn(&pid_, BRIMVALE_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
  }
  ~RunningApp() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // Ends it at once, as a crash or `kill -9` would.
  void killHard() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    exited_ = true;
  }
  // Sends SIGTERM and waits (up to 30 s) for the exit status.
  int terminate(std::chrono::milliseconds* took) {
    const auto start = Clock::now();
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 600 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(50ms);
    exited_ = true;
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string output() const { return readFile(output_).value_or(""); }

 private:
  fs::path output_;
  pid_t pid_ = -1;
  bool exited_ = false;
};

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

void stopOrphanedService(const TempHome& home) {
  if (auto pid = servicePid(home); pid && alive(*pid)) kill(-*pid, SIGKILL);
}

// No user service manager runs here, so install puts the files down and
// starts nothing (lifecycle_e2e_test.cpp checks that).
TEST(AppE2E, InstallPutsTheServiceInPlaceAndKeepsTheConfiguration) {
  TempHome home;
  const fs::path scripts = makeScripts(home, OnTerminate::kExit);
  ProcessResult first = brimvale(home, scripts, {"install"});
  ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
  EXPECT_NE(first.out.find("✓ Install complete.\n"), std::string::npos);
  const fs::path root = home.path() / ".brimvale";
  EXPECT_EQ(modeOf(root), 0700u);
  EXPECT_EQ(modeOf(root / "brim-vale"), 0700u);
  EXPECT_EQ(modeOf(root / "brim-vale.conf"), 0600u);
  EXPECT_TRUE(fs::exists(home.state() / "service-definition.json"));

  // The shim reaches the installed service.
  ProcessResult shim = runProcess({.path = (home.path() / ".local/bin/brvl").string(),
                                   .args = {"log", "1"},
                                   .envAdditions = {{"HOME", home.path().string()}},
                                   .deadline = 30s});
  EXPECT_EQ(shim.exitCode, 0) << shim.err;

  ASSERT_TRUE(writeFileAtomically(root / "brim-vale.conf", "NVMe=\"/Volumes/Mine\"\n"));
  ProcessResult second = brimvale(home, scripts, {"install"});
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(*readFile(root / "brim-vale.conf"), "NVMe=\"/Volumes/Mine\"\n");
}

TEST(AppE2E, InstallMigratesALegacyFolder) {
  TempHome home;
  const fs::path scripts = makeScripts(home, OnTerminate::kExit);
  fs::create_directories(home.path() / ".hollin");
  ASSERT_TRUE(
      writeFileAtomically(home.path() / ".hollin/tarnwick.conf", "NVMe=\"/Volumes/Old\"\n"));
  ProcessResult r = brimvale(home, scripts, {"install"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(r.out.starts_with("Migrating legacy ~/.hollin → ~/.brimvale\n")) << r.out;
  EXPECT_FALSE(fs::exists(home.path() / ".hollin"));
  EXPECT_EQ(*readFile(home.path() / ".brimvale/brim-vale.conf"), "NVMe=\"/Volumes/Old\"\n");
  stopOrphanedService(home);
}

TEST(AppE2E, RunDeliversQueuedNotificationsAndQuitsCleanly) {
  TempHome home;
  const fs::path scripts = makeScripts(home, OnTerminate::kExit);
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
  EXPECT_NE(app.output().find("storage warning monitor stopped (warnState=ok persisted)"),
            std::string::npos);
  EXPECT_NE(
      readFile(paths.state / "user-defaults.json")->find("\"brimvale.storage.warnState\": \"ok\""),
      std::string::npos);
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
  const fs::path scripts = makeScripts(home, OnTerminate::kExit);
  RunningApp app(home, scripts);
  ASSERT_TRUE(eventually([&] { return fs::exists(home.state() / "status.json"); })) << app.output();
  auto pid = servicePid(home);
  ASSERT_TRUE(pid);
  app.killHard();
  EXPECT_TRUE(eventually([&] { return !alive(*pid); }, 5s));
}

TEST(AppE2E, RunShowsNotificationsOnTheDesktopSessionBus) {
  TempHome home;
  const fs::path scripts = makeScripts(home, OnTerminate::kExit);
  PrivateBus bus(home.path() / "bus-address");
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
  NotificationServer desktop(home.path() / "desktop-calls.txt");
  ASSERT_TRUE(desktop.waitUntilReady());

  const StatePaths paths = StatePaths::forHome(home.path());
  fs::create_directories(paths.state);
  ASSERT_TRUE(appendNdjsonLine(
      paths.notificationsQueue,
      service::noteQueueLine({"NVMe disconnected", "Plug it back in.", "Funk", "drive", "warn"})));
  RunningApp app(home, scripts);  // inherits the bus address
  EXPECT_TRUE(eventually([&] { return desktop.calls().size() >= 2; })) << app.output();
  service::noteDismiss(paths, "drive");
  EXPECT_TRUE(eventually([&] { return desktop.calls().size() >= 3; })) << app.output();
  std::chrono::milliseconds took{};
  EXPECT_EQ(app.terminate(&took), 0);
  EXPECT_EQ(desktop.calls(),
            (std::vector<std::string>{"ready", "notify 0 1 1 NVMe disconnected|Plug it back in.",
                                      "close 1"}));
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

TEST(AppE2E, QuitWhileTheServiceWillNotStopEndsWithinFiveSeconds) {
  TempHome home;
  const fs::path scripts = makeScripts(home, OnTerminate::kIgnore);
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
