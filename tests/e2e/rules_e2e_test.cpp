// The rules engine run as the real program: floors, DISABLE_DELETE, dry
// runs, deleting to the Trash, cache cleaning around open files, and the
// preview report.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "e2e_harness.h"
#include "sandbox_files.h"
#include "testing/base/test_file.h"
#include "testing/base/text_checks.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

using brimvale::testing::contains;

// Drops the "[YYYY-mm-dd HH:MM:SS] " stamp of said lines.
std::string unstamped(const std::string& out) {
  std::string result;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > 22 && line[0] == '[' && line[20] == ']') line = line.substr(22);
    result += line + "\n";
  }
  return result;
}

class RulesE2E : public PreparedDriveTest {
 protected:
  RulesE2E() : PreparedDriveTest("e2e-rules-" + std::to_string(getpid())) {}
};

TEST_F(RulesE2E, FloorsAndDeleteSwitchShapeTheRun) {
  configure(
      "MIN_ARCHIVE_DAYS=30\nDISABLE_DELETE=1\n"
      "RULES=(\n"
      "  \"archive_old | $HOME/Downloads | Downloads-Archive | 3 | \"\n"
      "  \"archive_big|$HOME/Movies|Media/Movies|10|\"\n"
      "  \"delete_old | $HOME/Old | - | 10\"\n"
      "  \"app_cache_clean | | | 2 |\"\n"
      "  \"shred | $HOME/Old | | 9\"\n"
      ")\n"
      "APP_CACHE_PATHS=(\"$HOME/App Support/Chat\")\nAPP_CACHE_SAFE_DIRS=(\"Cache\")\n");
  for (const auto& name : awkwardNames()) writeAgedFile(in("Old") / name, name, 40);
  for (const auto& name : awkwardNames())
    writeAgedFile(in("App Support/Chat/Cache") / name, name, 40);
  writeAgedFile(in("App Support/Chat/Settings.json"), "{}", 40);
  fs::create_directories(in("Downloads"));
  fs::create_directories(in("Movies"));

  ProcessResult r = runBrimVale(home_, {"relocate-now"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::string out = unstamped(r.out);
  const std::string dl = in("Downloads").string();
  EXPECT_TRUE(contains(out, "rule 'archive_old " + dl + "' age 7 raised to MIN_ARCHIVE_DAYS=30\n"));
  EXPECT_FALSE(contains(out, "rule 'delete_old " + in("Old").string() + "' age 10 raised"));
  EXPECT_TRUE(contains(
      out, "rule skip \u2014 delete disabled (DISABLE_DELETE=1): " + in("Old").string() + "\n"));
  for (const auto& name : awkwardNames()) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(fs::exists(in("Old") / name));
    EXPECT_FALSE(fs::exists(in("App Support/Chat/Cache") / name));
  }
  EXPECT_TRUE(fs::exists(in("App Support/Chat/Settings.json")));
  EXPECT_EQ(actionRows(home_).size(), awkwardNames().size());
  EXPECT_TRUE(contains(actionRows(home_)[0], "\tdelete-cache\t"));
}

TEST_F(RulesE2E, DryRunChangesAndRecordsNothing) {
  configure(
      "RULES=(\n"
      "  \"archive_old | $HOME/Downloads | Downloads-Archive | 7 | \"\n"
      "  \"delete_old | $HOME/Old | | 7 |\"\n"
      "  \"archive_old | $HOME/Empty | Downloads-Archive | 7 | \"\n"
      "  \"archive_old | $HOME/Nowhere | Downloads-Archive | 7 | \"\n"
      ")\n");
  for (const auto& name : awkwardNames()) {
    writeAgedFile(in("Downloads") / name, name, 40);
    writeAgedFile(in("Old") / name, name, 40);
  }
  writeAgedFile(in("Empty/new.txt"), "new", 1);
  (void)writeFileAtomically(home_.state() / "last-batch.tsv", "move\t/a\t/b\t1\n");

  ProcessResult r = runBrimVale(home_, {"dry-run"});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::string out = unstamped(r.out);
  for (const auto& name : awkwardNames()) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(contains(out, "WOULD MOVE: " + (in("Downloads") / name).string() + " -> " +
                                  base_.string() + "/Downloads-Archive/\n"));
    EXPECT_TRUE(contains(out, "WOULD DELETE: " + (in("Old") / name).string() + " ("));
    EXPECT_TRUE(fs::exists(in("Downloads") / name));
    EXPECT_TRUE(fs::exists(in("Old") / name));
  }
  EXPECT_TRUE(contains(out, "       \u2192 0 items eligible (nothing in " + in("Empty").string() +
                                " older than 7d)\n"));
  EXPECT_TRUE(contains(out, "rule skip \u2014 source missing: " + in("Nowhere").string() + "\n"));
  EXPECT_FALSE(contains(out, " deleted ("));
  EXPECT_TRUE(actionRows(home_).empty());
  EXPECT_EQ(readFile(home_.state() / "last-batch.tsv").value_or(""), "move\t/a\t/b\t1\n");
  EXPECT_FALSE(fs::exists(home_.state() / "last-auto-run"));

  // The real run deletes only old items that nothing holds open.
  writeAgedFile(in("Old/held open.log"), "busy", 40);
  writeAgedFile(in("Old/recent.txt"), "new", 2);
  int fd = ::open(in("Old/held open.log").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ProcessResult run = runBrimVale(home_, {"relocate-now"});
  ::close(fd);
  ASSERT_EQ(run.exitCode, 0) << run.out;
  for (const auto& name : awkwardNames()) EXPECT_FALSE(fs::exists(in("Old") / name)) << name;
  EXPECT_TRUE(fs::exists(in("Old/held open.log")));
  EXPECT_TRUE(fs::exists(in("Old/recent.txt")));
}

TEST_F(RulesE2E, DeleteToTrashKeepsEachFileWithItsRecord) {
  configure("DELETE_TO_TRASH=1\nRULES=(\n  \"delete_old | $HOME/Old | | 7 |\"\n)\n");
  for (const auto& name : awkwardNames()) writeAgedFile(in("Old") / name, name, 40);
  const fs::path trash = in("data/Trash");

  ProcessResult r = runBrimVale(home_, {"relocate-now"}, {{"XDG_DATA_HOME", in("data").string()}});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out,
                       " went to the Trash; their space is freed only when the Trash is "
                       "emptied, and until then they can be put back from it.\n"))
      << r.out;
  for (const auto& name : awkwardNames()) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(fs::exists(in("Old") / name));
    EXPECT_EQ(readFile(trash / "files" / name).value_or(""), name);
    const auto info = readFile(trash / "info" / (name + ".trashinfo")).value_or("");
    EXPECT_TRUE(info.starts_with("[Trash Info]\nPath=" + in("Old").string() + "/")) << info;
  }
  ASSERT_EQ(actionRows(home_).size(), awkwardNames().size());
  EXPECT_TRUE(contains(actionRows(home_)[0], "\ttrash\t"));
}

// Items the user excluded, by name or by folder, stay where they are while
// identical ones beside them are handled; previews count what was kept, and
// the storage scan names an excluded folder instead of measuring it.
TEST_F(RulesE2E, ExcludedItemsAreKeptAndCounted) {
  configure(
      "RULES=(\n"
      "  \"delete_old | $HOME/Old | | 7 |\"\n"
      ")\n"
      "EXCLUDES=( \"*.keep\" \"~/Old/project\" '$HOME/Downloads' )\n");
  writeAgedFile(in("Old/notes.keep"), "same", 40);
  writeAgedFile(in("Old/notes.txt"), "same", 40);
  writeAgedFile(in("Old/project/plan.txt"), "same", 40);
  // A folder the rule would take whole, holding a name the excludes keep.
  writeAgedFile(in("Old/thesis/draft.keep"), "same", 40);
  fs::last_write_time(in("Old/thesis"), fs::last_write_time(in("Old/notes.txt")));
  fs::last_write_time(in("Old/project"), fs::last_write_time(in("Old/notes.txt")));

  const std::string kept = "Kept by your excludes: 3 items, ";
  ProcessResult preview = runBrimVale(home_, {"rules-preview"});
  ASSERT_EQ(preview.exitCode, 0) << preview.out << preview.err;
  EXPECT_TRUE(contains(preview.out, kept)) << preview.out;
  ProcessResult dry = runBrimVale(home_, {"dry-run"});
  ASSERT_EQ(dry.exitCode, 0) << dry.out << dry.err;
  EXPECT_TRUE(contains(dry.out, "WOULD DELETE: " + in("Old/notes.txt").string())) << dry.out;
  EXPECT_FALSE(contains(dry.out, "notes.keep")) << dry.out;
  EXPECT_TRUE(contains(dry.out, kept)) << dry.out;

  ProcessResult run = runBrimVale(home_, {"relocate-now"});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_FALSE(fs::exists(in("Old/notes.txt")));
  EXPECT_TRUE(fs::exists(in("Old/notes.keep")));
  EXPECT_TRUE(fs::exists(in("Old/project/plan.txt")));
  EXPECT_TRUE(fs::exists(in("Old/thesis/draft.keep")));
  EXPECT_TRUE(contains(unstamped(run.out), kept)) << run.out;

  fs::create_directories(in("Downloads"));
  ProcessResult scan = runBrimVale(home_, {"scan-storage"});
  ASSERT_EQ(scan.exitCode, 0) << scan.out << scan.err;
  EXPECT_TRUE(contains(scan.out, "{\"excluded_path\":\"" + in("Downloads").string() + "\""))
      << scan.out;
  EXPECT_FALSE(contains(scan.out, "{\"path\":\"" + in("Downloads").string() + "\""));
}

TEST_F(RulesE2E, CleanAppCachesReportsItemsInUse) {
  configure(
      "APP_CACHE_PATHS=(\"$HOME/App Support/Chat\" \"$HOME/App Support/Gone\")\n"
      "APP_CACHE_SAFE_DIRS=(\"Cache\" \"GPUCache\")\n");
  writeAgedFile(in("App Support/Chat/Cache/a"), std::string(3 << 20, 'a'), 0);
  writeAgedFile(in("App Support/Chat/Cache/b"), std::string(2 << 20, 'b'), 0);
  for (const auto& name : awkwardNames())
    writeAgedFile(in("App Support/Chat/GPUCache") / name, name, 0);
  brimvale::testing::settle(in("App Support"));  // what was written moments ago counts as in use
  int fd = ::open(in("App Support/Chat/Cache/a").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ProcessResult r = runBrimVale(home_, {"clean-app-caches"});
  ::close(fd);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::string out = unstamped(r.out);
  EXPECT_TRUE(contains(out, "app-cache skip \u2014 not found: " + in("App Support/Gone").string()));
  EXPECT_TRUE(fs::exists(in("App Support/Chat/Cache/a")));
  EXPECT_FALSE(fs::exists(in("App Support/Chat/Cache/b")));
  auto batch = readFile(home_.state() / "last-batch.tsv").value_or("");
  EXPECT_EQ(std::count(batch.begin(), batch.end(), '\n'), 1 + (long)awkwardNames().size());

  (void)writeFileAtomically(home_.state() / "paused", "");
  ProcessResult paused = runBrimVale(home_, {"clean-app-caches"});
  EXPECT_EQ(paused.exitCode, 1);
  ProcessResult pausedRun = runBrimVale(home_, {"relocate-now"});
  EXPECT_EQ(pausedRun.exitCode, 1);
}

// Given a saved preview with one item taken out and one item grown since,
// then `brimvale rules run` moves and deletes only the rest, checked on disk,
// and names what changed.
TEST_F(RulesE2E, ARunFromAPreviewActsOnlyOnTheItemsStillAsShown) {
  configure(
      "EXCLUDES=(\"*.keep\")\nRULES=(\n"
      "  \"archive_old | $HOME/Downloads | Downloads-Archive | 30 |\"\n"
      "  \"delete_old | $HOME/Old | | 30 |\"\n)\n");
  for (const char* name : {"Downloads/moved.iso", "Downloads/unticked.iso", "Old/deleted.txt",
                           "Old/grows.txt", "Old/notes.keep"}) {
    writeAgedFile(in(name), name, 60);
  }
  fs::create_symlink(BRIM_VALE_PATH, in(".brimvale/brim-vale"));
  const auto brimvale = [&](std::vector<std::string> args) {
    return runProcess({.path = BRIMVALE_PATH,
                       .args = std::move(args),
                       .envAdditions = {{"HOME", home_.path().string()}},
                       .deadline = std::chrono::minutes(5)});
  };
  const ProcessResult text = brimvale({"rules", "--preview"});
  EXPECT_TRUE(contains(text.out, "Kept by your excludes: 1 item, ")) << text.out << text.err;
  const ProcessResult preview = brimvale({"rules", "--preview", "--json", "--sort", "name"});
  ASSERT_EQ(preview.exitCode, 0) << preview.out << preview.err;
  auto saved = nlohmann::json::parse(preview.out);
  ASSERT_EQ(saved["items"].size(), 4u) << preview.out;
  EXPECT_EQ(saved["keptByExcludes"]["items"], 1) << preview.out;
  EXPECT_EQ(saved["items"][0]["path"], in("Downloads/moved.iso").string()) << preview.out;
  saved["items"].erase(1);  // Downloads/unticked.iso
  const fs::path file = home_.path() / "saved preview.json";
  std::ofstream(file) << saved.dump();
  writeAgedFile(in("Old/grows.txt"), std::string(20000, 'g'), 60);
  brimvale::testing::settle(home_.path());

  const ProcessResult run = brimvale({"rules", "run", "--from-preview", file.string(), "--yes"});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_FALSE(fs::exists(in("Downloads/moved.iso")));
  EXPECT_TRUE(fs::exists(base_ / "Downloads-Archive/moved.iso"));
  EXPECT_FALSE(fs::exists(in("Old/deleted.txt")));
  for (const char* kept : {"Downloads/unticked.iso", "Old/grows.txt", "Old/notes.keep"}) {
    EXPECT_TRUE(fs::exists(in(kept))) << kept;
  }
  EXPECT_TRUE(contains(run.out, "The rules moved 1 item (")) << run.out;
  EXPECT_TRUE(contains(run.out, "deleted 1 item (")) << run.out;
  EXPECT_TRUE(contains(run.out, "Changed since the preview (size or time), so left as it is: " +
                                    in("Old/grows.txt").string() + ".\n"))
      << run.out;
}

}  // namespace
}  // namespace brimvale::e2e
