#include "app/panic_recovery.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"
#include "testing/tree_view.h"

namespace brimvale::app {
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
  testing::TempFolder root{"bv-panic"};
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
  };
  const Case cases[] = {
      {"copy unchanged since the move", [](ParkedScene&) {}, kRsync, true, "alpha"},
      {"changed and added through the link",
       [](ParkedScene& s) {
         put(s.copy / "a.txt", "alpha, edited on the drive");
         put(s.copy / "new/c.txt", "written after the move");
       },
       kRsync, true, "alpha, edited on the drive"},
      {"an interrupted run removed the link already",
       [](ParkedScene& s) {
         fs::remove(s.path);
         s.copy.clear();
       },
       kRsync, true, "alpha"},
      {"a real folder took the path",
       [](ParkedScene& s) {
         fs::remove(s.path);
         put(s.path / "a.txt", "someone else's");
         s.copy.clear();
       },
       kRsync, false, "someone else's"},
      {"no GNU rsync to bring the drive's changes", [](ParkedScene&) {}, "", false, "alpha"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParkedScene s;
    const fs::path copyFolder = s.copy;
    c.arrange(s);
    const auto before = testing::treeSums(s.root.path(), testing::Folders::kListed);
    const auto done = returnParked(s.item(), c.rsync);
    EXPECT_EQ(done.has_value(), c.home) << (done ? "" : done.error().detail);
    EXPECT_EQ(text(s.path / "a.txt"), c.aAtPath);
    EXPECT_EQ(present(s.parked), !c.home);
    if (c.home) {
      EXPECT_FALSE(fs::is_symlink(s.path));
      // The copy stays on the drive, whole.
      EXPECT_EQ(text(copyFolder / "sub dir/b.bin"), std::string(40'000, 'b'));
      if (present(copyFolder / "new/c.txt")) {
        EXPECT_EQ(text(s.path / "new/c.txt"), "written after the move");
      }
    } else {
      EXPECT_EQ(testing::treeSums(s.root.path(), testing::Folders::kListed), before)
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
  testing::TempFolder root{"bv-away"};
  const fs::path home = root.folder("home"), drive = root.folder("drive/Relocated");
  const std::string src = (home / "Photos").string(), copy = (drive / "Photos").string();
  const MoveManifest relocated = record("A", src, copy, MovePhase::kDone, true);
  const MoveManifest back = record("B", copy, src, MovePhase::kDone, false);
  struct Case {
    const char* name;
    std::vector<MoveManifest> records;
    bool copyThere;
    bool linksSetAside;
    std::vector<std::string> away;
  };
  const Case cases[] = {
      {"relocated, copy on the drive", {relocated}, true, false, {"A"}},
      {"moved back already", {back, relocated}, false, false, {}},
      {"moved back, its links still set aside", {back, relocated}, false, true, {"A"}},
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
      {"unfinished relocation",
       {record("A", src, copy, MovePhase::kCopying, true)},
       true,
       false,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(copy);
    fs::remove_all(setAsidePathOf(src));
    if (c.copyThere) put(fs::path(copy) / "p.jpg", "pixels");
    if (c.linksSetAside) fs::create_directories(setAsidePathOf(src));
    std::vector<std::string> ids;
    for (const auto& m : relocationsAway(c.records)) ids.push_back(m.id);
    EXPECT_EQ(ids, c.away);
  }
}

// Given the drive is not connected, the relocation cannot come home: the plan
// says so instead of calling everything home, and a run ends with status 1.
TEST(PanicRecovery, ACopyThatCannotBeReachedIsLeftWithWhatToDo) {
  testing::TempFolder root{"bv-unplugged"};
  const StatePaths paths = StatePaths::forHome(root.folder("home"));
  const std::string src = (paths.home / "Films").string();
  const MoveManifest relocated =
      record("A", src, (root / "gone/Relocated/Films").string(), MovePhase::kDone, true);
  const HomecomingPlan plan = planHomecoming(paths, {relocated});
  EXPECT_TRUE(plan.nothingToBring());
  ASSERT_EQ(plan.left.size(), 1u);
  EXPECT_EQ(plan.left[0].path, src);
  EXPECT_NE(plan.left[0].why.find("connect the drive"), std::string::npos);
  EXPECT_NE(renderPlan(plan, paths.home).find("Nothing can be brought home now:\n  left: ~/Films"),
            std::string::npos)
      << renderPlan(plan, paths.home);
}

TEST(PanicRecovery, TooLittleSpaceIsRefusedWithWhatIsNeeded) {
  struct Case {
    std::uint64_t needed, free;
    bool refused;
  };
  for (const Case& c : {Case{0, 0, false}, Case{5'000'000, 5'000'000, false},
                        Case{5'000'001, 5'000'000, true}, Case{80'000'000, 1'000'000, true}}) {
    SCOPED_TRACE(std::to_string(c.needed) + " in " + std::to_string(c.free));
    const auto refusal = spaceRefusal(c.needed, c.free);
    ASSERT_EQ(refusal.has_value(), c.refused);
    if (!refusal) continue;
    EXPECT_NE(refusal->find("Nothing was changed"), std::string::npos) << *refusal;
    EXPECT_NE(refusal->find("Free up at least"), std::string::npos) << *refusal;
  }
}

// Stands in for the mover: says what it was asked, brings nothing home.
struct RecordingHomecoming : FolderHomecoming {
  std::vector<std::string> asked;
  Result<void> settleUnfinished() override {
    asked.push_back("settle");
    return {};
  }
  Result<void> bringHome(const MoveManifest& m) override {
    asked.push_back("home " + m.id);
    return {};
  }
};

struct CommandScene : ParkedScene {
  StatePaths paths = StatePaths::forHome(home);
  RecordingHomecoming homecoming;
  std::uint64_t freeBytes = 1ull << 40;
  std::ostringstream out, err;
  std::istringstream in{"y\n"};

  CommandScene() { fs::create_directories(paths.state); }
  int run(PanicOptions options, bool terminal = false) {
    PanicHost host{
        paths,  homecoming,
        kRsync, [this](const fs::path&) { return std::optional<std::uint64_t>(freeBytes); },
        out,    err,
        in,     terminal};
    return panicRecoveryCommand(host, options);
  }
  void relocateOne() {
    put(root / "drive/BRIM-Mac/Relocated/Music/song.mp3", std::string(30'000, 'm'));
    mover::ManifestStore(paths.state, {}, systemClock())
        .save(record("M", (home / "Music").string(),
                     (root / "drive/BRIM-Mac/Relocated/Music").string(), MovePhase::kDone, true));
  }
};

TEST(PanicRecovery, OnlyShowsThePlanUnlessToldOrAskedAndRefusesBeforeChangingAnything) {
  struct Case {
    const char* name;
    PanicOptions options;
    bool terminal;
    std::string answer;
    std::uint64_t freeBytes;
    int status;
  };
  const Case cases[] = {
      {"no terminal, no --yes", {}, false, "", 1ull << 40, 0},
      {"dry run", {.yes = true, .dryRun = true}, false, "", 1ull << 40, 0},
      {"asked, and declined", {}, true, "n\n", 1ull << 40, 1},
      {"too little space", {.yes = true}, false, "", 1'000, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandScene s;
    s.relocateOne();
    s.freeBytes = c.freeBytes;
    s.in.str(c.answer);
    const auto before = testing::treeSums(s.root.path(), testing::Folders::kListed);
    EXPECT_EQ(s.run(c.options, c.terminal), c.status) << s.out.str() << s.err.str();
    EXPECT_EQ(testing::treeSums(s.root.path(), testing::Folders::kListed), before);
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
      put(record, std::string("{\"previouslyPaused\": ") +
                      (*c.interruptedRecord ? "true" : "false") + ", \"home\": [\"" +
                      (s.home / "Earlier").string() + "\"]}");
    }
    EXPECT_EQ(s.run({.yes = true}), 0) << s.out.str() << s.err.str();
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

TEST(PanicRecovery, ASecondRunFindsEverythingHomeAndChangesNothing) {
  CommandScene s;
  ASSERT_EQ(s.run({.yes = true}), 0) << s.err.str();
  const auto after = testing::treeSums(s.root.path(), testing::Folders::kListed);
  s.homecoming.asked.clear();
  EXPECT_EQ(s.run({.yes = true}), 0) << s.err.str();
  EXPECT_EQ(testing::treeSums(s.root.path(), testing::Folders::kListed), after);
  EXPECT_TRUE(s.homecoming.asked.empty());
  EXPECT_NE(s.out.str().find("Nothing is waiting on the drive"), std::string::npos);
}

// Given a folder link into the working folder whose parked original was
// already deleted, a run copies the folder home in place of the link; a link
// that leads anywhere else is left alone.
TEST(PanicRecovery, AFolderLinkWithoutItsOriginalIsCopiedHomeInItsPlace) {
  CommandScene s;
  s.root.file("drive/BRIM-Mac/.hollin-managed");
  const fs::path copy = s.root / "drive/BRIM-Mac/Relocated/Old Photos";
  put(copy / "2019/a.jpg", std::string(5'000, 'p'));
  fs::create_directories(s.home / "Pictures");
  fs::create_directory_symlink(copy, s.home / "Pictures/Old Photos");
  const fs::path elsewhere = s.root.folder("elsewhere");
  fs::create_directory_symlink(elsewhere, s.home / "shortcut");

  const HomecomingPlan plan = planHomecoming(s.paths, {});
  ASSERT_EQ(plan.parked.size(), 2u) << renderPlan(plan, s.home);
  EXPECT_TRUE(plan.parked[0].parkFirst || plan.parked[1].parkFirst);

  EXPECT_EQ(s.run({.yes = true}), 0) << s.out.str() << s.err.str();
  EXPECT_FALSE(fs::is_symlink(s.home / "Pictures/Old Photos"));
  EXPECT_EQ(text(s.home / "Pictures/Old Photos/2019/a.jpg"), std::string(5'000, 'p'));
  EXPECT_FALSE(present(s.home / "Pictures/Old Photos.hollin-old"));
  EXPECT_EQ(text(copy / "2019/a.jpg"), std::string(5'000, 'p')) << "the copy stays on the drive";
  EXPECT_TRUE(fs::is_symlink(s.home / "shortcut"));
}

}  // namespace
}  // namespace brimvale::app
