// `brimvale move` with a destination, a conflict policy and without links,
// `moves clear`, and the snapshot thinning after a move, on a tmpfs drive:
// each checked for what the user keeps (nothing lost) and what they are told.
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
#include "e2e_harness.h"
#include "mover_scene.h"
#include "testing/base/text_checks.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using brimvale::testing::contains;

class MoveOptionsE2E : public MoverScene {
 protected:
  MoveOptionsE2E() : MoverScene("Opts-", "64m") {}
  // home/Projects: two files and a nested one.
  fs::path makeSource() const {
    const fs::path src = home_.path() / "Projects";
    write(src / "same.txt", "from the source");
    write(src / "only-source.txt", "source only");
    write(src / "deep" / "nested.bin", std::string(70000, 'n'));
    return src;
  }
  static void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }
  ProcessResult move(std::vector<std::string> args) const {
    args.insert(args.begin(), {"move", "--yes", "--verify", "fast"});
    return runApp(home_, args);
  }
};

// Given --to, a conflict policy and a folder already at the destination,
// then each policy treats what is there as it says, every file of the source
// stays reachable at its old path, and the copy lands exactly at {to}/{name}.
TEST_F(MoveOptionsE2E, ToAFolderOnTheDriveUnderEachPolicy) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  struct Case {
    const char* policy;  // nullptr: the default
    bool extraKept;      // the file only the destination had
    std::string same;    // what same.txt reads at the old path afterwards
    const char* recorded;
  };
  const Case cases[] = {
      {nullptr, true, "from the source", "merge"},
      {"merge", true, "from the source", "merge"},
      {"override", false, "from the source", "override"},
      // The destination's newer same.txt is kept, and the old path now leads to it.
      {"merge-keep-newer", true, "newer on the drive", "mergeKeepNewer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy ? c.policy : "default");
    fs::remove_all(home_.path() / "Projects");
    fs::remove_all(home_.state() / "folder-moves");
    fs::remove_all(working());
    const fs::path src = makeSource();
    fs::last_write_time(src / "same.txt", fs::file_time_type::clock::now() - 1h);
    const fs::path to = working() / "Archive";
    write(to / "Projects" / "extra.txt", "only on the drive");
    write(to / "Projects" / "same.txt", "newer on the drive");
    auto before = userView(src);
    before.erase("same.txt");
    std::vector<std::string> args{src.string(), "--to", to.string()};
    if (c.policy) args.insert(args.end(), {"--policy", c.policy});
    auto r = move(args);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(fs::read_symlink(src / "deep" / "nested.bin"),
              to / "Projects" / "deep" / "nested.bin");
    EXPECT_EQ(lostEntries(before, userView(src)), 0);
    EXPECT_EQ(readFile(src / "same.txt").value_or(""), c.same);
    EXPECT_EQ(fs::exists(to / "Projects" / "extra.txt"), c.extraKept);
    EXPECT_EQ(onlyMoveRecord(home_)["conflictPolicy"], c.recorded);
  }
}

// Given a destination outside the working folder, directly or through a link
// inside it, or on another move's copy, then nothing is moved and the files
// already there are all kept.
TEST_F(MoveOptionsE2E, DestinationsOutsideTheWorkingFolderOrOnAnotherCopyAreRefused) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path elsewhere = home_.path() / "Elsewhere";
  write(elsewhere / "Projects" / "precious.txt", "keep me");
  write(elsewhere / "Projects" / "same.txt", "keep me too");
  fs::create_directories(working());
  fs::create_symlink(elsewhere, working() / "Escape");
  const fs::path first = home_.path() / "First";
  write(first / "a.txt", "first move");
  ASSERT_EQ(move({first.string()}).exitCode, 0);
  const fs::path firstCopy = working() / "Relocated" / "First";
  // A copy the background service left in Relocated, which no record here describes.
  const fs::path serviceCopy = working() / "Relocated" / "Projects";
  write(serviceCopy / "svc.txt", "the service's copy");
  struct Case {
    const char* name;
    fs::path to;
    const char* says;
  };
  const Case cases[] = {
      {"through a link in the working folder", working() / "Escape",
       "is not inside Brimvale's folder on the drive"},
      {"inside another move's copy", firstCopy, "the copy of another move"},
      {"onto a copy in Relocated", working() / "Relocated",
       "which holds the copy of an earlier relocation"},
  };
  const fs::path src = makeSource();
  const auto sourceBefore = userView(src);
  const auto elsewhereBefore = userView(elsewhere);
  const auto firstBefore = userView(first);
  const auto serviceBefore = treeSums(serviceCopy);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = move({src.string(), "--to", c.to.string(), "--policy", "override"});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, c.says)) << r.err;
    EXPECT_TRUE(contains(r.err, "Nothing was moved")) << r.err;
    EXPECT_EQ(lostEntries(sourceBefore, userView(src)), 0);
    EXPECT_EQ(lostEntries(elsewhereBefore, userView(elsewhere)), 0);
    EXPECT_EQ(lostEntries(firstBefore, userView(first)), 0);
    EXPECT_EQ(treeSums(serviceCopy), serviceBefore);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(src)));
  }
}

// Given an ended move, then `moves clear` forgets its record and nothing
// else; an unfinished one, an unknown id and a missing id are refused.
TEST_F(MoveOptionsE2E, ClearForgetsOnlyTheRecordOfAnEndedMove) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = makeSource();
  const auto before = userView(src);
  ASSERT_EQ(move({src.string()}).exitCode, 0);
  const nlohmann::json doneRecord = onlyMoveRecord(home_);
  const std::string done = doneRecord["id"];
  const fs::path copy = working() / "Relocated" / "Projects";
  const auto copyBefore = treeSums(copy);
  const auto linksBefore = treeSums(src);

  // A move another run left half-way: its record is still needed.
  nlohmann::json unfinished = doneRecord;
  unfinished["id"] = "0000AAAA-0000-4000-8000-000000000000";
  unfinished["phase"] = "copying";
  unfinished["src"] = (home_.path() / "Later").string();
  unfinished["finalDst"] = (working() / "Relocated" / "Later").string();
  ASSERT_TRUE(writeFileAtomically(
      home_.state() / "folder-moves" / "0000AAAA-0000-4000-8000-000000000000.json",
      unfinished.dump()));

  // A hand-edited record whose id names a file outside the records' folder.
  const fs::path victim = home_.path() / "Documents" / "notes.json";
  write(victim, "the user's own file");
  nlohmann::json escaping = doneRecord;
  escaping["id"] = "../../../Documents/notes";
  ASSERT_TRUE(
      writeFileAtomically(home_.state() / "folder-moves" / "escaping.json", escaping.dump()));

  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* says;
  };
  const Case cases[] = {
      {"no id", {"moves", "clear"}, 2, "Name the move to clear"},
      {"an id naming a file elsewhere", {"moves", "clear", ".."}, 2, "No single move matches"},
      {"unfinished", {"moves", "clear", "0000AAAA"}, 1, "hasn't ended (copying)"},
      {"done", {"moves", "clear", done.substr(0, 8)}, 0, "Nothing on disk was changed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = runApp(home_, c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_TRUE(contains(r.out + r.err, c.says)) << r.out << r.err;
  }
  EXPECT_FALSE(fs::exists(home_.state() / "folder-moves" / (done + ".json")));
  EXPECT_EQ(readFile(victim).value_or(""), "the user's own file");
  EXPECT_TRUE(
      fs::exists(home_.state() / "folder-moves" / "0000AAAA-0000-4000-8000-000000000000.json"));
  EXPECT_EQ(treeSums(copy), copyBefore);
  EXPECT_EQ(treeSums(src), linksBefore);
  EXPECT_EQ(lostEntries(before, userView(src)), 0);
}

}  // namespace
}  // namespace brimvale::e2e
