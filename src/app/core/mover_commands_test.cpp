#include "app/core/mover_commands.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/user_defaults.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using Reason = MoveCheckRefusal::Reason;

// A home, its state and a drive folder the mover takes for the drive, with
// the recent-write guard on or off.
struct MoveRig {
  brimvale::testing::TempFolder root{"bv-move-checks"};
  StatePaths paths = StatePaths::forHome(root / "home");
  platform::AppPlatform host;
  std::ostringstream out, err;
  std::istringstream in;
  MoverCommandContext c{paths, host, nullptr, "Test Mac", out, err, in};
  fs::path mount = root / "Drive";
  fs::path working = workingFolderFor(mount, "Test Mac");

  explicit MoveRig(bool guardOn) {
    c.run = runProcess;
    fs::create_directories(paths.state);
    if (!guardOn) {
      std::ofstream(paths.state / "user-defaults.json")
          << "{\"brimvale.mover.recentWriteGuardEnabled\": false}";
    }
    host.defaults = platform::makeJsonUserDefaults(paths.state / "user-defaults.json");
    std::ofstream(paths.config) << "NVMe=\"" << mount.string() << "\"\n";
    fs::create_directories(working / "Relocated");
  }
};

// The folder to move, as laid out by a case.
enum class Layout {
  kNothing,        // nothing at home/Data
  kFolder,         // home/Data with two files
  kLinkToHome,     // home/Data -> home/Real
  kLinkToDrive,    // home/Data -> {working}/Other
  kLinkToItsCopy,  // home/Data -> {working}/Relocated/Data
};

fs::path arrange(MoveRig& rig, Layout layout) {
  const fs::path home = rig.paths.home;
  const fs::path data = home / "Data";
  switch (layout) {
    case Layout::kNothing: break;
    case Layout::kFolder:
      rig.root.file("home/Data/a", "a");
      rig.root.file("home/Data/b", "bb");
      break;
    case Layout::kLinkToHome:
      rig.root.folder("home/Real");
      fs::create_symlink(home / "Real", data);
      break;
    case Layout::kLinkToDrive:
      fs::create_directories(rig.working / "Other");
      fs::create_symlink(rig.working / "Other", data);
      break;
    case Layout::kLinkToItsCopy:
      fs::create_directories(rig.working / "Relocated/Data");
      fs::create_symlink(rig.working / "Relocated/Data", data);
      break;
  }
  return data;
}

// `text` with "{src}", "{home}", "{mount}" and "{working}" replaced by those paths.
std::string withPaths(const MoveRig& rig, const fs::path& src, std::string text) {
  const std::pair<std::string, std::string> values[] = {{"{src}", src.string()},
                                                        {"{home}", rig.paths.home.string()},
                                                        {"{mount}", rig.mount.string()},
                                                        {"{working}", rig.working.string()}};
  for (const auto& [key, value] : values) {
    for (std::size_t at; (at = text.find(key)) != std::string::npos;)
      text.replace(at, key.size(), value);
  }
  return text;
}

// Given each kind of folder, then the checks record the one decision that
// applies: a refusal with what its sentence names, or the plan and what the
// contents checks found.
TEST(MoveChecks, RecordWhatTheyDecided) {
  struct Case {
    const char* name;
    Layout layout;
    bool guardOn;
    std::optional<Reason> reason;
    std::string subject;  // withPaths() placeholders
    std::string target;
    std::optional<MovePlan::Kind> plan;
    bool dryRun = false;
  };
  const Case cases[] = {
      {"nothing there", Layout::kNothing, true, Reason::kNothingThere, "{src}", "", {}},
      {"link into the home folder",
       Layout::kLinkToHome,
       true,
       Reason::kLinkElsewhere,
       "~/Data",
       "{home}/Real",
       {}},
      {"link onto the drive",
       Layout::kLinkToDrive,
       true,
       Reason::kLinkToDrive,
       "~/Data",
       "{working}/Other",
       {}},
      {"link to its own copy", Layout::kLinkToItsCopy, true, {}, "", "", MovePlan::Kind::kNoop},
      {"fresh writes, guard on", Layout::kFolder, true, Reason::kRecentWrites, "", "",
       MovePlan::Kind::kNew},
      {"fresh writes, guard off", Layout::kFolder, false, {}, "", "", MovePlan::Kind::kNew},
      {"fresh writes, guard on, dry run",
       Layout::kFolder,
       true,
       {},
       "",
       "",
       MovePlan::Kind::kNew,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MoveRig rig(c.guardOn);
    const fs::path src = arrange(rig, c.layout);
    mover::RelocatorLock lock(rig.paths.state);
    const MoveChecks checks = checkMove(rig.c, {.folder = src.string(), .dryRun = c.dryRun}, lock);
    EXPECT_EQ(checks.src, src.string());
    // A dry run says the real move would be held, and how to let it through.
    ASSERT_EQ(checks.heldByRecentWrite.has_value(), c.dryRun);
    if (c.dryRun) {
      EXPECT_NE(checks.heldByRecentWrite->message().find("--bypass-recent-write-guard"),
                std::string::npos);
    }
    ASSERT_EQ(checks.refusal.has_value(), c.reason.has_value());
    if (checks.refusal) {
      EXPECT_EQ(checks.refusal->reason, *c.reason);
      EXPECT_EQ(checks.refusal->subject, withPaths(rig, src, c.subject));
      EXPECT_EQ(checks.refusal->target, withPaths(rig, src, c.target));
    }
    ASSERT_EQ(checks.plan.has_value(), c.plan.has_value());
    if (!checks.plan) continue;
    EXPECT_EQ(checks.plan->kind, *c.plan);
    if (c.layout == Layout::kFolder && !c.guardOn) {
      EXPECT_EQ(checks.plan->files, 2u);
      EXPECT_TRUE(checks.unguardedRecentWrite);
      EXPECT_TRUE(checks.driveFreeBytes);
      EXPECT_EQ(checks.plan->sizeKB, 1) << "3 bytes round up to one KiB";
    }
    EXPECT_TRUE(rig.out.str().empty() && rig.err.str().empty()) << "checking prints nothing";
  }
}

// Given an unfinished move of the folder, then it is continued only with the
// options it was started with; others are refused rather than ignored.
TEST(MoveChecks, AnUnfinishedMoveContinuesOnlyAsItWasStarted) {
  struct Case {
    const char* name;
    MoveOptions options;
    bool refused;
  };
  const Case cases[] = {
      {"no options", {}, false},
      {"the policy it has", {.policy = "merge"}, false},
      {"another policy", {.policy = "override"}, true},
      {"without links", {.noLinks = true}, true},
      {"another destination", {.to = "Elsewhere"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MoveRig rig(false);
    const fs::path src = arrange(rig, Layout::kFolder);
    mover::MoveManifest m;
    m.id = "UNFINISHED";
    m.src = src.string();
    m.dstParent = (rig.working / "Relocated").string();
    m.finalDst = m.dstParent + "/Data";
    m.phase = mover::MovePhase::kCopying;
    m.replaceSourceWithSymlink = true;
    mover::ManifestStore(rig.paths.state, {}, systemClock()).save(m);
    MoveOptions options = c.options;
    options.folder = src.string();
    if (!options.to.empty()) options.to = (rig.working / options.to).string();
    mover::RelocatorLock lock(rig.paths.state);
    const MoveChecks checks = checkMove(rig.c, options, lock);
    ASSERT_EQ(checks.refusal.has_value(), c.refused);
    if (c.refused) {
      EXPECT_EQ(checks.refusal->reason, Reason::kUnfinishedDiffers);
      EXPECT_EQ(checks.refusal->moveId, "UNFINISHED");
    } else {
      ASSERT_TRUE(checks.plan);
      EXPECT_EQ(checks.plan->kind, MovePlan::Kind::kContinue);
    }
  }
}

}  // namespace
}  // namespace brimvale::app
