#include "service/drives/self_backup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/base/file_io.h"
#include "service/dispatch.h"
#include "testing/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;

TEST(SelfBackup, CopiesStateWithoutLogsAndKeepsTheSevenNewest) {
  ContextInTempHome home("");
  const fs::path nvme = home.home() / "Volumes/NVMe";
  std::ofstream(home.paths().config) << "NVMe=\"" << nvme.string() << "\"\n";
  const fs::path base = nvme / "BRIM-Test-Mac";
  fs::create_directories(base / "Brimvale-Backup/keep-me");
  std::ofstream(base / ".hollin-managed") << "marker_version=3\n";
  home.fake().mountPoints.insert(nvme.string());
  for (int day = 1; day <= 9; ++day) {
    fs::create_directories(base / ("Brimvale-Backup/2026-04-0" + std::to_string(day)));
  }
  std::ofstream(home.paths().state / "status.json") << "{}";
  std::ofstream(home.paths().state / "noisy.log") << "log";
  fs::create_directories(home.paths().root / "sync");
  std::ofstream(home.paths().root / "sync/jobs.json") << "[]";
  ServiceContext& ctx = home.load();

  ASSERT_EQ(runService(ctx, {"backup-self"}), 0);
  const fs::path today = base / "Brimvale-Backup/2026-05-01";
  EXPECT_EQ(home.out().str(), "Self-backup written to: " + today.string() + "\n");
  EXPECT_TRUE(fs::exists(today / "brim-vale.conf"));
  EXPECT_TRUE(fs::exists(today / "state/status.json"));
  EXPECT_FALSE(fs::exists(today / "state/noisy.log"));
  EXPECT_TRUE(fs::exists(today / "sync/jobs.json"));
  EXPECT_EQ(readFile(today / "manifest.txt").value_or(""),
            "backup_date=2026-05-01\nhost=Test Mac\nversion=3\n");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(base / "Brimvale-Backup")) {
    left.push_back(e.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"2026-04-04", "2026-04-05", "2026-04-06", "2026-04-07",
                                            "2026-04-08", "2026-04-09", "2026-05-01", "keep-me"}));
}

TEST(SelfBackup, WithoutTheDriveItOnlySaysSo) {
  ContextInTempHome home("NVMe=\"/nonexistent/NVMe\"\n");
  ServiceContext& ctx = home.load();
  EXPECT_EQ(runService(ctx, {"backup-self"}), 0);
  EXPECT_EQ(home.out().str(), "NVMe not mounted — skipping self-backup.\n");
}

}  // namespace
}  // namespace brimvale::service
