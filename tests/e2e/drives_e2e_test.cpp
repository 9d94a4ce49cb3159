// The drive subcommands run as the real program against tmpfs drives.
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "e2e_harness.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;

std::string tag() { return std::to_string(getpid()); }

TEST(DrivesE2E, ListAndAssessTmpfsDrives) {
  TmpfsDrive first("dl-a-" + tag());
  TmpfsDrive second("dl-b-" + tag());
  BRIMVALE_REQUIRE_DRIVE(first);
  BRIMVALE_REQUIRE_DRIVE(second);
  fs::create_directories(second.path() / "Mac");
  std::ofstream(second.path() / "Mac" / ".hollin-managed") << "marker_version=1\n";
  TempHome home;
  home.writeConfig("NVMe=\"" + first.path().string() + "\"\n");

  ProcessResult r = runBrimVale(home, {"list-drives"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json drives = json::parse(r.out);
  std::map<std::string, json> byName;
  for (const auto& d : drives) byName[d["name"]] = d;
  ASSERT_TRUE(byName.contains(first.path().filename().string()));
  json a = byName[first.path().filename().string()];
  json b = byName[second.path().filename().string()];
  EXPECT_EQ(a["is_current"], true);
  EXPECT_EQ(a["has_marker"], false);
  EXPECT_EQ(a["filesystem"], "tmpfs");
  EXPECT_EQ(a["total_mb"], 64);
  EXPECT_EQ(b["has_marker"], true);
  EXPECT_EQ(b["path"], second.path().string());

  r = runBrimVale(home, {"assess", first.path().string()});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            "{\"verdict\":\"warn\",\"filesystem\":\"tmpfs\",\"protocol\":\"\",\"removable\":\"\","
            "\"location\":\"\",\"reasons\":[],\"warnings\":[\"Filesystem tmpfs is non-standard. "
            "ext4, btrfs, xfs or f2fs is recommended.\"]}\n");
  r = runBrimVale(home, {"assess", "/Volumes/none-" + tag()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(
      r.out,
      "{\"verdict\":\"block\",\"reasons\":[\"Path does not exist or is not a directory\"]}\n");
}

// Given a drive too small for the benchmark, then it says so, and otherwise
// measures and cleans up; nvme-info reports the drive as it is.
TEST(DrivesE2E, BenchmarkAndNvmeInfo) {
  TmpfsDrive drive("db-" + tag());
  BRIMVALE_REQUIRE_DRIVE(drive);
  TempHome home;
  home.writeConfig("NVMe=/Volumes/NVMe\n");
  ProcessResult r = runBrimVale(home, {"benchmark", drive.path().string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "{\"error\":\"Not enough free space (need ~512MB)\"}\n");
  EXPECT_EQ(runBrimVale(home, {"benchmark", "/Volumes/none-" + tag()}).out,
            "{\"error\":\"Path does not exist\"}\n");

  home.writeConfig("NVMe=/Volumes/NVMe\nBENCH_SIZE_MB=4\n");
  r = runBrimVale(home, {"benchmark", drive.path().string()});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  json result = json::parse(r.out);
  EXPECT_EQ(result["size_mb"], 4);
  EXPECT_GT(result["write_mbps"].get<int>(), 0);
  EXPECT_GT(result["read_mbps"].get<int>(), 0);
  EXPECT_EQ(result["min_read_mbps"], 40);
  EXPECT_TRUE(r.out.starts_with("{\"size_mb\":4,\"write_mbps\":")) << r.out;
  EXPECT_TRUE(fs::is_empty(drive.path())) << "test files are removed";

  home.writeConfig("NVMe=\"" + drive.path().string() + "\"\n");
  r = runBrimVale(home, {"nvme-info"});
  EXPECT_EQ(r.exitCode, 0);
  json info = json::parse(r.out);
  EXPECT_EQ(info["mount_path"], drive.path().string());
  EXPECT_EQ(info["mounted"], true);
  EXPECT_EQ(info["marker_ok"], false);
  EXPECT_EQ(info["filesystem"], "tmpfs");
}

// Given a file held open on the drive the eject fails, says who holds it and
// leaves the service paused; once released the eject succeeds.
TEST(DrivesE2E, EjectPausesFirstAndReportsFilesInUse) {
  TmpfsDrive drive("de-" + tag());
  BRIMVALE_REQUIRE_DRIVE(drive);
  TempHome home;
  home.writeConfig("NVMe=\"" + drive.path().string() + "\"\n");
  const std::string nvme = drive.path().string();
  {
    std::ofstream held(drive.path() / "busy.txt");
    held << "in use";
    held.flush();
    ProcessResult r = runBrimVale(home, {"eject-nvme"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("\nFiles still in use:\n      COMMAND"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(home.state() / "paused"));
    EXPECT_NE(
        readFile(home.state() / "notifications.queue").value().find("\"title\":\"Eject failed\""),
        std::string::npos);
  }
  ProcessResult r = runBrimVale(home, {"eject-nvme"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_FALSE(fs::exists(drive.path() / "busy.txt")) << "the drive is no longer mounted";
}

}  // namespace
}  // namespace brimvale::e2e
