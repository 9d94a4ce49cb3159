// The folder mover's own steps end to end through `brimvale move`: names as
// long as the file system allows, thorough checks of a merged copy, single
// files, a full drive, and records on disk that must not be obeyed blindly.
// Every scenario counts the user's bytes before and after.
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "e2e_harness.h"
#include "mover_scene.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;

// `brimvale move` without a question on the way.
std::vector<std::string> moveArgs(const TempHome&, std::vector<std::string> extra) {
  extra.insert(extra.begin(), {"move", "--yes"});
  return extra;
}

// The phase and last error of the only move record on disk.
std::pair<std::string, std::string> record(const TempHome& home) {
  const nlohmann::json j = onlyMoveRecord(home);
  if (!j.is_object()) return {};
  return {j.value("phase", ""), j.value("lastError", "")};
}

// Links left by an interrupted relink, anywhere below `root`.
int temporaryLinks(const fs::path& root) {
  int n = 0;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string name = e.path().filename().string();
    if (e.is_symlink() && (name.starts_with(".bvl-") || name.ends_with(".brimvale-link"))) ++n;
  }
  return n;
}

void writeText(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

std::string bytesFor(int i, std::size_t size) {
  std::string b(size, '\0');
  for (std::size_t k = 0; k < size; ++k)
    b[k] = static_cast<char>((i * 131 + k * 7 + k / 251) & 0xff);
  return b;
}

class MoverEngineE2E : public MoverScene {
 protected:
  MoverEngineE2E() : MoverScene("Engine-", "256m") {}
  void SetUp() override { prepare(home_); }
  void prepare(const TempHome& home, const std::string& level = "fast") const {
    prepareMoverHome(home, drive_.path(), level);
  }
  // Where a relinked file of the source lives now.
  static fs::path linkTarget(const fs::path& file) { return fs::read_symlink(file); }
  static bool allLinks(const fs::path& root) {
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      if (!e.is_directory() && !e.is_symlink()) return false;
    }
    return true;
  }
  static bool noLinks(const fs::path& root) {
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      if (e.is_symlink()) return false;
    }
    return true;
  }
};

// Names of 242 to 255 bytes (the file system's limit) relink like any other,
// also when the move is killed after the first or half of the files were
// relinked, and the user resumes.
TEST_F(MoverEngineE2E, NamesUpToTheLimitAreRelinkedThroughKills) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  auto makeTree = [](const fs::path& src) {
    int i = 0;
    for (std::size_t length = 242; length <= 255; ++length, ++i) {
      writeText(src / std::string(length, static_cast<char>('a' + i % 26)), bytesFor(i, 3000 + i));
      writeText(src / "nested" / (std::string(length - 4, 'z') + ".bin"), bytesFor(i + 100, 1000));
    }
    writeText(src / "short.txt", "short");
  };
  int trials = 0, lost = 0;
  for (const std::string stop : {"", "mover:relinked#1", "mover:relinked#15"}) {
    SCOPED_TRACE(stop.empty() ? "uninterrupted" : stop);
    TempHome home;
    prepare(home);
    const fs::path src = home.path() / ("Long names " + std::to_string(trials));
    makeTree(src);
    const TreeView before = userView(src);
    ASSERT_EQ(before.size(), 29u);
    std::vector<std::string> extra{src.string()};
    if (!stop.empty()) extra.push_back("--stop-after=" + stop);
    auto moved = runApp(home, moveArgs(home, extra));
    if (stop.empty()) {
      ASSERT_EQ(moved.exitCode, 0) << moved.out << moved.err;
    } else {
      ASSERT_EQ(moved.outcome, ProcessOutcome::kSignalled)
          << moved.describe() << moved.out << moved.err;
      EXPECT_EQ(lostEntries(before, userView(src)), 0) << "right after the kill";
      auto resumed = runApp(home, {"moves", "resume"});
      ASSERT_EQ(resumed.exitCode, 0) << resumed.out << resumed.err;
    }
    EXPECT_EQ(record(home).first, "done") << record(home).second;
    EXPECT_TRUE(allLinks(src));
    EXPECT_EQ(temporaryLinks(src), 0);
    const fs::path longest = src / std::string(255, static_cast<char>('a' + 13));
    EXPECT_TRUE(linkTarget(longest).string().starts_with(working().string() + "/"))
        << linkTarget(longest);
    lost += lostEntries(before, userView(src));
    ++trials;
  }
  EXPECT_EQ(lost, 0);
}

// A byte changed in the copy after it was made (same size, same time: only
// the content shows it) fails the thorough check of a merge and leaves every
// original in place; files that were already in the destination do not.
TEST_F(MoverEngineE2E, ThoroughCheckOfAMergeCatchesACorruptedCopyAndIgnoresExtras) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  int lost = 0;
  for (bool corrupt : {true, false}) {
    SCOPED_TRACE(corrupt ? "corrupted byte" : "extras on the destination");
    TempHome home;
    prepare(home, "thorough");
    const fs::path src = home.path() / (corrupt ? "Photos" : "Music");
    for (int i = 0; i < 30; ++i)
      writeText(src / ("album " + std::to_string(i % 4)) / ("f" + std::to_string(i)),
                bytesFor(i, 20000));
    const TreeView before = userView(src);
    auto copied = runApp(
        home, moveArgs(home, {src.string(), "--verify", "thorough", "--stop-after=mover:copied"}));
    ASSERT_EQ(copied.outcome, ProcessOutcome::kSignalled)
        << copied.describe() << copied.out << copied.err;
    ASSERT_EQ(record(home).first, "hashing");
    // The copy the record names.
    fs::path copy;
    for (const auto& e : fs::directory_iterator(working() / "Relocated")) {
      if (e.path().filename().string().starts_with(src.filename().string()) &&
          fs::exists(e.path() / "album 2" / "f2")) {
        copy = e.path();
      }
    }
    ASSERT_FALSE(copy.empty());
    if (corrupt) {
      const fs::path victim = copy / "album 2" / "f6";
      const auto when = fs::last_write_time(victim);
      std::fstream f(victim, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(12345);
      f.put('\x7f');
      f.close();
      fs::last_write_time(victim, when);
    } else {
      writeText(copy / "older" / "kept.txt", "was on the drive before");
    }
    auto resumed = runApp(home, {"moves", "resume"});
    EXPECT_EQ(resumed.exitCode, corrupt ? 1 : 0)
        << "a resumed move that failed is no success" << resumed.out << resumed.err;
    const auto [phase, lastError] = record(home);
    if (corrupt) {
      EXPECT_EQ(phase, "failed");
      EXPECT_EQ(lastError,
                "Verification failed \u2014 1 file differ: album 2/f6. Source preserved.");
      EXPECT_TRUE(noLinks(src));
      auto listed = runApp(home, {"moves"});
      EXPECT_NE(listed.out.find("didn't match the original closely enough"), std::string::npos)
          << listed.out;
    } else {
      EXPECT_EQ(phase, "done") << lastError;
      EXPECT_TRUE(allLinks(src));
      EXPECT_EQ(readFile(copy / "older" / "kept.txt"), "was on the drive before");
    }
    lost += lostEntries(before, userView(src));
  }
  EXPECT_EQ(lost, 0);
}

// A single file is copied as a file, checked, and replaced by a link to it;
// no folder of its name is made on the drive.
TEST_F(MoverEngineE2E, ASingleFileIsRelocated) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  for (const std::string level : {"fast", "thorough"}) {
    SCOPED_TRACE(level);
    const fs::path file = home_.path() / ("disk image " + level + ".iso");
    writeText(file, bytesFor(7, 3 << 20));
    const TreeView before = userView(file);
    auto moved = runApp(home_, moveArgs(home_, {file.string(), "--verify", level}));
    ASSERT_EQ(moved.exitCode, 0) << moved.out << moved.err;
    ASSERT_TRUE(fs::is_symlink(file));
    const fs::path copy = linkTarget(file);
    EXPECT_TRUE(copy.string().starts_with((working() / "Relocated").string() + "/")) << copy;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(copy)));
    EXPECT_EQ(lostEntries(before, userView(file)), 0);
  }
}

// A record in the clean-up phase is obeyed only for a source Brimvale may
// touch whose copy exists; what does not match it is copied again first.
TEST_F(MoverEngineE2E, ACleanUpRecordFromDiskRemovesNothingItCannotVouchFor) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  TempHome outside;  // a folder beside the home folder, not inside it
  struct Case {
    const char* name;
    std::function<std::pair<fs::path, fs::path>()> setUp;  // source, copy
    const char* says;
  } cases[] = {
      {"no copy",
       [&] {
         fs::create_directories(working() / "Relocated");
         return std::pair{home_.path() / "Documents", working() / "Relocated" / "Documents"};
       },
       "The copy this move made is missing"},
      {"a source outside the home folder",
       [&] {
         const fs::path there = outside.path() / "Documents";
         fs::remove_all(there);
         fs::create_directories(there);
         fs::copy(home_.path() / "Documents", there, fs::copy_options::recursive);
         fs::create_directories(working() / "Relocated");
         fs::copy(there, working() / "Relocated" / "Outside", fs::copy_options::recursive);
         return std::pair{there, working() / "Relocated" / "Outside"};
       },
       "lies outside your home folder"},
  };
  for (const auto& c : cases) {
    for (bool relocation : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (relocation ? ", relocation" : ", plain move"));
      fs::remove_all(home_.path() / "Documents");
      fs::remove_all(home_.state() / "folder-moves");
      for (int i = 0; i < 12; ++i)
        writeText(home_.path() / "Documents" / ("doc" + std::to_string(i) + ".txt"),
                  bytesFor(i, 900));
      const auto [src, copy] = c.setUp();
      const TreeView before = userView(src);
      nlohmann::json j = {{"id", "0F0E0D0C-0B0A-4909-8807-060504030201"},
                          {"version", 1},
                          {"src", src.string()},
                          {"dstParent", copy.parent_path().string()},
                          {"finalDst", copy.string()},
                          {"srcSizeKB", 11},
                          {"startedAt", "2025-01-01T00:00:00Z"},
                          {"updatedAt", "2025-01-01T00:00:00Z"},
                          {"phase", "cleaningUp"},
                          {"fractionAtLastWrite", 1.0},
                          {"conflictPolicy", "merge"},
                          {"replaceSourceWithSymlink", relocation},
                          {"triggerSource", "userMove"}};
      fs::create_directories(home_.state() / "folder-moves");
      ASSERT_TRUE(writeFileAtomically(
          home_.state() / "folder-moves" / "0F0E0D0C-0B0A-4909-8807-060504030201.json", j.dump(2)));
      auto resumed = runApp(home_, {"moves", "resume"});
      EXPECT_EQ(resumed.exitCode, 1) << resumed.out << resumed.err;
      const auto [phase, lastError] = record(home_);
      EXPECT_EQ(phase, "failed");
      EXPECT_NE(lastError.find(c.says), std::string::npos) << lastError;
      EXPECT_TRUE(noLinks(src));
      EXPECT_EQ(lostEntries(before, userView(src)), 0);
      fs::remove_all(working() / "Relocated");
    }
  }
}

}  // namespace
}  // namespace brimvale::e2e
