#include "service/rules/reclaim.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>

#include "common/base/file_io.h"
#include "service/dispatch.h"
#include "testing/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;

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
  ASSERT_EQ(runService(ctx, {"reclaim", "trash"}), 0);
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

  ASSERT_EQ(runService(ctx, {"reclaim-scan"}), 0);
  EXPECT_EQ(home.out().str(),
            "{\"category\":\"devcaches\",\"freed_bytes\":4096,\"items\":1}\n"
            "{\"category\":\"syslog\",\"freed_bytes\":0,\"items\":0}\n"
            "{\"category\":\"trash\",\"freed_bytes\":8192,\"items\":1,"
            "\"skipped\":\"delete_disabled\"}\n");

  home.out().str("");
  ASSERT_EQ(runService(ctx, {"reclaim", "trash"}), 0);
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
  EXPECT_EQ(runService(ctx, {"reclaim", "photos"}), 1);
  EXPECT_EQ(runService(ctx, {"reclaim"}), 1);
  EXPECT_EQ(home.out().str(),
            "{\"error\":\"unknown_category\"}\n{\"error\":\"unknown_category\"}\n");

  home.out().str("");
  ASSERT_EQ(runService(ctx, {"reclaim", "syslog"}), 0);
  EXPECT_TRUE(fs::exists(report));
  EXPECT_TRUE(
      home.out().str().ends_with("{\"category\":\"syslog\",\"freed_bytes\":0,\"items\":0}\n"));

  std::ofstream(home.paths().paused) << "";
  home.out().str("");
  EXPECT_EQ(runService(ctx, {"reclaim", "syslog"}), 1);
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
  ServiceContext& ctx = home.load();

  ASSERT_EQ(runService(ctx, {"reclaim-scan"}), 0);
  const std::string scan = home.out().str();
  EXPECT_EQ(scan.find("reclaim skip"), std::string::npos) << "the scan prints only its JSON lines";
  EXPECT_NE(scan.find("\"freed_bytes\":4096,\"items\":1,\"refused\":\"" +
                      (home.home() / ".pnpm-store").string() +
                      " is reached through a symbolic link that leads to " +
                      (home.home() / "Documents").string()),
            std::string::npos)
      << scan;

  home.out().str("");
  ASSERT_EQ(runService(ctx, {"reclaim", "devcaches"}), 0);
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

}  // namespace
}  // namespace brimvale::service
