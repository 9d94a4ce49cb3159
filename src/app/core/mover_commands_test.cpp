#include "app/core/mover_commands.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/core/relocated_command.h"
#include "cloud/auto_sync_store.h"
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
  kPartlyOnDrive,  // home/Data with a file and a link to a copy in {working}/Relocated
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
    case Layout::kPartlyOnDrive:
      rig.root.file("home/Data/a", "a");
      rig.root.file("Drive/" + rig.working.filename().string() + "/Relocated/Data/sub/b", "bb");
      rig.root.folder("home/Data/sub");
      fs::create_symlink(rig.working / "Relocated/Data/sub/b", data / "sub/b");
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
      {"a file below already on the drive",
       Layout::kPartlyOnDrive,
       false,
       Reason::kAlreadyOnDrive,
       "~/Data",
       "{working}",
       {}},
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

// A relocated folder of per-file links with a file replaced at home and a
// new one there: the plan lists both, marks the one the drive also holds,
// and takes as watchers only the enabled policies on the folder or inside it.
TEST(MoveBackPlan, NamesWhatTheMoveBackMeets) {
  struct Case {
    const char* watched;  // relative to home
    bool enabled;
    bool watcher;
  };
  const Case cases[] = {
      {"Album", true, true},   {"Album/sub", true, true}, {"Album/", true, true},
      {"Album", false, false}, {"Album2", true, false},   {"Projects", true, false},
  };
  MoveRig rig(false);
  const fs::path src = rig.paths.home / "Album", copy = rig.working / "Relocated/Album";
  for (const char* name : {"a", "notes"}) std::ofstream(rig.root.folder(copy) / name) << name;
  rig.root.link(src / "a", copy / "a");
  rig.root.file(src / "notes", "written at home");
  rig.root.file(src / "new", "new");
  const cloud::AutoSyncStore store(rig.paths.state, {});
  int n = 0;
  for (const auto& c : cases) {
    cloud::AutoSyncPolicy policy;
    policy.id = "00000000-0000-0000-0000-00000000000" + std::to_string(n++);
    policy.internalPath = (rig.paths.home / c.watched).string();
    policy.nvmeDestParent = (rig.working / "Synced").string();
    policy.enabled = c.enabled;
    ASSERT_TRUE(store.save(policy));
  }
  mover::RelocatedItem item;
  item.manifest.src = src.string();
  item.manifest.finalDst = copy.string();
  const MoveBackPlan plan = moveBackPlan(rig.c, item, true);
  EXPECT_EQ(plan.writtenSince, (std::vector<fs::path>{"new", "notes"}));
  EXPECT_EQ(plan.alsoOnDrive, (std::vector<fs::path>{"notes"}));
  EXPECT_TRUE(plan.users.empty());
  n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.watched + std::string(c.enabled ? " on" : " off"));
    const std::string id = "00000000-0000-0000-0000-00000000000" + std::to_string(n++);
    EXPECT_EQ(std::ranges::count(plan.watchers, id, &cloud::AutoSyncPolicy::id), c.watcher ? 1 : 0);
  }
}

}  // namespace
}  // namespace brimvale::app
