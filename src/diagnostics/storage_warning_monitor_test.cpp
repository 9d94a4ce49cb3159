#include "diagnostics/storage_warning_monitor.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "platform/testing/fake_scheduler.h"
#include "platform/testing/memory_user_defaults.h"
#include "platform/testing/recording_desktop.h"
#include "platform/testing/standin_tool.h"
#include "testing/raw_name_checks.h"
#include "testing/temp_folder.h"

namespace brimvale::diagnostics {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::TempFolder;
using platform::testing::DesktopRecord;
using platform::testing::FakeScheduler;
using platform::testing::MemoryDefaults;
using platform::testing::RecordingDesktop;
using platform::testing::StandinTool;

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
      {"1000 GB, 101 free", disk(1000, 101), WarnState::kOk},
      {"1000 GB, 100 free: entered at equality", disk(1000, 100), WarnState::kLow},
      {"256 GB, 12 free", disk(256, 12), WarnState::kCritical},
      {"256 GB, 5 free", disk(256, 5), WarnState::kEmergency},
      {"256 GB, 40 free", disk(256, 40), WarnState::kLow},
      {"256 GB, 41 free", disk(256, 41), WarnState::kOk},
      {"4000 GB, 80 free: the 2% floor", disk(4000, 80), WarnState::kEmergency},
      {"tiny total counts as 1 GB", {"/", 999'999'999, 0, 0, 0}, WarnState::kEmergency},
      {"fractions truncate", {"/", 256 * kGB, 15 * kGB + 999'999'999, 0, 0}, WarnState::kCritical},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classify(c.m, MonitorConfig{}), c.expected);
  }
}

TEST(StorageWarningMonitor, ReadsConfigurationLikeTheApplication) {
  struct Case {
    const char* text;
    MonitorConfig expected;
  } cases[] = {
      {"", {40, 15, 5, false}},
      {"LOW_SPACE_WARN_GB=fifty\n", {40, 15, 5, false}},
      {"  LOW_SPACE_CRITICAL_GB = '20' \nLOW_SPACE_EMERGENCY_GB=8\n", {40, 15, 8, false}},
      {"LOW_SPACE_CRITICAL_GB='20'\n# LOW_SPACE_WARN_GB=1\nENABLE_AUTO_ACTIONS=TRUE\n",
       {40, 20, 5, true}},
      {"ENABLE_AUTO_ACTIONS=\"1\"\r\nLOW_SPACE_WARN_GB=7=8\n", {40, 15, 5, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseMonitorConfig(c.text), c.expected);
  }
  EXPECT_EQ(readMonitorConfig("/nonexistent/brim-vale.conf"), MonitorConfig{});
}

TEST(StorageWarningMonitor, MeasuresTheLargerAvailableFigure) {
  using V = platform::VolumeResourceValues;
  auto m = measurementFrom("/", V{100, 30, 50}, 9);
  ASSERT_TRUE(m);
  EXPECT_EQ(*m, (VolumeMeasurement{"/", 100, 50, 30, 9}));
  EXPECT_EQ(measurementFrom("/", V{100, std::nullopt, 50}, 9)->rawAvailableBytes, 50);
  EXPECT_EQ(measurementFrom("/", V{100, 30, std::nullopt}, 9)->freeBytes, 30);
  EXPECT_FALSE(measurementFrom("/", V{std::nullopt, 30, 50}, 9));
  EXPECT_FALSE(measurementFrom("/", V{100, std::nullopt, std::nullopt}, 9));
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
  std::unique_ptr<StandinTool> service;
  StorageWarningMonitor monitor{{paths, volumes, defaults, delivery, ledger, scheduler,
                                 [this](const std::string& l) { log.push_back(l); },
                                 [] { return std::time_t{1'700'000'000}; }, "/usr/bin/rsync"}};

  Rig() {
    fs::create_directories(paths.state);
    service = std::make_unique<StandinTool>(home, ".brimvale/brim-vale");
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
  // critical and emergency each asked the service to relocate.
  EXPECT_EQ(rig.service->arguments(), (std::vector<std::string>{"relocate-now", "relocate-now"}));
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

TEST(StorageWarningMonitor, AutoRelocateSkipsAndFailures) {
  struct Case {
    const char* name;
    const char* config;
    bool paused;
    int exitCode;
    const char* output;
    const char* logLine;
    bool ran;
  } cases[] = {
      {"auto actions off", "ENABLE_AUTO_ACTIONS=0\n", false, 0, "",
       "auto-relocate skipped — ENABLE_AUTO_ACTIONS=0", false},
      {"paused", "ENABLE_AUTO_ACTIONS=true\n", true, 0, "",
       "auto-relocate skipped — manager is paused", false},
      {"service fails", "ENABLE_AUTO_ACTIONS=1\n", false, 3, "drive not usable\n",
       "auto-relocate exited code=3: drive not usable\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.config(c.config);
    if (c.paused) {
      ASSERT_TRUE(touchFile(rig.paths.paused));
    }
    rig.service->reply(c.output, c.exitCode);
    rig.freeSpace(256, 12);
    rig.monitor.tick();
    EXPECT_EQ(rig.centre.delivered().size(), 1u);  // notified either way
    EXPECT_TRUE(rig.logged(c.logLine));
    EXPECT_EQ(!rig.service->arguments().empty(), c.ran);
  }
}

TEST(StorageWarningMonitor, RestoredStateSuppressesARepeatWarning) {
  Rig rig;
  ASSERT_TRUE(rig.defaults.setString("brimvale.storage.warnState", "critical"));
  rig.freeSpace(256, 12);
  rig.monitor.start();
  EXPECT_TRUE(rig.logged("restored persisted warnState=critical from UserDefaults"));
  EXPECT_TRUE(rig.desktop.shown.empty());
  EXPECT_TRUE(rig.service->arguments().empty());
  EXPECT_EQ(rig.monitor.state(), WarnState::kCritical);
}

// Given a persisted "critical", then only a monitor that ran writes its
// state at quit; a launch that never started it leaves the state alone.
TEST(StorageWarningMonitor, QuitPersistsOnlyWhatARunningMonitorLearnt) {
  struct Case {
    const char* name;
    bool started;
    int stops;
    const char* persisted;
  } cases[] = {
      {"started, then stopped", true, 1, "ok"},
      {"never started", false, 1, "critical"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    ASSERT_TRUE(rig.defaults.setString("brimvale.storage.warnState", "critical"));
    rig.freeSpace(256, 200);
    if (c.started) rig.monitor.start();
    for (int i = 0; i < c.stops; ++i) rig.monitor.stop();
    EXPECT_EQ(rig.defaults.getString("brimvale.storage.warnState"), c.persisted);
    EXPECT_TRUE(rig.scheduler.timers.empty());
  }
}

TEST(StorageWarningMonitor, RestartAfterRecoveryClearsTheStaleWarning) {
  Rig rig;
  rig.centre.add({"storage.warning", "storage.warning", "Storage running low — internal SSD", "",
                  "old", platform::InterruptionLevel::kActive, "default"});
  ASSERT_TRUE(rig.defaults.setString("brimvale.storage.warnState", "low"));
  rig.freeSpace(256, 200);
  rig.monitor.start();
  EXPECT_TRUE(rig.centre.delivered().empty());
  EXPECT_TRUE(rig.logged("transition low → ok (free=200 GB, pct=78%)"));
  EXPECT_EQ(rig.defaults.getString("brimvale.storage.warnState"), "ok");
}

TEST(StorageWarningMonitor, UnknownPersistedStateAndMissingMeasurement) {
  Rig rig;
  ASSERT_TRUE(rig.defaults.setString("brimvale.storage.warnState", "dire"));
  rig.volumes.values = {};  // nothing measured: the tick does nothing
  rig.monitor.start();
  EXPECT_EQ(rig.monitor.state(), WarnState::kOk);
  EXPECT_FALSE(rig.monitor.lastMeasurement());
  EXPECT_TRUE(rig.ledger.readJobs().empty());
  EXPECT_FALSE(rig.logged("restored persisted warnState=dire from UserDefaults"));
}

TEST(StorageWarningMonitor, LaunchSweepRemovesOnlyStorageWarnings) {
  Rig rig;
  for (const char* title : {"Internal disk almost full", "Storage running low — internal SSD",
                            "STORAGE EMERGENCY — apps may fail", "NVMe disconnected"}) {
    rig.centre.add({title, "", title, "", "b", platform::InterruptionLevel::kPassive, "default"});
  }
  sweepStaleStorageNotifications(rig.centre);
  ASSERT_EQ(rig.centre.delivered().size(), 1u);
  EXPECT_EQ(rig.centre.delivered()[0].request.title, "NVMe disconnected");
}

TEST(RawNames, WarnStateTableIsPinnedAndAgreesWithTheConversions) {
  brimvale::testing::expectRawNames(kWarnStateNames, "ok low critical emergency", warnStateRaw,
                                    warnStateFromRaw);
}

}  // namespace
}  // namespace brimvale::diagnostics
