#include "app/core/care_commands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/cli/commands.h"
#include "care/care_removals.h"
#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"
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
struct CareRig {
  TempFolder dir;
  StatePaths paths = StatePaths::forHome(dir.path() / "home");
  platform::AppPlatform platform;
  fs::path tool = dir.path() / "tmutil";
  std::ostringstream out, err;
  CareCommandHost host{paths, platform, "", tool.string(), out, err, false, runProcess};

  CareRig() {
    fs::create_directories(paths.state);
    platform.defaults = platform::makeJsonUserDefaults(paths.state / "user-defaults.json");
    platform.volumes = std::make_unique<NoVolumes>();
    fs::create_symlink(BRIMVALE_STANDINS_DIR "/snapshots_canned_tool", tool);
  }
};

TEST(CareCommands, APausedManagerRunsNoCleanUp) {
  CareRig rig;
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

// Given a record edited by hand into nonsense, then the list says it cannot
// read it and that the files are not affected.
TEST(CareCommands, AnUnreadableListSaysTheFilesAreNotAffected) {
  CareRig rig;
  ASSERT_TRUE(writeFileAtomically(rig.paths.state / care::kRemovalsFile, "not json"));
  EXPECT_EQ(careCommand(rig.host, CareMode::kList), 1);
  EXPECT_EQ(rig.out.str(), "");
  EXPECT_TRUE(
      rig.err.str().starts_with("Brimvale couldn't read the list of what Zozad Evev removed ("))
      << rig.err.str();
  EXPECT_TRUE(rig.err.str().ends_with(
      "Your files are not affected; the next clean-up writes a new list.\n"))
      << rig.err.str();
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
