#include "app/host/self_check.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/platform/installer_sandbox.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

struct SelfCheckRig : brimvale::testing::InstallerSandbox {
  std::time_t now = 1'900'000'000;
  ServiceInstaller installer{
      paths, {scripts, "", "", runProcess}, services, [](const std::string&) {}};
  SelfCheck check{
      paths, scripts, installer, services, [this] { return now; }, std::chrono::milliseconds(0)};

  SelfCheckRig() : InstallerSandbox("home", "definition", "#!/bin/sh\necho 'brim-vale: help'\n") {
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
      {"running but silent for hours", true, std::nullopt, 5 * 3600 + 60, "loaded, last exit clean",
       "snapshot stale (5h old) — bounced user service to unwedge",
       "Brimvale self-check: repaired Daemon liveness"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SelfCheckRig rig;
    rig.install();
    SelfCheckRig::writeAged(rig.paths.log, rig.now);
    SelfCheckRig::writeAged(rig.paths.state / "history.ndjson", rig.now - 3 * kDay);
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

}  // namespace
}  // namespace brimvale::app
