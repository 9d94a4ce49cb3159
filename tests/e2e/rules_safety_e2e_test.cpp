// What the rules and clean-ups must never do, run as the real programs: delete
// through a category folder that is a link, act on the home folder, a system
// folder or a protected one, lose items when two runs meet, let two
// configuration backups overwrite each other, or leave half-written
// temporary files behind.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <latch>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "e2e_harness.h"
#include "sandbox_files.h"
#include "service/core/action_log.h"
#include "testing/base/test_file.h"
#include "testing/base/text_checks.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

using brimvale::testing::contains;

// The contents of every regular file below `root`, one entry per file.
std::multiset<std::string> fileContents(const fs::path& root) {
  std::multiset<std::string> contents;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (fs::is_regular_file(it->symlink_status()))
      contents.insert(readFile(it->path()).value_or(""));
  }
  return contents;
}

// The targets of every "moved (...): src -> target (N bytes)" line.
std::vector<fs::path> movedTargets(const std::string& out) {
  // Names may hold line breaks, so "any character" includes them here.
  static const std::regex kMoved(R"(moved \([a-z_]+\): [\s\S]*? -> ([\s\S]*?) \([0-9]* bytes\)\n)");
  std::vector<fs::path> targets;
  for (std::sregex_iterator it(out.begin(), out.end(), kMoved), end; it != end; ++it) {
    targets.emplace_back((*it)[1].str());
  }
  return targets;
}

class RulesSafetyE2E : public PreparedDriveTest {
 protected:
  RulesSafetyE2E() : PreparedDriveTest("e2e-rsafe-" + std::to_string(getpid())) {}
  // Old enough for every rule and the Trash's 30 days.
  void oldFile(const std::string& relative, const std::string& content) {
    writeAgedFile(in(relative), content, 40);
  }
};

TEST_F(RulesSafetyE2E, ReclaimNeverDeletesThroughACategoryFolderThatIsALink) {
  for (const auto& name : awkwardNames()) {
    oldFile("Documents/" + name, "document " + name);
    oldFile("Projects/site/" + name, "project " + name);
  }
  oldFile(".ssh/id_ed25519", "private key");
  oldFile("Pictures/holiday.jpg", "photo");
  fs::create_directory_symlink(in("Documents"), in(".pnpm-store"));
  fs::create_directories(in(".local/share"));
  fs::create_directory_symlink(in("Projects"), in(".local/share/Trash"));
  // A link inside a real cache folder is removed as a link; its target stays.
  oldFile(".npm/_cacache/index", "regenerable");
  fs::create_directory_symlink(in("Pictures"), in(".npm/_cacache/pictures"));
  fs::create_directories(in(".cache"));
  fs::create_directory_symlink(in(".ssh"), in(".cache/pip"));
  const auto before = treeSums(home_.path() / "Documents");
  const auto projects = treeSums(in("Projects"));
  const auto pictures = treeSums(in("Pictures"));
  const auto ssh = treeSums(in(".ssh"));

  brimvale::testing::settle(home_.path());  // what was written moments ago counts as in use
  ProcessResult dev = runBrimVale(home_, {"reclaim", "devcaches"});
  ProcessResult trash = runBrimVale(home_, {"reclaim", "trash"});
  ASSERT_EQ(dev.exitCode, 0) << dev.out << dev.err;
  ASSERT_EQ(trash.exitCode, 0) << trash.out << trash.err;
  EXPECT_EQ(treeSums(in("Documents")), before);
  EXPECT_EQ(treeSums(in("Projects")), projects);
  EXPECT_EQ(treeSums(in("Pictures")), pictures);
  EXPECT_EQ(treeSums(in(".ssh")), ssh);
  EXPECT_FALSE(fs::exists(in(".npm/_cacache/index")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(in(".npm/_cacache/pictures"))));
  EXPECT_TRUE(fs::is_symlink(in(".pnpm-store"))) << "the link itself is the user's: left as it was";

  const std::string log = readFile(in(".brimvale/brim-vale.log")).value_or("");
  EXPECT_TRUE(contains(log, "reclaim skip \u2014 refused: " + in(".local/share/Trash").string()));
}

// Everything below `root` but Brimvale's own state folder.
std::map<std::string, std::string> userTreeOf(const fs::path& root) {
  auto tree = treeSums(root);
  std::erase_if(tree, [](const auto& entry) { return entry.first.starts_with(".brimvale"); });
  return tree;
}

TEST_F(RulesSafetyE2E, RulesOnTheHomeFolderSystemOrProtectedFoldersAreRefusedAndTouchNothing) {
  TempHome outside;  // a folder outside the home folder, not Brimvale's to touch
  for (const auto& name : awkwardNames()) {
    oldFile("Documents/" + name, "document " + name);
    writeAgedFile(outside.path() / name, "outside " + name, 40);
  }
  oldFile(".config/google-chrome/Default/Cookies", "cookies");
  ageBy(in(".config/google-chrome"), 40);
  writeAgedFile(in(".config/editor.conf"), "settings", 1);
  fs::create_directory_symlink(outside.path(), in("Elsewhere"));
  fs::create_directory_symlink("/", in("Root"));
  const std::string h = home_.path().string();
  const std::string homeRules =
      "  \"delete_old | $HOME | | 7 |\"\n"
      "  \"archive_old | $HOME | Home-Archive | 7 |\"\n"
      "  \"delete_old | $HOME/Elsewhere | | 7 |\"\n"
      "  \"delete_old | " +
      outside.path().string() +
      " | | 7 |\"\n"
      "  \"archive_old | $HOME/Documents | ../../Escape | 7 |\"\n"
      "  \"archive_old | $HOME/.config | Config-Archive | 7 |\"\n";
  std::vector<std::string> refusals{
      "rule skip \u2014 refused source: " + h + ". " + h + " is your home folder itself",
      "rule skip \u2014 refused source: " + h + "/Elsewhere. " + h +
          "/Elsewhere is reached through a symbolic link that leads to " + outside.path().string(),
      "rule skip \u2014 refused source: " + outside.path().string() + ". " +
          outside.path().string() + " lies outside your home folder",
      "rule skip \u2014 refused destination: ../../Escape. Archives go only into a folder inside "
      "Brimvale's drive folder " +
          base_.string(),
      // ~/.config is an ordinary folder; the browser profile inside it is not.
      "skip (refused): " + h + "/.config/google-chrome. " + h +
          "/.config/google-chrome is protected (Google Chrome profile)",
  };
  const auto home = userTreeOf(home_.path());
  const auto away = treeSums(outside.path());

  configure("RULES=(\n" + homeRules + ")\n");
  for (const char* command : {"dry-run", "relocate-now", "free-space"}) {
    SCOPED_TRACE(command);
    ProcessResult r = runBrimVale(home_, {command});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const auto& refusal : refusals)
      EXPECT_TRUE(contains(r.out, refusal)) << refusal << "\n" << r.out;
    EXPECT_FALSE(contains(r.out, "WOULD DELETE")) << r.out;
    EXPECT_FALSE(contains(r.out, "WOULD MOVE")) << r.out;
    EXPECT_FALSE(contains(r.out, "deleted: ")) << r.out;
    EXPECT_FALSE(contains(r.out, "moved (")) << r.out;
    EXPECT_EQ(userTreeOf(home_.path()), home);
    EXPECT_EQ(treeSums(outside.path()), away);
  }
  const std::string log = readFile(in(".brimvale/brim-vale.log")).value_or("");
  for (const auto& refusal : refusals) EXPECT_TRUE(contains(log, refusal)) << refusal;
  EXPECT_FALSE(fs::exists(drive_.path() / "Escape"));
}

// Two rule runs started together, trial after trial: the archive keeps every
// item exactly once, and every "moved" line names a target that exists.
class RuleRunRace : public RulesSafetyE2E {
 protected:
  static constexpr int kTrials = 10;
  static constexpr int kFiles = 12;

  void SetUp() override {
    RulesSafetyE2E::SetUp();
    if (IsSkipped()) return;
    configure("RULES=(\n  \"archive_old | $HOME/Downloads | Downloads-Archive | 7 |\"\n)\n");
  }

  // Every trial reuses the same names, so later trials also race for the
  // month and time-stamped archive names.
  void race(const std::vector<std::string>& first, const std::vector<std::string>& second) {
    std::size_t lost = 0;
    std::size_t falseMoves = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
      SCOPED_TRACE("trial " + std::to_string(trial));
      for (int i = 0; i < kFiles; ++i) {
        oldFile("Downloads/file " + std::to_string(i) + ".bin",
                "trial " + std::to_string(trial) + " file " + std::to_string(i));
      }
      oldFile("Downloads/album/track.mp3", "trial " + std::to_string(trial) + " track");
      ageBy(in("Downloads/album"), 40);
      auto before = fileContents(in("Downloads"));
      for (const auto& c : fileContents(base_ / "Downloads-Archive")) before.insert(c);

      std::latch start(2);
      ProcessResult a;
      ProcessResult b;
      std::thread ta([&] {
        start.arrive_and_wait();
        a = runBrimVale(home_, first);
      });
      std::thread tb([&] {
        start.arrive_and_wait();
        b = runBrimVale(home_, second);
      });
      ta.join();
      tb.join();

      auto after = fileContents(in("Downloads"));
      for (const auto& c : fileContents(base_ / "Downloads-Archive")) after.insert(c);
      for (const auto& c : before) lost += after.count(c) == 0 ? 1 : 0;
      EXPECT_EQ(after, before);
      for (const auto* r : {&a, &b}) {
        EXPECT_TRUE(r->exitCode == 0 ||
                    contains(r->out, "Another rule run, clean-up or rollback is already working"))
            << r->describe() << r->out << r->err;
        for (const auto& target : movedTargets(r->out)) {
          if (!fs::exists(fs::symlink_status(target))) {
            ++falseMoves;
            ADD_FAILURE() << "reported moved to " << target << ", which does not exist";
          }
        }
      }
      EXPECT_TRUE(fs::is_empty(in("Downloads"))) << a.out << b.out;
    }
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(falseMoves, 0u);
    RecordProperty("files_lost", static_cast<int>(lost));
  }
};

TEST_F(RuleRunRace, TwoRelocateNowRunsLoseNothing) { race({"relocate-now"}, {"relocate-now"}); }

// Given a batch to undo, then rollback and a rule run started together:
// every item the rule run left on the drive keeps its undo row, and no file
// is lost whichever of the two goes first.
TEST_F(RuleRunRace, RollbackBesideARuleRunKeepsEveryUndoRow) {
  constexpr int kRollbackTrials = 4;
  const StatePaths paths = StatePaths::forHome(home_.path());
  std::size_t lost = 0;
  std::size_t rowsLost = 0;
  for (int trial = 0; trial < kRollbackTrials; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    auto addFiles = [&](const std::string& round) {
      for (int i = 0; i < kFiles; ++i) {
        oldFile("Downloads/" + round + " " + std::to_string(i) + ".bin",
                round + " " + std::to_string(trial) + " " + std::to_string(i));
      }
    };
    addFiles("undone");
    ASSERT_EQ(runBrimVale(home_, {"relocate-now"}).exitCode, 0);
    addFiles("new");
    auto before = fileContents(in("Downloads"));
    for (const auto& c : fileContents(base_ / "Downloads-Archive")) before.insert(c);

    std::latch start(2);
    ProcessResult undo;
    ProcessResult run;
    std::thread tu([&] {
      start.arrive_and_wait();
      undo = runBrimVale(home_, {"rollback", "--yes"});
    });
    std::thread tr([&] {
      start.arrive_and_wait();
      run = runBrimVale(home_, {"relocate-now"});
    });
    tu.join();
    tr.join();

    auto after = fileContents(in("Downloads"));
    for (const auto& c : fileContents(base_ / "Downloads-Archive")) after.insert(c);
    for (const auto& c : before) lost += after.count(c) == 0 ? 1 : 0;
    EXPECT_EQ(after, before);
    for (const auto* r : {&undo, &run}) {
      EXPECT_TRUE(r->exitCode == 0 ||
                  contains(r->out, "Another rule run, clean-up or rollback is already working"))
          << r->describe() << r->out << r->err;
    }
    const std::vector<service::ActionRow> batch = service::readLastBatch(paths);
    for (const auto& target : movedTargets(run.out)) {
      const bool undoable = std::any_of(batch.begin(), batch.end(), [&](const auto& row) {
        return row.action == "move" && row.dest == target.string();
      });
      if (fs::exists(fs::symlink_status(target)) && !undoable) {
        ++rowsLost;
        ADD_FAILURE() << target << " is on the drive with no undo row\n" << undo.out << run.out;
      }
    }
  }
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(rowsLost, 0u);
  RecordProperty("undo_rows_lost", static_cast<int>(rowsLost));
}

std::vector<fs::path> temporariesUnder(const fs::path& root) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (temporarySiblingPid(it->path().filename().string())) found.push_back(it->path());
  }
  return found;
}

// Given writes killed between their temporary and its rename, then the next
// start of either program removes those temporaries, and only those: not one
// of a writer still running, nor one among the user's quarantined files.
TEST_F(RulesSafetyE2E, WritesKilledHalfWayLeaveNoTemporariesAfterTheNextStart) {
  TempHome other;
  const fs::path config = in(".brimvale/brim-vale.conf");
  const std::string original = readFile(config).value();
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const fs::path running = in(".brimvale/notes.tmp." + std::to_string(getpid()));
  const fs::path quarantined = in(".brimvale/quarantine/photo.jpg.tmp." + std::to_string(ended));
  std::ofstream(running) << "being written";
  fs::create_directories(quarantined.parent_path());
  std::ofstream(quarantined) << "the user's";
  struct Kill {
    std::vector<std::string> args;
    const char* nextStart;
  };
  const Kill kills[] = {
      {{"json", "--stop-after=atomic-write:temp-written"}, "brim-vale"},
      {{"json", "--stop-after=atomic-write:temp-written"}, "brimvale"},
      // select-drive writes the backup, then the configuration.
      {{"select-drive", other.path().string(), "--stop-after=atomic-write:temp-written#1"},
       "brim-vale"},
      {{"select-drive", other.path().string(), "--stop-after=atomic-write:temp-written#2"},
       "brimvale"},
  };
  for (const auto& kill : kills) {
    SCOPED_TRACE(kill.args[0] + " then " + kill.nextStart);
    ProcessResult killed = runBrimVale(home_, kill.args);
    ASSERT_EQ(killed.outcome, ProcessOutcome::kSignalled) << killed.describe() << killed.out;
    EXPECT_EQ(temporariesUnder(in(".brimvale")).size(), 3u);
    EXPECT_EQ(readFile(config).value(), original) << "a killed write leaves the old file whole";
    if (std::string(kill.nextStart) == "brim-vale") {
      (void)runBrimVale(home_, {"status"});
    } else {
      (void)runProcess({.path = BRIMVALE_PATH,
                        .args = {"status"},
                        .envAdditions = {{"HOME", home_.path().string()}},
                        .deadline = std::chrono::seconds(60)});
    }
    EXPECT_EQ(temporariesUnder(in(".brimvale")).size(), 2u);
  }
  EXPECT_EQ(readFile(running).value_or(""), "being written");
  EXPECT_EQ(readFile(quarantined).value_or(""), "the user's");
  for (const char* log : {".brimvale/brim-vale.log", ".brimvale/brimvale.log"}) {
    EXPECT_TRUE(contains(readFile(in(log)).value_or(""), "left by a write that was interrupted"))
        << log;
  }
}

TEST_F(RulesSafetyE2E, ConfigurationBackupsMadeInOneSecondKeepEachOther) {
  TempHome first;
  TempHome second;
  // Names select-drive may pick in the next seconds are taken already.
  const std::time_t now = std::time(nullptr);
  std::map<fs::path, std::string> taken;
  for (int s = 0; s < 30; ++s) {
    const fs::path name =
        in(".brimvale/brim-vale.conf.bak." + formatLocal(now + s, "%Y%m%d%H%M%S"));
    taken[name] = "older backup " + std::to_string(s);
    std::ofstream(name) << taken[name];
  }
  const std::string original = readFile(in(".brimvale/brim-vale.conf")).value();
  ProcessResult a = runBrimVale(home_, {"select-drive", first.path().string()});
  ProcessResult b = runBrimVale(home_, {"select-drive", second.path().string()});
  ASSERT_EQ(a.exitCode, 0) << a.out << a.err;
  ASSERT_EQ(b.exitCode, 0) << b.out << b.err;
  for (const auto& [name, content] : taken) EXPECT_EQ(readFile(name).value_or(""), content) << name;
  const std::regex kBackup("Backup: (.*)\n");
  std::smatch ma;
  std::smatch mb;
  ASSERT_TRUE(std::regex_search(a.out, ma, kBackup)) << a.out;
  ASSERT_TRUE(std::regex_search(b.out, mb, kBackup)) << b.out;
  EXPECT_NE(ma[1].str(), mb[1].str());
  EXPECT_TRUE(ma[1].str().ends_with(".1")) << ma[1].str();
  EXPECT_EQ(readFile(ma[1].str()).value_or(""), original);
  EXPECT_TRUE(contains(readFile(mb[1].str()).value_or(""), first.path().string()));
}

}  // namespace
}  // namespace brimvale::e2e
