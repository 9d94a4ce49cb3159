#include "relocated/panic_recovery.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"
#include "testing/base/tree_view.h"

namespace brimvale::relocated {
namespace {
namespace fs = std::filesystem;
using mover::MoveManifest;
using mover::MovePhase;

constexpr const char* kRsync = "/usr/bin/rsync";

void put(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::string text(const fs::path& file) { return readFile(file).value_or("<missing>"); }

bool present(const fs::path& p) { return fs::exists(fs::symlink_status(p)); }

// A folder relocated with its original parked: the copy on a "drive"
// folder, a link at the path, the original beside it under its parked name.
struct ParkedScene {
  brimvale::testing::TempFolder root{"bv-panic"};
  fs::path home = root.folder("home");
  fs::path path = home / "Caf\xc3\xa9 'q' \"x\"";
  fs::path parked = path.string() + ".hollin-old";
  fs::path copy = root.folder("drive/BRIM-Mac/Relocated") / path.filename();

  ParkedScene() {
    for (const fs::path& at : {parked, copy}) {
      put(at / "a.txt", "alpha");
      put(at / "sub dir/b.bin", std::string(40'000, 'b'));
      fs::last_write_time(at / "a.txt", fs::file_time_type::clock::now() - std::chrono::hours(2));
    }
    fs::create_directory_symlink(copy, path);
  }
  [[nodiscard]] ParkedReturn item() const { return {parked, path, copy, 0}; }
};

TEST(PanicRecovery, AParkedOriginalReplacesItsLinkOnlyOnceItHoldsEverythingTheCopyHolds) {
  struct Case {
    const char* name;
    std::function<void(ParkedScene&)> arrange;
    std::string rsync;
    bool home;            // the parked folder is back at its path
    std::string aAtPath;  // a.txt as read at the path afterwards
    std::string aKept;    // the parked a.txt kept beside it; empty: none
  };
  const Case cases[] = {
      {"copy unchanged since the move", [](ParkedScene&) {}, kRsync, true, "alpha", ""},
      {"only the copy's times changed",
       [](ParkedScene& s) { fs::last_write_time(s.copy / "sub dir/b.bin", {}); }, kRsync, true,
       "alpha", ""},
      {"changed and added through the link",
       [](ParkedScene& s) {
         put(s.copy / "a.txt", "alpha, edited on the drive");
         put(s.copy / "new/c.txt", "written after the move");
       },
       kRsync, true, "alpha, edited on the drive", "alpha"},
      {"an interrupted run removed the link already",
       [](ParkedScene& s) {
         fs::remove(s.path);
         s.copy.clear();
       },
       kRsync, true, "alpha", ""},
      {"a real folder took the path",
       [](ParkedScene& s) {
         fs::remove(s.path);
         put(s.path / "a.txt", "someone else's");
         s.copy.clear();
       },
       kRsync, false, "someone else's", ""},
      {"no GNU rsync to bring the drive's changes", [](ParkedScene&) {}, "", false, "alpha", ""},
      {"the copy tool brought nothing over",
       [](ParkedScene& s) { put(s.copy / "a.txt", "alpha, edited on the drive"); }, "/bin/true",
       false, "alpha, edited on the drive", ""},
      {"the link leads elsewhere now",
       [](ParkedScene& s) {
         fs::remove(s.path);
         fs::create_directory_symlink(s.root.folder("elsewhere"), s.path);
       },
       kRsync, false, "<missing>", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParkedScene s;
    const fs::path copyFolder = s.copy;
    c.arrange(s);
    const auto before =
        brimvale::testing::treeSums(s.root.path(), brimvale::testing::Folders::kListed);
    const auto done = returnParked(s.item(), c.rsync, runProcess);
    EXPECT_EQ(done.has_value(), c.home) << (done ? "" : done.error().detail);
    EXPECT_EQ(text(s.path / "a.txt"), c.aAtPath);
    EXPECT_EQ(present(s.parked), !c.home);
    if (done) {
      ASSERT_EQ(done->size(), c.aKept.empty() ? 0u : 1u);
      if (!c.aKept.empty()) {
        EXPECT_TRUE(done->front().filename().string().starts_with("a.txt.kept-"));
        EXPECT_EQ(text(done->front()), c.aKept);
      }
    }
    if (c.home) {
      EXPECT_FALSE(fs::is_symlink(s.path));
      // The copy stays on the drive, whole.
      EXPECT_EQ(text(copyFolder / "sub dir/b.bin"), std::string(40'000, 'b'));
      if (present(copyFolder / "new/c.txt")) {
        EXPECT_EQ(text(s.path / "new/c.txt"), "written after the move");
      }
    } else {
      EXPECT_EQ(brimvale::testing::treeSums(s.root.path(), brimvale::testing::Folders::kListed),
                before)
          << "a refused return changes nothing";
    }
  }
}

// A move record as the folder mover writes it, with only what planning reads.
MoveManifest record(const std::string& id, std::string src, std::string finalDst, MovePhase phase,
                    bool links) {
  MoveManifest m;
  m.id = id;
  m.src = std::move(src);
  m.finalDst = std::move(finalDst);
  m.dstParent = fs::path(m.finalDst).parent_path().string();
  m.phase = phase;
  m.replaceSourceWithSymlink = links;
  return m;
}

TEST(PanicRecovery, AwayAreTheFinishedRelocationsWhoseFolderIsNotHomeYet) {
  brimvale::testing::TempFolder root{"bv-away"};
  const fs::path home = root.folder("home"), drive = root.folder("drive/Relocated");
  const std::string src = (home / "Photos").string(), copy = (drive / "Photos").string();
  const MoveManifest relocated = record("A", src, copy, MovePhase::kDone, true);
  const MoveManifest back = record("B", copy, src, MovePhase::kDone, false);
  // Moved back, then relocated again: record times are whole seconds.
  MoveManifest earlierBack = back, again = relocated;
  earlierBack.startedAt = 100;
  again.startedAt = 101;
  MoveManifest sameSecond = again;
  sameSecond.startedAt = 100;
  struct Case {
    const char* name;
    std::vector<MoveManifest> records;
    bool copyThere;
    bool linksSetAside;
    std::vector<std::string> away;
    bool homeLinks = false;  // the folder at home holds a link into the copy
  };
  const Case cases[] = {
      {"relocated, copy on the drive", {relocated}, true, false, {"A"}},
      {"moved back already", {back, relocated}, false, false, {}},
      {"moved back, its links still set aside", {back, relocated}, false, true, {"A"}},
      {"moved back, then relocated again", {earlierBack, again}, true, false, {"A"}, true},
      {"relocated again in the second of the move back",
       {earlierBack, sameSecond},
       true,
       false,
       {"A"},
       true},
      {"moved back in the second of the relocation", {earlierBack, sameSecond}, true, false, {}},
      {"relocation that failed",
       {record("A", src, copy, MovePhase::kFailed, true)},
       true,
       false,
       {}},
      {"moved without links: the person chose to move it",
       {record("A", src, copy, MovePhase::kDone, false)},
       true,
       false,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(copy);
    fs::remove_all(src);
    fs::remove_all(setAsidePathOf(src));
    if (c.copyThere) put(fs::path(copy) / "p.jpg", "pixels");
    fs::create_directories(src);
    if (c.homeLinks) fs::create_symlink(fs::path(copy) / "p.jpg", fs::path(src) / "p.jpg");
    if (c.linksSetAside) fs::create_directories(setAsidePathOf(src));
    std::vector<std::string> ids;
    for (const auto& m : relocationsAway(c.records)) ids.push_back(m.id);
    EXPECT_EQ(ids, c.away);
  }
}

// Given records that say a folder came home while a link in it still leads into the drive, then
// the plan names that link instead of calling everything home.
TEST(PanicRecovery, ALinkIntoTheDriveIsNeverCalledHome) {
  brimvale::testing::TempFolder root{"bv-contradicted"};
  const StatePaths paths = StatePaths::forHome(root.folder("home"));
  const fs::path working = root.folder("drive/BRIM-Mac");
  const std::string src = (paths.home / "Films").string();
  const std::string copy = (working / "Relocated/Films").string();
  put(fs::path(copy) / "f.mov", "frames");
  fs::create_directories(src);
  fs::create_symlink(fs::path(copy) / "f.mov", fs::path(src) / "f.mov");
  MoveManifest back = record("B", copy, src, MovePhase::kDone, false);
  back.startedAt = 2;
  const HomecomingPlan plan =
      planHomecoming(paths, {working}, {back, record("A", src, copy, MovePhase::kDone, true)});
  EXPECT_TRUE(plan.nothingToBring());
  ASSERT_EQ(plan.left.size(), 1u);
  EXPECT_EQ(plan.left[0].path, fs::path(src) / "f.mov");
  EXPECT_EQ(renderPlan(plan, paths.home).find("Nothing is waiting"), std::string::npos);
}

// Given the drive is not connected, the relocation cannot come home: the plan
// says so instead of calling everything home, and a run ends with status 1.
TEST(PanicRecovery, ACopyThatCannotBeReachedIsLeftWithWhatToDo) {
  brimvale::testing::TempFolder root{"bv-unplugged"};
  const StatePaths paths = StatePaths::forHome(root.folder("home"));
  const std::string src = (paths.home / "Films").string();
  const MoveManifest relocated =
      record("A", src, (root / "gone/Relocated/Films").string(), MovePhase::kDone, true);
  const HomecomingPlan plan = planHomecoming(paths, {root / "gone"}, {relocated});
  EXPECT_TRUE(plan.nothingToBring());
  ASSERT_EQ(plan.left.size(), 1u);
  EXPECT_EQ(plan.left[0].path, src);
  EXPECT_NE(plan.left[0].why.find("connect the drive"), std::string::npos);
  EXPECT_NE(renderPlan(plan, paths.home).find("Nothing can be brought home now:\n  left: ~/Films"),
            std::string::npos)
      << renderPlan(plan, paths.home);
}

// Stands in for the mover: says what it was asked and, unless told to fail,
// brings the folder home the way the reverse move leaves it (the copy back
// at its path, a finished move back recorded).
struct RecordingHomecoming : FolderHomecoming {
  explicit RecordingHomecoming(StatePaths p) : paths(std::move(p)) {}
  StatePaths paths;
  bool bringsHome = true;
  std::vector<std::string> asked;
  Result<void> settleUnfinished() override {
    asked.push_back("settle");
    return {};
  }
  Result<std::vector<fs::path>> bringHome(const MoveManifest& m) override {
    asked.push_back("home " + m.id);
    if (!bringsHome) return std::vector<fs::path>{};
    fs::rename(m.finalDst, m.src);
    mover::ManifestStore(paths.state, {}, systemClock())
        .save(record(m.id + "-back", m.finalDst, m.src, MovePhase::kDone, false));
    return std::vector<fs::path>{};
  }
};

// Apps on the drive that come home when asked, or refuse.
struct FakeApps : AppHomecoming {
  std::vector<AppAway> apps;
  bool refuses = false;
  std::vector<AppAway> away() const override { return apps; }
  void settleUnfinished() override {}
  Result<std::string> bringHome(const AppAway& app) override {
    if (refuses) return fail(Errc::kToolFailed, "The app mover refused.");
    std::erase_if(apps, [&](const AppAway& a) { return a.id == app.id; });
    fs::create_directories(app.originalPath);
    return std::string("Brought it back.");
  }
};

struct CommandScene : ParkedScene {
  StatePaths paths = StatePaths::forHome(home);
  RecordingHomecoming homecoming{paths};
  FakeApps apps;
  std::uint64_t freeBytes = 1ull << 40;
  std::ostringstream out, err;

  CommandScene() { fs::create_directories(paths.state); }
  int run(PanicOptions options, bool goAhead = true) {
    PanicHost host{paths,
                   {root / "drive/BRIM-Mac"},
                   homecoming,
                   apps,
                   kRsync,
                   [this](const fs::path&) { return std::optional<std::uint64_t>(freeBytes); },
                   out,
                   err,
                   [goAhead] { return goAhead; },
                   runProcess};
    return panicRecoveryCommand(host, options);
  }
  void relocateOne() {
    put(root / "drive/BRIM-Mac/Relocated/Music/song.mp3", std::string(30'000, 'm'));
    mover::ManifestStore(paths.state, {}, systemClock())
        .save(record("M", (home / "Music").string(),
                     (root / "drive/BRIM-Mac/Relocated/Music").string(), MovePhase::kDone, true));
  }
};

TEST(PanicRecovery, OnlyShowsThePlanUnlessConfirmedAndRefusesBeforeChangingAnything) {
  struct Case {
    const char* name;
    PanicOptions options;
    bool goAhead;
    std::uint64_t freeBytes;
    int status;
  };
  const Case cases[] = {
      {"not confirmed", {}, false, 1ull << 40, 1},
      {"dry run", {.dryRun = true}, true, 1ull << 40, 0},
      {"too little space", {}, true, 1'000, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandScene s;
    s.relocateOne();
    s.freeBytes = c.freeBytes;
    const auto before =
        brimvale::testing::treeSums(s.root.path(), brimvale::testing::Folders::kListed);
    EXPECT_EQ(s.run(c.options, c.goAhead), c.status) << s.out.str() << s.err.str();
    EXPECT_EQ(brimvale::testing::treeSums(s.root.path(), brimvale::testing::Folders::kListed),
              before);
    EXPECT_TRUE(s.homecoming.asked.empty());
    EXPECT_NE(s.out.str().find("To bring home"), std::string::npos) << s.out.str();
  }
}

TEST(PanicRecovery, PausesTheServiceMeanwhileAndLeavesItAsTheFirstRunFoundIt) {
  struct Case {
    const char* name;
    bool pausedBefore;
    std::optional<bool> interruptedRecord;  // a record left by a killed run, and what it says
    bool pausedAfter;
  };
  const Case cases[] = {
      {"running before", false, std::nullopt, false},
      {"paused before", true, std::nullopt, true},
      {"a killed run paused a running service", true, false, false},
      {"a killed run found it paused", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandScene s;
    s.relocateOne();
    if (c.pausedBefore) put(s.paths.paused, "");
    const fs::path record = s.paths.state / "panic-recovery.json";
    if (c.interruptedRecord) {
      fs::create_directories(s.home / "Earlier");
      put(record, std::string("{\"previouslyPaused\": ") +
                      (*c.interruptedRecord ? "true" : "false") + ", \"home\": [\"" +
                      (s.home / "Earlier").string() + "\"]}");
    }
    EXPECT_EQ(s.run({}), 0) << s.out.str() << s.err.str();
    // The report names what the killed run brought home too.
    EXPECT_EQ(s.out.str().find("  ~/Earlier\n") != std::string::npos,
              c.interruptedRecord.has_value())
        << s.out.str();
    EXPECT_EQ(s.homecoming.asked, (std::vector<std::string>{"settle", "home M"}));
    EXPECT_EQ(present(s.paths.paused), c.pausedAfter);
    EXPECT_FALSE(present(record));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(s.path))) << "the parked original is home";
    EXPECT_EQ(text(s.path / "a.txt"), "alpha");
  }
}

// Given a folder link into the working folder whose parked original was
// already deleted, a run copies the folder home in place of the link; a link
// that leads anywhere else is left alone.
TEST(PanicRecovery, AFolderLinkWithoutItsOriginalIsCopiedHomeInItsPlace) {
  CommandScene s;
  const fs::path copy = s.root / "drive/BRIM-Mac/Relocated/Old Photos";
  put(copy / "2019/a.jpg", std::string(5'000, 'p'));
  fs::create_directories(s.home / "Pictures");
  fs::create_directory_symlink(copy, s.home / "Pictures/Old Photos");
  const fs::path elsewhere = s.root.folder("elsewhere");
  fs::create_directory_symlink(elsewhere, s.home / "shortcut");

  const HomecomingPlan plan = planHomecoming(s.paths, {s.root / "drive/BRIM-Mac"}, {});
  ASSERT_EQ(plan.parked.size(), 2u) << renderPlan(plan, s.home);
  EXPECT_TRUE(plan.parked[0].parkFirst || plan.parked[1].parkFirst);

  EXPECT_EQ(s.run({}), 0) << s.out.str() << s.err.str();
  EXPECT_FALSE(fs::is_symlink(s.home / "Pictures/Old Photos"));
  EXPECT_EQ(text(s.home / "Pictures/Old Photos/2019/a.jpg"), std::string(5'000, 'p'));
  EXPECT_FALSE(present(s.home / "Pictures/Old Photos.hollin-old"));
  EXPECT_EQ(text(copy / "2019/a.jpg"), std::string(5'000, 'p')) << "the copy stays on the drive";
  EXPECT_TRUE(fs::is_symlink(s.home / "shortcut"));
}

// Given something still away once the run is done, the run names it and
// fails instead of saying everything is home.
TEST(PanicRecovery, SaysEverythingIsHomeOnlyOnceTheDiskShowsIt) {
  struct Case {
    const char* name;
    std::function<void(CommandScene&)> arrange;
    std::string left;  // the path named as left; empty: everything is home
  };
  const Case cases[] = {
      {"folder, parked original and app all come home",
       [](CommandScene& s) {
         s.relocateOne();
         s.apps.apps.push_back({"A1", "Tool", s.home / "Applications/Tool.app", "", 10, false});
       },
       ""},
      {"the mover ends well but the folder is still on the drive",
       [](CommandScene& s) {
         s.relocateOne();
         s.homecoming.bringsHome = false;
       },
       "~/Music"},
      {"a link into the drive nothing knows how to bring home",
       [](CommandScene& s) {
         put(s.root / "drive/BRIM-Mac/Relocated/Loose/f.txt", "loose");
         fs::create_directories(s.home / "Loose");
         fs::create_symlink(s.root / "drive/BRIM-Mac/Relocated/Loose/f.txt",
                            s.home / "Loose/f.txt");
       },
       "~/Loose/f.txt"},
      {"an app the app mover cannot bring home",
       [](CommandScene& s) {
         s.apps.apps.push_back({"A1", "Tool", s.home / "Applications/Tool.app", "", 10, false});
         s.apps.refuses = true;
       },
       "~/Applications/Tool.app"},
      {"what a killed run brought home is a link now",
       [](CommandScene& s) {
         fs::create_directory_symlink(s.root.folder("elsewhere"), s.home / "Earlier");
         put(s.paths.state / "panic-recovery.json", "{\"previouslyPaused\": false, \"home\": [\"" +
                                                        (s.home / "Earlier").string() + "\"]}");
       },
       "~/Earlier"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandScene s;
    c.arrange(s);
    const int status = s.run({});
    const std::string said = s.out.str();
    EXPECT_EQ(status, c.left.empty() ? 0 : 1) << said << s.err.str();
    EXPECT_EQ(said.find("Everything is home") != std::string::npos, c.left.empty()) << said;
    if (!c.left.empty()) {
      const auto section = said.find("Left where it is");
      ASSERT_NE(section, std::string::npos) << said;
      EXPECT_NE(said.find("  " + c.left + " — ", section), std::string::npos) << said;
    }
  }
}

// Given a folder of per-file links brought back from the drive, what was set
// aside settles into it: a file written at home in place of its link keeps
// its path and the drive's other version goes beside it; the same file goes;
// a file only at home comes back; the links go.
TEST(PanicRecovery, WhatWasSetAsideSettlesWithTheHomeVersionAtItsPath) {
  brimvale::testing::TempFolder root{"bv-settle"};
  const fs::path home = root / "home/Projects", aside = root / "home/Projects.brimvale-links";
  const fs::path copy = root / "drive/BRIM-Mac/Relocated/Projects";
  put(home / "edited.txt", "the drive's newer version");
  put(home / "same.txt", "unchanged");
  put(home / "linked/deep.txt", "only ever on the drive");
  put(aside / "edited.txt", "an older version, saved at home over its link");
  put(aside / "same.txt", "unchanged");
  put(aside / "new/home-only.txt", "written at home");
  fs::create_directories(aside / "linked");
  fs::create_symlink(copy / "linked/deep.txt", aside / "linked/deep.txt");

  const auto kept = settleSetAside(aside, home, copy);
  ASSERT_TRUE(kept) << kept.error().detail;
  ASSERT_EQ(kept->size(), 1u);
  EXPECT_TRUE(kept->front().filename().string().starts_with("edited.txt.kept-"));
  EXPECT_EQ(text(kept->front()), "the drive's newer version");
  EXPECT_EQ(text(home / "edited.txt"), "an older version, saved at home over its link");
  EXPECT_EQ(text(home / "same.txt"), "unchanged");
  EXPECT_EQ(text(home / "new/home-only.txt"), "written at home");
  EXPECT_EQ(text(home / "linked/deep.txt"), "only ever on the drive");
  EXPECT_FALSE(present(aside));
  // A whole-folder link set aside is only a link: it goes.
  fs::create_directory_symlink(copy, aside);
  const auto linkOnly = settleSetAside(aside, home, copy);
  EXPECT_TRUE(linkOnly) << (linkOnly ? "" : linkOnly.error().detail);
  EXPECT_FALSE(present(aside));
}

}  // namespace
}  // namespace brimvale::relocated
