#include "app/core/mover_commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/core/settings_catalogue.h"
#include "common/base/timestamps.h"
#include "platform/user_defaults.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using Reason = MoveCheckRefusal::Reason;

// A home, its state and a drive folder the mover takes for the drive, with
// the recent-write guard on or off.
struct MoveRig {
  testing::TempFolder root{"bv-move-checks"};
  StatePaths paths = StatePaths::forHome(root / "home");
  platform::AppPlatform host;
  std::ostringstream out, err;
  std::istringstream in;
  MoverCommandContext c{paths, host, nullptr, "Test Mac", out, err, in};
  fs::path mount = root / "Drive";
  fs::path working = workingFolderFor(mount, "Test Mac");

  explicit MoveRig(bool guardOn) {
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
  kFolderNoDrive,  // the same, without the drive
  kLinkToHome,     // home/Data -> home/Real
  kLinkToDrive,    // home/Data -> {working}/Other
  kLinkToItsCopy,  // home/Data -> {working}/Relocated/Data
  kOutsideHome,    // {root}/Outside/Data
};

fs::path arrange(MoveRig& rig, Layout layout) {
  const fs::path home = rig.paths.home;
  const fs::path data = home / "Data";
  switch (layout) {
    case Layout::kNothing: break;
    case Layout::kFolderNoDrive: fs::remove_all(rig.mount); [[fallthrough]];
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
    case Layout::kOutsideHome: return rig.root.file("Outside/Data/a").parent_path();
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
  };
  const Case cases[] = {
      {"nothing there", Layout::kNothing, true, Reason::kNothingThere, "{src}", "", {}},
      {"drive missing", Layout::kFolderNoDrive, false, Reason::kDriveMissing, "{mount}", "", {}},
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
      {"outside the home folder", Layout::kOutsideHome, true, Reason::kOutOfScope, "", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MoveRig rig(c.guardOn);
    const fs::path src = arrange(rig, c.layout);
    mover::RelocatorLock lock(rig.paths.state);
    const MoveChecks checks = checkMove(rig.c, {.folder = src.string()}, lock);
    EXPECT_EQ(checks.src, src.string());
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
    if (c.reason == Reason::kOutOfScope) {
      EXPECT_TRUE(checks.refusal->suggestAllowRoot);
    }
    EXPECT_TRUE(rig.out.str().empty() && rig.err.str().empty()) << "checking prints nothing";
  }
}

// Given a folder written a moment ago, then the guard refuses it unless it is off or this
// run bypasses it, and the refusal names both ways out: the flag and the setting that
// really switches the guard.
TEST(MoveChecks, TheRecentWriteGuardNamesItsWayOut) {
  struct Case {
    const char* name;
    bool guardOn;
    bool bypass;
    bool refused;
    const char* note;  // what the plan says of the recent writes
  } cases[] = {
      {"guard on", true, false, true, ""},
      {"guard on, bypassed for this run", true, true, false,
       " (the guard is bypassed for this move).\n"},
      {"guard off", false, false, false, " (the guard is off).\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MoveRig rig(c.guardOn);
    const fs::path src = arrange(rig, Layout::kFolder);
    const int code = moveCommand(
        rig.c, {.folder = src.string(), .dryRun = true, .bypassRecentWriteGuard = c.bypass});
    EXPECT_EQ(code, c.refused ? 1 : 0);
    const std::string err = rig.err.str();
    EXPECT_EQ(err.find("--bypass-recent-write-guard") != std::string::npos, c.refused) << err;
    EXPECT_EQ(err.find("`brimvale settings mover.recent-write-guard off`") != std::string::npos,
              c.refused)
        << err;
    if (!c.refused) {
      EXPECT_NE(rig.out.str().find(c.note), std::string::npos) << rig.out.str();
    } else {
      EXPECT_EQ(rig.out.str().find("Recent writes"), std::string::npos) << rig.out.str();
    }
  }
  const Setting* guard = findSetting("mover.recent-write-guard");
  ASSERT_NE(guard, nullptr);
  EXPECT_EQ(guard->key, "brimvale.mover.recentWriteGuardEnabled");
  EXPECT_TRUE(acceptValue(*guard, "off"));
}

// The whole text `brimvale move` prints for representative refusals and a
// dry run, with withPaths() placeholders.
TEST(MoveChecks, GoldenText) {
  struct Case {
    const char* name;
    Layout layout;
    bool dryRun;
    int exitCode;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"nothing there", Layout::kNothing, false, 1, "",
       R"(There is nothing at {src}. Nothing was moved; check the path and try again.
)"},
      {"drive missing", Layout::kFolderNoDrive, false, 1, "",
       R"(The fast drive isn't connected at {mount}. Nothing was moved; your folder is untouched. Connect the drive and try again.
)"},
      {"link into the home folder", Layout::kLinkToHome, false, 1, "",
       R"(~/Data is a link to {home}/Real; Brimvale moves folders, not links to them. Move the folder it points to if that is what you mean. Nothing was changed.
)"},
      {"link to its own copy, dry run", Layout::kLinkToItsCopy, true, 0,
       R"(~/Data is a link to its copy on the drive already; it would be recorded as relocated.
Dry run: nothing was changed.
)",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MoveRig rig(false);
    const fs::path src = arrange(rig, c.layout);
    EXPECT_EQ(moveCommand(rig.c, {.folder = src.string(), .dryRun = c.dryRun}), c.exitCode);
    EXPECT_EQ(rig.out.str(), withPaths(rig, src, c.out));
    EXPECT_EQ(rig.err.str(), withPaths(rig, src, c.err));
  }
}

// Given --to a folder holding a copy of the same name and --policy override,
// then a dry run says the copy there would be deleted first and where the new
// one would go, and changes nothing.
TEST(MoveChecks, ADryRunSaysWhatAnOverrideWouldDelete) {
  MoveRig rig(false);
  const fs::path src = arrange(rig, Layout::kFolder);
  rig.root.file("Drive/" + rig.working.filename().string() + "/Archive/Data/keep.txt", "k");
  const fs::path to = rig.working / "Archive";
  EXPECT_EQ(
      moveCommand(
          rig.c, {.folder = src.string(), .dryRun = true, .to = to.string(), .policy = "override"}),
      0);
  const std::string out = rig.out.str();
  EXPECT_NE(out.find((to / "Data").string() +
                     " is there already and will be deleted first (--policy override). Relocate "
                     "2 files (3 bytes) from"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(") from ~/Data to " + to.string() + "?\n"), std::string::npos) << out;
  EXPECT_NE(out.find("The copy would go to " + (to / "Data").string() +
                     ", where something is already: the override policy decides what becomes of "
                     "it.\nDry run: nothing was changed.\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(fs::exists(to / "Data" / "keep.txt"));
  EXPECT_TRUE(fs::exists(src / "a"));
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

// Given 203 ended moves and an unfinished one older than all of them, then
// the list shows the unfinished one and the newest 200 that ended, and every
// record stays on disk.
TEST(MovesList, ShowsTheNewest200EndedMovesAndEveryUnfinishedOne) {
  MoveRig rig(false);
  mover::ManifestStore store(rig.paths.state, {}, systemClock());
  auto save = [&](const std::string& id, std::time_t startedAt, mover::MovePhase phase) {
    mover::MoveManifest m;
    m.id = id;
    m.src = (rig.paths.home / id).string();
    m.dstParent = (rig.working / "Relocated").string();
    m.finalDst = m.dstParent + "/" + id;
    m.startedAt = startedAt;
    m.phase = phase;
    store.save(m);
  };
  save("UNFINISHED", 1, mover::MovePhase::kCopying);
  for (int i = 0; i < 203; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "ENDED-%03d", i);
    save(id, 1000 + i, i % 2 ? mover::MovePhase::kDone : mover::MovePhase::kCancelled);
  }
  ASSERT_EQ(movesCommand(rig.c, "", ""), 0);
  const std::string out = rig.out.str();
  int listed = 0;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) listed += line.starts_with("ENDED-") ? 1 : 0;
  EXPECT_EQ(listed, 200);
  EXPECT_NE(out.find("UNFINISHED  copying"), std::string::npos);
  EXPECT_NE(out.find("ENDED-003"), std::string::npos);
  EXPECT_EQ(out.find("ENDED-002"), std::string::npos) << "the oldest ended moves are not shown";
  EXPECT_EQ(store.all().size(), 204u);
}

// Given moves of measured and unmeasured sizes, then each line ends with the
// size the mover measured and when the move started.
TEST(MovesList, EachLineSaysTheMovesSizeAndDate) {
  struct Case {
    const char* id;
    std::int64_t sizeKB;
    std::time_t startedAt;
    std::string tail;
  } cases[] = {
      {"SMALL", 2, 1'000, "(2 KB, started " + localMinute(1'000) + ")"},
      {"LARGE", 1'500'000, 2'000'000, "(1.54 GB, started " + localMinute(2'000'000) + ")"},
      {"UNMEASURED", 0, 3'000, "(size not measured yet, started " + localMinute(3'000) + ")"},
  };
  MoveRig rig(false);
  mover::ManifestStore store(rig.paths.state, {}, systemClock());
  for (const auto& c : cases) {
    mover::MoveManifest m;
    m.id = c.id;
    m.src = (rig.paths.home / c.id).string();
    m.dstParent = (rig.working / "Relocated").string();
    m.finalDst = m.dstParent + "/" + c.id;
    m.srcSizeKB = c.sizeKB;
    m.startedAt = c.startedAt;
    m.phase = mover::MovePhase::kDone;
    store.save(m);
  }
  ASSERT_EQ(movesCommand(rig.c, "", ""), 0);
  const std::string out = rig.out.str();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const std::string line = std::string(c.id) + "  done  " + (rig.paths.home / c.id).string() +
                             " → " + (rig.working / "Relocated" / c.id).string() + "  " + c.tail +
                             "\n";
    EXPECT_NE(out.find(line), std::string::npos) << out;
  }
}

// Given a lock file that cannot be opened, or a lock another move holds,
// then each command says which it was: only a held lock means another move.
TEST(RelocatorLockFailures, AreReportedAsWhatTheyAre) {
  struct Case {
    const char* name;
    bool heldElsewhere;  // else: the lock's folder is a file, so the lock cannot be opened
    bool viaMove;        // `move FOLDER`, else `moves resume`
    std::string says;
    std::string neverSays;
  };
  const Case cases[] = {
      {"unopenable, move", false, true, "cannot open lock file", "Try again when it has finished"},
      {"unopenable, resume", false, false, "cannot open lock file", "Stop the other Brimvale move"},
      {"held, resume", true, false, "another relocate operation is in progress",
       "cannot open lock file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MoveRig rig(false);
    const fs::path src = arrange(rig, Layout::kFolder);
    mover::RelocatorLock other(rig.paths.state);
    if (c.heldElsewhere) {
      ASSERT_TRUE(other.acquire(std::chrono::milliseconds(0)));
    } else {
      std::ofstream(rig.paths.state / "apps-relocator") << "not a folder";
    }
    const int status = c.viaMove ? moveCommand(rig.c, {.folder = src.string()})
                                 : movesCommand(rig.c, "resume", "");
    EXPECT_EQ(status, 1);
    const std::string err = rig.err.str();
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(err.find(c.neverSays), std::string::npos) << err;
    EXPECT_NE(err.find("safe"), std::string::npos) << "says the data is safe: " << err;
    EXPECT_TRUE(fs::exists(src / "a") && fs::exists(src / "b"));
  }
}

}  // namespace
}  // namespace brimvale::app
