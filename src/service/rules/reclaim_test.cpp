#include "service/rules/reclaim.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "testing/base/test_file.h"
#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;

// The macOS layout's tables are pinned here on any build machine; the
// freedesktop cases below name theirs too.

// A Trash item last modified `days` days before the test clock.
fs::path trashItem(const ContextInTempHome& home, const std::string& name, int days) {
  const fs::path item = home.home() / ".Trash" / name;
  fs::create_directories(item.parent_path());
  std::ofstream(item) << std::string(5000, 'x');
  const struct timeval times[2] = {{ContextInTempHome::kNow - days * 86400, 0},
                                   {ContextInTempHome::kNow - days * 86400, 0}};
  utimes(item.c_str(), times);
  return item;
}

// Given Trash items either side of thirty days, an item held open and the
// switch that forbids deleting, then only old, closed items the user did not
// exclude go and only while deleting is allowed.
TEST(Reclaim, TrashKeepsYoungOpenExcludedOrProtectedItems) {
  ContextInTempHome home("EXCLUDES=(\"*.keep\")\n");
  const fs::path young = trashItem(home, "29 days", 29);
  const fs::path excluded = trashItem(home, "31 days.keep", 31);
  const fs::path old = trashItem(home, "31 days", 31);
  const fs::path open = trashItem(home, "open", 90);
  home.fake().openPaths.insert(open.string());
  ServiceContext& ctx = home.load();
  EXPECT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"photos"}), 1);
  EXPECT_EQ(home.out().str(), "{\"error\":\"unknown_category\"}\n");
  // A list limits the run to the candidates it names; one that cannot be
  // read deletes nothing.
  const fs::path named = trashItem(home, "named", 60);
  const fs::path list = home.root() / "only.json";
  EXPECT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"trash", "--only", list.string()}), 1);
  EXPECT_TRUE(fs::exists(named));
  std::ofstream(list) << nlohmann::json::array({named.string(), young.string()}).dump();
  ASSERT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"trash", "--only", list.string()}), 0);
  EXPECT_FALSE(fs::exists(named));
  EXPECT_TRUE(fs::exists(old));
  home.out().str("");
  ASSERT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"trash"}), 0);
  EXPECT_TRUE(fs::exists(young));
  EXPECT_TRUE(fs::exists(open));
  EXPECT_TRUE(fs::exists(excluded));
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(
      home.out().str().ends_with("{\"category\":\"trash\",\"freed_bytes\":8192,\"items\":1,"
                                 "\"kept_items\":1,\"kept_bytes\":8192}\n"))
      << home.out().str();

  ContextInTempHome protectedHome("DISABLE_DELETE=1\n");
  const fs::path kept = trashItem(protectedHome, "old", 40);
  ASSERT_EQ(reclaimIn(HomeLayout::kMacOS, protectedHome.load(), {"trash"}), 0);
  EXPECT_TRUE(fs::exists(kept));
  EXPECT_TRUE(protectedHome.out().str().ends_with(
      "{\"category\":\"trash\",\"freed_bytes\":0,\"items\":0,\"skipped\":\"delete_disabled\"}\n"));
}

// A home laid out as freedesktop desktops keep it.
struct FreedesktopHome : ContextInTempHome {
  explicit FreedesktopHome(const std::string& config = "") : ContextInTempHome(config) {}
  [[nodiscard]] fs::path trash() const { return home() / ".local/share/Trash"; }

  // An item in the Trash's files/ folder, its modification time `mtimeDays`
  // back, with `record` as its .trashinfo (none when empty).
  fs::path trashed(const std::string& name, const std::string& record, int mtimeDays = 0) const {
    const fs::path item = trash() / "files" / name;
    fs::create_directories(item.parent_path());
    fs::create_directories(trash() / "info");
    std::ofstream(item) << std::string(5000, 't');
    const struct timeval times[2] = {{kNow - mtimeDays * 86400, 0}, {kNow - mtimeDays * 86400, 0}};
    utimes(item.c_str(), times);
    if (!record.empty()) std::ofstream(trash() / "info" / (name + ".trashinfo")) << record;
    return item;
  }
};

// A .trashinfo saying `path` was thrown away `days` days before the test clock.
std::string record(const std::string& path, int days) {
  const std::time_t at = ContextInTempHome::kNow - days * 86400;
  std::tm local{};
  localtime_r(&at, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  return "[Trash Info]\nPath=" + path + "\nDeletionDate=" + date + "\n";
}

std::size_t regularFilesBelow(const fs::path& folder) {
  std::size_t n = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) n += entry.is_regular_file();
  return n;
}

std::string lastLine(const std::string& out) {
  const auto lines = splitLines(out);
  return lines.empty() ? "" : std::string(lines.back());
}

// Given items whose records and file times disagree, items without a usable
// record, a link planted as an item and records left by an interrupted run,
// then only items thrown away over 30 days ago go, each with its record.
TEST(ReclaimFreedesktop, TrashGoesByTheRecordedDeletionDate) {
  FreedesktopHome home;
  const fs::path documents = home.home() / "Documents";
  fs::create_directories(documents);
  // Where the records say the items came from: inside the test's own home.
  const std::string origin = home.home().string();
  std::ofstream(documents / "thesis.tex") << "years of work";
  const fs::path old = home.trashed("old report.pdf", record(origin + "/Caf%C3%A9%20menu.pdf", 31));
  const fs::path young = home.trashed("young.txt", record(origin + "/young.txt", 29), 400);
  const fs::path unrecorded = home.trashed("no record", "", 90);
  const fs::path garbled = home.trashed("garbled", "[Trash Info]\nPath=/x\nDeletionDate=soon\n");
  const fs::path linkedRecord = home.trashed("linked record", "", 90);
  std::ofstream(home.root() / "planted.trashinfo") << record("/x", 90);
  fs::create_symlink(home.root() / "planted.trashinfo",
                     home.trash() / "info/linked record.trashinfo");
  const fs::path link = home.trash() / "files/Documents";
  fs::create_directory_symlink(documents, link);
  std::ofstream(home.trash() / "info/Documents.trashinfo") << record(origin + "/Documents", 60);
  const fs::path folder = home.trash() / "files/old folder";
  fs::create_directories(folder / "inner");
  std::ofstream(folder / "inner/a") << std::string(9000, 'a');
  std::ofstream(home.trash() / "info/old folder.trashinfo") << record(origin + "/old%20folder", 45);
  const fs::path stale = home.trash() / "info/gone before.trashinfo";
  std::ofstream(stale) << record(origin + "/gone", 50);
  const fs::path recentStale = home.trash() / "info/gone lately.trashinfo";
  std::ofstream(recentStale) << record(origin + "/gone lately", 5);
  for (const fs::path& due : {old, folder, link}) brimvale::testing::settle(due);
  ServiceContext& ctx = home.load();

  ASSERT_EQ(reclaimScanIn(HomeLayout::kFreedesktop, ctx, {}), 0);
  const std::string scanText = home.out().str();
  const auto scan = splitLines(scanText);
  ASSERT_EQ(scan.size(), 3u) << scanText;
  EXPECT_TRUE(scan[2].starts_with("{\"category\":\"trash\",\"freed_bytes\":")) << scan[2];
  EXPECT_TRUE(scan[2].ends_with(",\"items\":3,\"unrecorded\":3}")) << scan[2];

  // The item lines name exactly what the run below deletes, aged by the record.
  home.out().str("");
  ASSERT_EQ(reclaimScanIn(HomeLayout::kFreedesktop, ctx, {"--items"}), 0);
  std::set<std::string> listed;
  const std::string itemLines = home.out().str();
  for (const auto line : splitLines(itemLines)) {
    const auto item = nlohmann::json::parse(line);
    if (!item.contains("path")) continue;
    listed.insert(item["path"].get<std::string>());
    EXPECT_LT(item["aged_from"].get<std::int64_t>(), ContextInTempHome::kNow - 30 * 86400) << line;
  }
  EXPECT_EQ(listed, (std::set<std::string>{old.string(), folder.string(), link.string()}));
  EXPECT_EQ(lastLine(itemLines), std::string(scan[2]));

  home.out().str("");
  ASSERT_EQ(reclaimIn(HomeLayout::kFreedesktop, ctx, {"trash"}), 0);
  const std::string out = home.out().str();
  EXPECT_EQ(lastLine(out), std::string(scan[2])) << "the scan foretold what reclaim freed";
  EXPECT_NE(out.find("reclaim skip \u2014 3 Trash item(s) without a record"), std::string::npos)
      << out;
  for (const fs::path& gone : {old, folder, link}) {
    SCOPED_TRACE(gone.string());
    EXPECT_FALSE(fs::exists(fs::symlink_status(gone)));
    EXPECT_FALSE(fs::exists(home.trash() / "info" / (gone.filename().string() + ".trashinfo")));
  }
  for (const fs::path& kept : {young, unrecorded, garbled, linkedRecord}) {
    SCOPED_TRACE(kept.string());
    EXPECT_TRUE(fs::exists(kept));
  }
  EXPECT_TRUE(fs::exists(home.trash() / "info/young.txt.trashinfo"));
  EXPECT_TRUE(fs::exists(home.root() / "planted.trashinfo"));
  EXPECT_EQ(regularFilesBelow(documents), 1u) << "0 lost through the planted link";
  EXPECT_FALSE(fs::exists(stale)) << "a record whose item is gone is cleared once old";
  EXPECT_TRUE(fs::exists(recentStale));
  const std::string log = readFile(home.paths().log).value_or("");
  EXPECT_NE(log.find("reclaim trash: emptied " + origin + "/Café menu.pdf"), std::string::npos)
      << log;
  EXPECT_NE(readFile(home.paths().actions).value_or("").find("\treclaim-trash\t" + old.string()),
            std::string::npos);
}

// Given the Trash's files/ folder replaced by a link into the user's files,
// then nothing behind it is touched.
TEST(ReclaimFreedesktop, NeverEntersATrashFilesFolderReachedThroughALink) {
  FreedesktopHome home;
  const fs::path projects = home.home() / "Projects";
  fs::create_directories(projects / "site");
  std::ofstream(projects / "site/index.html") << "<html>";
  fs::create_directories(home.trash() / "info");
  std::ofstream(home.trash() / "info/site.trashinfo") << record("/x", 90);
  fs::create_directory_symlink(projects, home.trash() / "files");
  ServiceContext& ctx = home.load();

  ASSERT_EQ(reclaimIn(HomeLayout::kFreedesktop, ctx, {"trash"}), 0);
  EXPECT_EQ(regularFilesBelow(projects), 1u) << "0 lost";
  const std::string last = lastLine(home.out().str());
  EXPECT_TRUE(
      last.starts_with("{\"category\":\"trash\",\"freed_bytes\":0,\"items\":0,\"refused\":\"" +
                       (home.trash() / "files").string() + " is reached through a symbolic link"))
      << last;
}

// A tool writing into its cache right now: what it just wrote stays, even
// inside a folder old enough to go.
TEST(ReclaimFreedesktop, WhatWasWrittenMomentsAgoStays) {
  FreedesktopHome home;
  const fs::path http = home.home() / ".cache/pip/http";
  fs::create_directories(http);
  std::ofstream(http / "old") << std::string(3000, 'o');
  std::ofstream(http / "being written") << "the first half";
  brimvale::testing::settle(http);
  std::ofstream(http / "being written", std::ios::app) << " and the second";
  ServiceContext& ctx = home.load();

  ASSERT_EQ(reclaimIn(HomeLayout::kFreedesktop, ctx, {"devcaches"}), 0);
  EXPECT_FALSE(fs::exists(http / "old"));
  EXPECT_EQ(readFile(http / "being written").value_or(""), "the first half and the second");
}

}  // namespace
}  // namespace brimvale::service
