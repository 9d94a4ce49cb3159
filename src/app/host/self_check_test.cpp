#include "app/host/self_check.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/installer_sandbox.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

struct Rig : brimvale::testing::InstallerSandbox {
  std::time_t now = 1'900'000'000;
  ServiceInstaller installer{paths, {scripts, "", ""}, services, [](const std::string&) {}};
  SelfCheck check{
      paths, scripts, installer, services, [this] { return now; }, std::chrono::milliseconds(0)};

  Rig() : InstallerSandbox("home", "definition", "#!/bin/sh\necho 'brim-vale: help'\n") {
    // The service reports in whenever it is (re)started.
    services.onKickstart = [this] { writeSnapshot(now); };
  }
  void install() {
    ASSERT_TRUE(installer.install());
    services.calls.clear();
  }
  void writeSnapshot(std::time_t at) { writeAged(paths.statusJson, at); }
  static void writeAged(const fs::path& file, std::time_t at) {
    (void)writeFileAtomically(file, "{}\n");
    fs::last_write_time(
        file, fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(at)));
  }
  const CheckResult& result(const std::string& name, const SelfCheckReport& r) {
    for (const auto& c : r.checks) {
      if (c.name == name) return c;
    }
    static CheckResult none;
    return none;
  }
};

TEST(SelfCheck, BeforeInstallationRepairsNothingOfTheService) {
  Rig rig;
  SelfCheckReport report = rig.check.run();
  EXPECT_EQ(rig.result("State directory", report).outcome, CheckOutcome::kRepaired);
  EXPECT_EQ(rig.result("Daemon log file", report).outcome, CheckOutcome::kRepaired);
  EXPECT_EQ(rig.result("Service program", report).detail, "not installed yet (wizard hasn't run)");
  EXPECT_EQ(rig.result("User service", report).detail,
            "definition not installed (wizard hasn't run)");
  EXPECT_TRUE(rig.services.calls.empty());
  EXPECT_EQ(report.summary(),
            "Brimvale self-check: Service program, User service, Daemon liveness needs attention");
}

TEST(SelfCheck, HealthyInstallationAndItsRepairs) {
  struct Case {
    const char* name;
    std::function<void(Rig&)> breakIt;
    const char* check;
    CheckOutcome outcome;
    std::string detail;
  } cases[] = {
      {"healthy", [](Rig&) {}, "User service", CheckOutcome::kHealthy, "loaded, last exit clean"},
      {"unloaded", [](Rig& r) { r.services.loaded = false; }, "User service",
       CheckOutcome::kRepaired, "was unloaded, now running"},
      {"crashed",
       [](Rig& r) {
         r.services.lastExit = 2;
         r.services.pid.reset();
       },
       "User service", CheckOutcome::kRepaired, "was crashed (exit=2), now running"},
      {"program not runnable",
       [](Rig& r) { fs::permissions(r.paths.serviceProgram, fs::perms::owner_read); },
       "Service program", CheckOutcome::kRepaired, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.install();
    c.breakIt(rig);
    SelfCheckReport report = rig.check.run();
    const CheckResult& r = rig.result(c.check, report);
    EXPECT_EQ(r.outcome, c.outcome);
    if (!c.detail.empty()) {
      EXPECT_EQ(r.detail, c.detail);
    }
    EXPECT_FALSE(report.needsAttention()) << report.text();
  }
}

// Given how the service really is (running or not, how it ended, how old its
// snapshot and the usage history are), then the job and liveness checks say
// so and restart it only when it is down or wedged.
TEST(SelfCheck, LivenessFollowsTheServicesRealState) {
  constexpr std::time_t kDay = 24 * 3600;
  struct Case {
    const char* name;
    bool running;
    std::optional<int> lastExit;
    std::time_t snapshotAge;
    const char* job;
    const char* liveness;
    const char* summary;
  } cases[] = {
      {"running, usage history days old", true, std::nullopt, 60, "loaded, last exit clean",
       "reporting", "Brimvale self-check: all healthy"},
      {"killed, snapshot three days old", false, std::nullopt, 3 * kDay,
       "was not running, now running", "reported in after the restart",
       "Brimvale self-check: repaired User service"},
      {"killed, its ending recorded", false, 137, 3 * kDay, "was crashed (exit=137), now running",
       "reported in after the restart", "Brimvale self-check: repaired User service"},
      {"running but silent for hours", true, std::nullopt, 5 * 3600 + 60, "loaded, last exit clean",
       "snapshot stale (5h old) — bounced user service to unwedge",
       "Brimvale self-check: repaired Daemon liveness"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.install();
    Rig::writeAged(rig.paths.log, rig.now);
    Rig::writeAged(rig.paths.state / "history.ndjson", rig.now - 3 * kDay);
    rig.writeSnapshot(rig.now - c.snapshotAge);
    if (!c.running) rig.services.pid.reset();
    rig.services.lastExit = c.lastExit;
    SelfCheckReport report = rig.check.run();
    EXPECT_EQ(rig.result("User service", report).detail, c.job);
    EXPECT_EQ(rig.result("Daemon liveness", report).detail, c.liveness);
    EXPECT_EQ(report.summary(), c.summary);
    EXPECT_TRUE(rig.services.pid) << "the service runs afterwards";
  }
}

// Given parts of an installation deleted, then the definition is written
// again when the installation ran, and nothing is done when it never ran.
TEST(SelfCheck, ADeletedDefinitionIsWrittenAgain) {
  struct Case {
    const char* name;
    bool deleteProgram;
    const char* job;
    bool definitionAfter;
  } cases[] = {
      {"definition deleted", false, "definition was missing, rewrote it, now running", true},
      {"definition and program deleted", true, "definition not installed (wizard hasn't run)",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.install();
    fs::remove(rig.services.definitionPath());
    if (c.deleteProgram) fs::remove(rig.paths.serviceProgram);
    SelfCheckReport report = rig.check.run();
    EXPECT_EQ(rig.result("User service", report).detail, c.job);
    EXPECT_EQ(fs::exists(rig.services.definitionPath()), c.definitionAfter);
  }
}

TEST(SelfCheck, ReDeploysABrokenProgram) {
  Rig rig;
  rig.install();
  ASSERT_TRUE(writeFileAtomically(rig.paths.serviceProgram, "#!/bin/sh\nexit 1\n", {.mode = 0700}));
  SelfCheckReport report = rig.check.run();
  EXPECT_EQ(rig.result("Service program", report).detail,
            "re-deployed brim-vale.sh from " + rig.scripts.string() + " and reloaded user service");
  EXPECT_EQ(*readFile(rig.paths.serviceProgram), "#!/bin/sh\necho 'brim-vale: help'\n");
}

TEST(SelfCheck, AServiceThatNeverReportsInNeedsAttention) {
  Rig rig;
  rig.install();
  rig.services.loaded = false;
  rig.services.onKickstart = nullptr;  // starts, but writes nothing
  rig.now += 60;
  ASSERT_TRUE(appendToFile(rig.paths.log, "2026-12-06 10:00:00  cannot read config\n"));
  SelfCheckReport report = rig.check.run();
  EXPECT_EQ(rig.result("Daemon liveness", report).detail,
            "started the background service but it didn't report in within 5 seconds. Last log "
            "lines: 2026-12-06 10:00:00  cannot read config\nCheck Console.app or "
            "`~/.brimvale/brim-vale.log` for details.");
  EXPECT_EQ(report.summary(), "Brimvale self-check: Daemon liveness needs attention");
}

}  // namespace
}  // namespace brimvale::app
