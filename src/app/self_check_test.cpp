#include "app/self_check.h"

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
  void writeSnapshot(std::time_t at) {
    (void)writeFileAtomically(paths.statusJson, "{}");
    fs::last_write_time(paths.statusJson, fs::file_time_type::clock::from_sys(
                                              std::chrono::system_clock::from_time_t(at)));
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
  EXPECT_EQ(rig.result("LaunchAgent", report).detail, "plist not installed (wizard hasn't run)");
  EXPECT_TRUE(rig.services.calls.empty());
  EXPECT_EQ(report.summary(),
            "Brimvale self-check: Service program, LaunchAgent, Daemon liveness needs attention");
}

TEST(SelfCheck, HealthyInstallationAndItsRepairs) {
  struct Case {
    const char* name;
    std::function<void(Rig&)> breakIt;
    const char* check;
    CheckOutcome outcome;
    std::string detail;
  } cases[] = {
      {"healthy", [](Rig&) {}, "LaunchAgent", CheckOutcome::kHealthy, "loaded, last exit clean"},
      {"unloaded", [](Rig& r) { r.services.loaded = false; }, "LaunchAgent",
       CheckOutcome::kRepaired, "was unloaded, now running"},
      {"crashed", [](Rig& r) { r.services.lastExit = 2; }, "LaunchAgent", CheckOutcome::kRepaired,
       "was crashed (exit=2), now running"},
      {"program not runnable",
       [](Rig& r) { fs::permissions(r.paths.serviceProgram, fs::perms::owner_read); },
       "Service program", CheckOutcome::kRepaired, ""},
      {"stale history",
       [](Rig& r) {
         (void)writeFileAtomically(r.paths.state / "history.ndjson", "{}\n");
         fs::last_write_time(r.paths.state / "history.ndjson",
                             fs::file_time_type::clock::from_sys(
                                 std::chrono::system_clock::from_time_t(r.now - 5 * 3600 - 60)));
       },
       "Daemon liveness", CheckOutcome::kRepaired,
       "snapshot stale (5h old) — bounced LaunchAgent to unwedge"},
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

TEST(SelfCheck, ReDeploysABrokenProgram) {
  Rig rig;
  rig.install();
  ASSERT_TRUE(writeFileAtomically(rig.paths.serviceProgram, "#!/bin/sh\nexit 1\n", {.mode = 0700}));
  SelfCheckReport report = rig.check.run();
  EXPECT_EQ(rig.result("Service program", report).detail,
            "re-deployed brim-vale.sh from " + rig.scripts.string() + " and reloaded LaunchAgent");
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
