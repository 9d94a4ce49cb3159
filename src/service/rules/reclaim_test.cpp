#include "service/rules/reclaim.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "testing/context_in_temp_home.h"
#include "testing/test_file.h"

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

TEST(Reclaim, TrashKeepsItemsYoungerThanThirtyDays) {
  ContextInTempHome home("");
  const fs::path young = trashItem(home, "29 days", 29);
  const fs::path old = trashItem(home, "31 days", 31);
  ServiceContext& ctx = home.load();
  ASSERT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"trash"}), 0);
  EXPECT_TRUE(fs::exists(young));
  EXPECT_FALSE(fs::exists(old));
  const std::string out = home.out().str();
  EXPECT_NE(out.find("reclaim: trash"), std::string::npos);
  EXPECT_TRUE(out.ends_with("{\"category\":\"trash\",\"freed_bytes\":8192,\"items\":1}\n")) << out;
  EXPECT_NE(readFile(home.paths().actions).value_or("").find("\treclaim-trash\t" + old.string()),
            std::string::npos);
  EXPECT_NE(readFile(home.paths().lastAutoRun).value_or("").find(" (reclaim)\n"),
            std::string::npos);
}

TEST(Reclaim, DisableDeleteKeepsTheTrashButScanStillSizesIt) {
  ContextInTempHome home("DISABLE_DELETE=1\n");
  const fs::path old = trashItem(home, "old", 40);
  fs::create_directories(home.home() / "Library/Caches/pip");
  std::ofstream(home.home() / "Library/Caches/pip/wheel") << std::string(100, 'p');
  ServiceContext& ctx = home.load();

  ASSERT_EQ(reclaimScanIn(HomeLayout::kMacOS, ctx, {}), 0);
  EXPECT_EQ(home.out().str(),
            "{\"category\":\"devcaches\",\"freed_bytes\":4096,\"items\":1}\n"
            "{\"category\":\"syslog\",\"freed_bytes\":0,\"items\":0}\n"
            "{\"category\":\"trash\",\"freed_bytes\":8192,\"items\":1,"
            "\"skipped\":\"delete_disabled\"}\n");

  home.out().str("");
  ASSERT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"trash"}), 0);
  EXPECT_TRUE(fs::exists(old));
  EXPECT_TRUE(home.out().str().ends_with(
      "{\"category\":\"trash\",\"freed_bytes\":0,\"items\":0,\"skipped\":\"delete_disabled\"}\n"));
  EXPECT_NE(home.out().str().find("reclaim skip — 'never delete personal files' is on: trash"),
            std::string::npos);
}

TEST(Reclaim, RefusesOtherCategoriesAndWhilePausedAndSparesOpenItems) {
  ContextInTempHome home("");
  const fs::path report = home.home() / "Library/Logs/DiagnosticReports/crash.ips";
  fs::create_directories(report.parent_path());
  std::ofstream(report) << "report";
  home.fake().openPaths.insert(report.string());
  ServiceContext& ctx = home.load();
  EXPECT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"photos"}), 1);
  EXPECT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {}), 1);
  EXPECT_EQ(home.out().str(),
            "{\"error\":\"unknown_category\"}\n{\"error\":\"unknown_category\"}\n");

  home.out().str("");
  ASSERT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"syslog"}), 0);
  EXPECT_TRUE(fs::exists(report));
  EXPECT_TRUE(
      home.out().str().ends_with("{\"category\":\"syslog\",\"freed_bytes\":0,\"items\":0}\n"));

  std::ofstream(home.paths().paused) << "";
  home.out().str("");
  EXPECT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"syslog"}), 1);
  EXPECT_EQ(home.out().str(), "{\"error\":\"paused\"}\n");
}

TEST(Reclaim, NeverFollowsACategoryFolderThatIsALinkAndSaysSo) {
  ContextInTempHome home("");
  const fs::path thesis = home.home() / "Documents/thesis.tex";
  fs::create_directories(thesis.parent_path());
  std::ofstream(thesis) << "years of work";
  fs::create_directory_symlink(home.home() / "Documents", home.home() / ".pnpm-store");
  const fs::path pip = home.home() / "Library/Caches/pip/wheel";
  fs::create_directories(pip.parent_path());
  std::ofstream(pip) << "regenerable";
  testing::settle(pip.parent_path());
  ServiceContext& ctx = home.load();

  ASSERT_EQ(reclaimScanIn(HomeLayout::kMacOS, ctx, {}), 0);
  const std::string scan = home.out().str();
  EXPECT_EQ(scan.find("reclaim skip"), std::string::npos) << "the scan prints only its JSON lines";
  EXPECT_NE(scan.find("\"freed_bytes\":4096,\"items\":1,\"refused\":\"" +
                      (home.home() / ".pnpm-store").string() +
                      " is reached through a symbolic link that leads to " +
                      (home.home() / "Documents").string()),
            std::string::npos)
      << scan;

  home.out().str("");
  ASSERT_EQ(reclaimIn(HomeLayout::kMacOS, ctx, {"devcaches"}), 0);
  EXPECT_TRUE(fs::exists(thesis));
  EXPECT_FALSE(fs::exists(pip));
  const std::string out = home.out().str();
  EXPECT_NE(out.find("] reclaim skip \u2014 refused: " + (home.home() / ".pnpm-store").string()),
            std::string::npos)
      << out;
  EXPECT_NE(readFile(home.paths().log).value().find("reclaim skip \u2014 refused: "),
            std::string::npos);
  const std::string last = out.substr(out.rfind("{"));
  EXPECT_TRUE(last.starts_with(
      "{\"category\":\"devcaches\",\"freed_bytes\":4096,\"items\":1,\"refused\":\""))
      << last;
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
  for (const fs::path& due : {old, folder, link}) testing::settle(due);
  ServiceContext& ctx = home.load();

  ASSERT_EQ(reclaimScanIn(HomeLayout::kFreedesktop, ctx, {}), 0);
  const auto scan = splitLines(home.out().str());
  ASSERT_EQ(scan.size(), 3u) << home.out().str();
  EXPECT_TRUE(scan[2].starts_with("{\"category\":\"trash\",\"freed_bytes\":")) << scan[2];
  EXPECT_TRUE(scan[2].ends_with(",\"items\":3,\"unrecorded\":3}")) << scan[2];
  EXPECT_TRUE(fs::exists(old)) << "scanning deletes nothing";

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

  // A second run finds nothing more to free and touches nothing else.
  home.out().str("");
  ASSERT_EQ(reclaimIn(HomeLayout::kFreedesktop, ctx, {"trash"}), 0);
  EXPECT_EQ(lastLine(home.out().str()),
            "{\"category\":\"trash\",\"freed_bytes\":0,\"items\":0,\"unrecorded\":3}");
  EXPECT_TRUE(fs::exists(young));
  EXPECT_EQ(regularFilesBelow(documents), 1u);
}

// Given a Trash folder, or its files/ folder, that is a link into the user's
// files holding what looks like old Trash, then nothing behind it is touched.
TEST(ReclaimFreedesktop, NeverEntersATrashReachedThroughALink) {
  struct Case {
    const char* name;
    const char* link;  // relative to the home
    const char* shownInRefusal;
  };
  const Case cases[] = {
      {"the Trash folder", ".local/share/Trash", ".local/share/Trash"},
      {"its files folder", ".local/share/Trash/files", ".local/share/Trash/files"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FreedesktopHome home;
    const fs::path projects = home.home() / "Projects";
    fs::create_directories(projects / "files/site");
    fs::create_directories(projects / "info");
    std::ofstream(projects / "files/site/index.html") << "<html>";
    std::ofstream(projects / "info/site.trashinfo") << record("/x", 90);
    fs::create_directories(projects / "site");
    std::ofstream(projects / "site.trashinfo") << record("/x", 90);
    std::ofstream(projects / "site/index.html") << "<html>";
    fs::create_directories((home.home() / c.link).parent_path());
    if (std::string_view(c.link).ends_with("files")) {
      fs::create_directories(home.trash() / "info");
      std::ofstream(home.trash() / "info/site.trashinfo") << record("/x", 90);
    }
    fs::create_directory_symlink(projects, home.home() / c.link);
    const std::size_t before = regularFilesBelow(projects);
    ServiceContext& ctx = home.load();

    ASSERT_EQ(reclaimIn(HomeLayout::kFreedesktop, ctx, {"trash"}), 0);
    EXPECT_EQ(regularFilesBelow(projects), before) << "0 lost";
    const std::string last = lastLine(home.out().str());
    EXPECT_TRUE(last.starts_with(
        "{\"category\":\"trash\",\"freed_bytes\":0,\"items\":0,"
        "\"refused\":\"" +
        (home.home() / c.shownInRefusal).string() + " is reached through a symbolic link"))
        << last;
  }
}

TEST(ReclaimFreedesktop, DevCachesEmptyToolCachesAndLeaveEverythingElse) {
  FreedesktopHome home;
  const fs::path h = home.home();
  for (const char* cache : {".cache/pip/http/wheel", ".cache/go-build/ab/abcdef-d",
                            ".cargo/registry/cache/index.crates.io/serde.crate"}) {
    fs::create_directories((h / cache).parent_path());
    std::ofstream(h / cache) << std::string(3000, 'c');
  }
  for (const char* kept : {".m2/repository/org/acme/app/1.0/app-1.0.jar",
                           ".cache/my-app/settings.db", "Library/Caches/pip/wheel"}) {
    fs::create_directories((h / kept).parent_path());
    std::ofstream(h / kept) << "keep";
  }
  for (const char* tool : {".cache/pip", ".cache/go-build", ".cargo/registry/cache"})
    testing::settle(h / tool);
  ServiceContext& ctx = home.load();

  ASSERT_EQ(reclaimIn(HomeLayout::kFreedesktop, ctx, {"devcaches"}), 0);
  EXPECT_EQ(lastLine(home.out().str()),
            "{\"category\":\"devcaches\",\"freed_bytes\":24576,\"items\":3}");
  EXPECT_TRUE(fs::is_empty(h / ".cache/pip"));
  EXPECT_TRUE(fs::is_empty(h / ".cache/go-build"));
  EXPECT_TRUE(fs::is_empty(h / ".cargo/registry/cache"));
  EXPECT_EQ(regularFilesBelow(h / ".m2"), 1u) << "Maven's repository is not a cache";
  EXPECT_TRUE(fs::exists(h / ".cache/my-app/settings.db"));
  EXPECT_TRUE(fs::exists(h / "Library/Caches/pip/wheel")) << "no macOS folder on this layout";
}

// A tool writing into its cache right now: what it just wrote stays, even
// inside a folder old enough to go.
TEST(ReclaimFreedesktop, WhatWasWrittenMomentsAgoStays) {
  FreedesktopHome home;
  const fs::path http = home.home() / ".cache/pip/http";
  fs::create_directories(http);
  std::ofstream(http / "old") << std::string(3000, 'o');
  std::ofstream(http / "being written") << "the first half";
  testing::settle(http);
  std::ofstream(http / "being written", std::ios::app) << " and the second";
  ServiceContext& ctx = home.load();

  ASSERT_EQ(reclaimIn(HomeLayout::kFreedesktop, ctx, {"devcaches"}), 0);
  EXPECT_FALSE(fs::exists(http / "old"));
  EXPECT_EQ(readFile(http / "being written").value_or(""), "the first half and the second");
}

}  // namespace
}  // namespace brimvale::service
