#include "diagnostics/storage_warning_monitor.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/fake_launcher.h"
#include "testing/platform/fake_scheduler.h"
#include "testing/platform/memory_user_defaults.h"
#include "testing/platform/recording_desktop.h"

namespace brimvale::diagnostics {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::TempFolder;
using platform::testing::DesktopRecord;
using platform::testing::FakeLauncher;
using platform::testing::FakeProcesses;
using platform::testing::FakeScheduler;
using platform::testing::MemoryDefaults;
using platform::testing::RecordingDesktop;

constexpr std::int64_t kGB = 1'000'000'000;

VolumeMeasurement disk(std::int64_t totalGb, std::int64_t freeGb) {
  return {"/", totalGb * kGB, freeGb * kGB, freeGb * kGB, 0};
}

TEST(StorageWarningMonitor, ClassifiesWithThresholdsAndPercentageFloors) {
  struct Case {
    const char* name;
    VolumeMeasurement m;
    WarnState expected;
  } cases[] = {
      {"1000 GB, 60 free: the 10% floor wins", disk(1000, 60), WarnState::kLow},
      {"1000 GB, 100 free: entered at equality", disk(1000, 100), WarnState::kLow},
      {"256 GB, 12 free", disk(256, 12), WarnState::kCritical},
      {"256 GB, 5 free", disk(256, 5), WarnState::kEmergency},
      {"4000 GB, 80 free: the 2% floor", disk(4000, 80), WarnState::kEmergency},
      {"fractions truncate", {"/", 256 * kGB, 15 * kGB + 999'999'999, 0, 0}, WarnState::kCritical},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classify(c.m, MonitorConfig{}), c.expected);
  }
}

class FakeVolumes final : public platform::VolumeResources {
 public:
  platform::VolumeResourceValues values;
  platform::VolumeResourceValues read(const std::string&) override { return values; }
};

struct Rig {
  TempFolder home;
  StatePaths paths = StatePaths::forHome(home.path());
  FakeVolumes volumes;
  MemoryDefaults defaults;
  DesktopRecord desktop;
  std::vector<std::string> log;
  platform::NotificationCenter centre{paths.state / "delivered.json",
                                      std::make_unique<RecordingDesktop>(desktop),
                                      [](const std::string&) {}, [] { return std::time_t{0}; }};
  NotificationDelivery delivery{paths, centre};
  transfers::BackgroundJobsStore ledger{paths.state, [] { return std::time_t{1'700'000'000}; }};
  FakeScheduler scheduler;
  FakeProcesses processes;
  FakeLauncher launcher{processes};
  StorageWarningMonitor monitor{{paths, volumes, defaults, delivery, ledger, scheduler,
                                 [this](const std::string& l) { log.push_back(l); },
                                 [] { return std::time_t{1'700'000'000}; }, "/usr/bin/rsync",
                                 platform::runnerOf(launcher)}};

  Rig() {
    fs::create_directories(paths.state);
    processes.answer = [](const ProcessInvocation&) {
      return ProcessResult{.outcome = ProcessOutcome::kExited, .exitCode = 0};
    };
    config("ENABLE_AUTO_ACTIONS=1\n");
  }
  void config(const std::string& text) { (void)writeFileAtomically(paths.config, text); }
  void freeSpace(std::int64_t totalGb, std::int64_t freeGb) {
    volumes.values = {totalGb * kGB, freeGb * kGB, freeGb * kGB};
  }
  bool logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), "[StorageWarningMonitor] " + line) != log.end();
  }
};

TEST(StorageWarningMonitor, EscalationReplacesOneSlotAndRecoveryClearsIt) {
  Rig rig;
  rig.freeSpace(256, 100);
  rig.monitor.start();
  ASSERT_EQ(rig.scheduler.timers.size(), 1u);
  EXPECT_TRUE(rig.centre.delivered().empty());

  const std::pair<std::int64_t, const char*> steps[] = {
      {30, "Storage running low — internal SSD"},
      {12, "Storage CRITICAL — internal SSD almost full"},
      {4, "STORAGE EMERGENCY — apps may fail"},
  };
  for (const auto& [freeGb, title] : steps) {
    SCOPED_TRACE(title);
    rig.freeSpace(256, freeGb);
    rig.scheduler.timers.begin()->second.fire();
    ASSERT_EQ(rig.centre.delivered().size(), 1u);
    EXPECT_EQ(rig.centre.delivered()[0].request.title, title);
    EXPECT_EQ(rig.centre.delivered()[0].request.identifier, "storage.warning");
    rig.monitor.tick();  // same state again: nothing new
  }
  EXPECT_EQ(rig.desktop.shown.size(), 3u);
  EXPECT_EQ(rig.defaults.getString("brimvale.storage.warnState"), "emergency");
  ASSERT_EQ(rig.ledger.readIssues().size(), 1u);
  EXPECT_EQ(rig.ledger.readIssues()[0].count, 3);
  // critical and emergency each asked the service to relocate, with the rsync in use.
  ASSERT_EQ(rig.processes.runs.size(), 2u);
  for (const ProcessInvocation& run : rig.processes.runs) {
    EXPECT_EQ(run.path, rig.paths.serviceProgram.string());
    EXPECT_EQ(run.args, std::vector<std::string>{"relocate-now"});
    EXPECT_EQ(run.envAdditions,
              (std::vector<std::pair<std::string, std::string>>{{"RSYNC", "/usr/bin/rsync"}}));
  }
  EXPECT_TRUE(rig.logged("auto-relocate completed (exit 0)"));

  rig.freeSpace(256, 200);
  rig.monitor.tick();
  EXPECT_TRUE(rig.centre.delivered().empty());
  EXPECT_EQ(rig.desktop.shown.size(), 3u);  // recovery posts nothing
  EXPECT_TRUE(rig.ledger.readIssues().empty());
  EXPECT_EQ(rig.monitor.state(), WarnState::kOk);

  rig.monitor.stop();
  EXPECT_TRUE(rig.scheduler.timers.empty());
}

}  // namespace
}  // namespace brimvale::diagnostics
