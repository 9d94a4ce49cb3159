#include "service/drives/self_backup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/base/file_io.h"
#include "service/dispatch.h"
#include "testing/base/tmpfs_drive.h"
#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;

TEST(SelfBackup, CopiesStateWithoutLogsAndKeepsTheSevenNewest) {
  ContextInTempHome home("");
  const fs::path nvme = home.home() / "Volumes/NVMe";
  // A real mount: the backup writes only while its drive is mounted there.
  brimvale::testing::TmpfsMount drive(nvme, "4m");
  BRIMVALE_REQUIRE_DRIVE(drive);
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
  ServiceContext& ctx = home.load();

  ASSERT_EQ(runService(ctx, {"backup-self"}), 0);
  const fs::path today = base / "Brimvale-Backup/2026-05-01";
  EXPECT_TRUE(fs::exists(today / "brim-vale.conf"));
  EXPECT_TRUE(fs::exists(today / "state/status.json"));
  EXPECT_FALSE(fs::exists(today / "state/noisy.log"));
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(base / "Brimvale-Backup")) {
    left.push_back(e.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"2026-04-04", "2026-04-05", "2026-04-06", "2026-04-07",
                                            "2026-04-08", "2026-04-09", "2026-05-01", "keep-me"}));
}

// The drive was pulled after the service last saw it: its mount folder is an
// empty folder on the internal disk, and a backup written there would only
// fill that disk while saying it is safe on the drive.
TEST(SelfBackup, WritesNothingWhereTheDriveIsNoLongerMounted) {
  ContextInTempHome home("");
  const fs::path nvme = home.home() / "Volumes/NVMe";
  fs::create_directories(nvme / "BRIM-Test-Mac");
  std::ofstream(nvme / "BRIM-Test-Mac/.hollin-managed") << "marker_version=3\n";
  std::ofstream(home.paths().config) << "NVMe=\"" << nvme.string() << "\"\n";
  home.fake().mountPoints.insert(nvme.string());
  ServiceContext& ctx = home.load();

  EXPECT_EQ(runService(ctx, {"backup-self"}), 1);
  EXPECT_FALSE(fs::exists(nvme / "BRIM-Test-Mac/Brimvale-Backup"));
  EXPECT_NE(home.out().str().find("Your settings and state are safe"), std::string::npos)
      << home.out().str();
}

}  // namespace
}  // namespace brimvale::service
