#include "app/core/care_commands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/cli/commands.h"
#include "care/care_removals.h"
#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "testing/temp_folder.h"
#include "transfers/background_jobs.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

class NoVolumes final : public platform::VolumeResources {
 public:
  platform::VolumeResourceValues read(const std::string&) override { return {}; }
};

// A home with no service program, so every command falls back to the
// snapshot file, and a stand-in restore-point tool.
struct Rig {
  TempFolder dir;
  StatePaths paths = StatePaths::forHome(dir.path() / "home");
  platform::AppPlatform platform;
  fs::path tool = dir.path() / "tmutil";
  std::ostringstream out, err;
  CareCommandHost host{paths, platform, "", tool.string(), out, err};

  Rig() {
    fs::create_directories(paths.state);
    platform.defaults = platform::makeJsonUserDefaults(paths.state / "user-defaults.json");
    platform.volumes = std::make_unique<NoVolumes>();
    fs::create_symlink(BRIMVALE_STANDINS_DIR "/snapshots_canned_tool", tool);
  }
  std::string toolArguments() {
    std::string args = readFile(tool.string() + ".args").value_or("");
    std::replace(args.begin(), args.end(), '\0', ' ');
    return args;
  }
};

TEST(CareCommands, FactsFromTheStatusSnapshotRoundDown) {
  ServiceStatus status;
  status.internalFreeGb = 42;
  status.mounted = true;
  status.paused = true;
  status.lowSpaceWarnGb = 50;
  status.lowSpaceCriticalGb = 25;
  const care::HomeFacts facts =
      homeFactsFrom(status, 5'999'999'999, 0, {.count = 3, .totalBytes = 25'900'000'000});
  EXPECT_EQ(facts.internalFreeGb, 42);
  EXPECT_TRUE(facts.driveConnected);
  EXPECT_TRUE(facts.paused);
  EXPECT_EQ(facts.movableAppCount, 3);
  EXPECT_EQ(facts.movableAppsGb, 25);
  EXPECT_EQ(facts.snapshotGb, 5);
  EXPECT_EQ(facts.warnThresholdGb, 50);
  EXPECT_EQ(facts.criticalThresholdGb, 25);
}

TEST(CareCommands, SnapshotRequestsReachTheToolOnlyWhenWellFormed) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* toolArgs;
    const char* out;
    const char* err;
  } cases[] = {
      {{"thin", "0", "9"},
       0,
       "thinlocalsnapshots / 1 4 ",
       "Tidied old restore points to free up space.\n",
       ""},
      {{"thin", "lots", "4"},
       2,
       "",
       "",
       "Use: brimvale snapshots [list | delete STAMP | thin BYTES URGENCY | destination]. "
       "Nothing was changed.\n"},
      {{"delete", "2024-05-01-09300"},
       1,
       "",
       "",
       "Snapshot identifier doesn't match the expected format: 2024-05-01-09300\n"
       "Your files are safe.\n"},
      {{"delete", "2024-05-01-093000"},
       0,
       "deletelocalsnapshots 2024-05-01-093000 ",
       "Deleted local snapshot 2024-05-01-093000.\n",
       ""},
      {{"list"}, 0, "listlocalsnapshots / ", "No local snapshots.\n", ""},
      {{"destination", "extra"},
       2,
       "",
       "",
       "Use: brimvale snapshots [list | delete STAMP | thin BYTES URGENCY | destination]. "
       "Nothing was changed.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    Rig rig;
    EXPECT_EQ(snapshotsCommand(rig.host, c.args), c.status);
    EXPECT_EQ(rig.toolArguments(), c.toolArgs);
    EXPECT_EQ(rig.out.str(), c.out);
    EXPECT_EQ(rig.err.str(), c.err);
  }
}

TEST(CareCommands, ThinningIsRememberedAndLedgered) {
  Rig rig;
  ASSERT_EQ(snapshotsCommand(rig.host, {"thin", "100000000000", "4"}), 0);
  EXPECT_TRUE(rig.platform.defaults->getDouble("brimvale.snapshots.lastReclaimAtEpoch"));
  const auto jobs = transfers::BackgroundJobsStore(rig.paths.state, systemClock()).readJobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].kind, transfers::JobKind::kLocalSnapshots);
}

TEST(CareCommands, APausedManagerRunsNoCleanUp) {
  Rig rig;
  ASSERT_TRUE(writeFileAtomically(
      rig.paths.statusJson,
      R"({"timestamp":"2026-05-01T03:00:00Z","version":1,"nvme_path":"/Volumes/NVMe",)"
      R"("mounted":false,"marker_ok":false,"internal_free_gb":10,"internal_total_gb":494,)"
      R"("idle_secs":0,"quiet_hours":false,"paused":true,"auto_enabled":true,)"
      R"("low_space_warn_gb":40,"low_space_critical_gb":15,"auto_relocate_hour":3,)"
      R"("quiet_hours_blocked":"","rule_count":0,"app_cache_path_count":0})"));
  EXPECT_EQ(careCommand(rig.host, CareMode::kRun), 1);
  EXPECT_EQ(rig.err.str(),
            "Automatic actions are paused, so Zozad Evev didn't run. Nothing was changed; resume "
            "them with `brimvale service resume` when you're ready and run it again.\n");
  EXPECT_FALSE(rig.platform.defaults->getString("SmartCareLastSummary"));
  // The refused run is in the job ledger all the same, as skipped.
  const auto jobs = transfers::BackgroundJobsStore(rig.paths.state, systemClock()).readJobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].kind, transfers::JobKind::kCare);
  EXPECT_EQ(jobs[0].lastOutcome, transfers::JobOutcome::kSkipped);
}

// Given no record, an empty one, one with items, and one edited by hand
// into nonsense, then the list says each in a sentence and says whether the
// files are affected when it can't read the record.
TEST(CareCommands, TheListShowsWhatTheLastRunRemoved) {
  const std::time_t at = 1'800'000'000;
  struct Case {
    const char* name;
    std::optional<std::string> record;  // the file's text; nothing: no file
    int exitCode;
    std::string out;
    std::string err;
  } cases[] = {
      {"never ran", std::nullopt, 0,
       "Zozad Evev hasn't run yet, so it has removed nothing. Run `brimvale care` to clean up.\n",
       ""},
      {"removed nothing", R"({"at": "2027-01-15T08:00:00Z", "removed": []})", 0,
       "Zozad Evev last ran " + localMinute(at) + " and removed no files.\n", ""},
      {"removed two",
       R"({"at": "2027-01-15T08:00:00Z", "removed": [{"path": "/h/.npm/_cacache", "bytes": 1500000},)"
       R"( {"path": "/h/Trash/files/old report.pdf", "bytes": 2000}]})",
       0,
       "Zozad Evev last ran " + localMinute(at) +
           " and removed 2 items (1.5 MB):\n  1.5 MB  /h/.npm/_cacache\n  2 KB  "
           "/h/Trash/files/old report.pdf\n",
       ""},
      {"edited into nonsense", "not json", 1, "",
       "Brimvale couldn't read the list of what Zozad Evev removed ("},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    if (c.record) {
      ASSERT_TRUE(writeFileAtomically(rig.paths.state / care::kRemovalsFile, *c.record));
    }
    EXPECT_EQ(careCommand(rig.host, CareMode::kList), c.exitCode);
    EXPECT_EQ(rig.out.str(), c.out);
    EXPECT_TRUE(rig.err.str().starts_with(c.err)) << rig.err.str();
    if (c.exitCode != 0) {
      EXPECT_TRUE(
          rig.err.str().ends_with("Your files are not affected; the next clean-up writes a "
                                  "new list.\n"))
          << rig.err.str();
    }
  }
}

// Given a renamed or dropped command, the home screen would send people to
// nothing: every action names a command of this program, and only the
// actions whose engine has no command yet (or that ask nothing) name none.
TEST(HomeActions, EachNamesACommandOfThisProgram) {
  std::vector<std::string_view> without;
  for (const auto& row : care::kSimpleActionIDNames) {
    SCOPED_TRACE(std::string(row.raw));
    const auto command = care::actionCommand(row.value);
    if (!command) {
      without.push_back(row.raw);
      continue;
    }
    std::istringstream words{std::string(*command)};
    std::string program, name;
    words >> program >> name;
    EXPECT_EQ(program, "brimvale");
    EXPECT_TRUE(isBrimvaleCommand(name)) << *command;
  }
  EXPECT_EQ(without, (std::vector<std::string_view>{"reviewApps", "cloudTransfers", "allGood"}));
  EXPECT_FALSE(isBrimvaleCommand("servic"));
}

}  // namespace
}  // namespace brimvale::app
