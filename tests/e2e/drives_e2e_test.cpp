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
// measures and cleans up; then select-drive guards parked folders, and
// nvme-info and remount report the drive as it is.
TEST(DrivesE2E, BenchmarkSelectDriveAndNvmeInfo) {
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

  const std::string config = "# Brimvale configuration\nNVMe=\"/Volumes/NVMe\"\nRULES=()\n";
  home.writeConfig(config);
  fs::create_directories(home.path() / "Library" / "Foo.hollin-old");

  r = runBrimVale(home, {"select-drive", drive.path().string()});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out.substr(0, 49), "WARNING: 1 parked '.hollin-old' folder(s) exist.\n");
  EXPECT_EQ(readFile(home.path() / ".brimvale/brim-vale.conf").value(), config);

  r = runBrimVale(home, {"select-drive", drive.path().string(), "force"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(readFile(home.path() / ".brimvale/brim-vale.conf")
                .value()
                .find("\nNVMe=\"" + drive.path().string() + "\"\n"),
            std::string::npos);

  r = runBrimVale(home, {"nvme-info"});
  EXPECT_EQ(r.exitCode, 0);
  json info = json::parse(r.out);
  EXPECT_EQ(info["mount_path"], drive.path().string());
  EXPECT_EQ(info["mounted"], true);
  EXPECT_EQ(info["marker_ok"], false);
  EXPECT_EQ(info["filesystem"], "tmpfs");
  EXPECT_EQ(info["fstab_pin"], false);
  EXPECT_EQ(info["marker_host"], "");
  EXPECT_EQ(r.out.substr(0, 17), "{\n  \"mount_path\":");

  home.writeConfig("NVMe=\"/Volumes/none-" + tag() +
                   "\"\nREMOUNT_RETRIES=1\nREMOUNT_BACKOFF_SECS=0\n");
  r = runBrimVale(home, {"remount"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.ends_with("Failed.\n")) << r.out;
  EXPECT_NE(r.out.find("Remount failed after 1 attempts."), std::string::npos);
  info = json::parse(runBrimVale(home, {"nvme-info"}).out);
  EXPECT_TRUE(info["free_gb"].is_null());
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
    EXPECT_TRUE(
        r.out.starts_with("=== Ejecting NVMe ===\n\nStep 1/3 — Pausing auto-actions\n"
                          "    ✓ Pause sentinel created. Auto-relocate is halted.\n\n"
                          "Step 2/3 — Quitting dependent apps\n\nStep 3/3 — Unmounting " +
                          nvme + "\n    ✗ Eject failed:\n      "))
        << r.out;
    EXPECT_NE(r.out.find("\nFiles still in use:\n      COMMAND"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(home.state() / "paused"));
    EXPECT_NE(
        readFile(home.state() / "notifications.queue").value().find("\"title\":\"Eject failed\""),
        std::string::npos);
  }
  ProcessResult r = runBrimVale(home, {"eject-nvme"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(
      r.out.ends_with("\n=== Done. Safe to physically disconnect the drive. ===\n"
                      "Service stays running (paused). It will detect when NVMe returns.\n"))
      << r.out;
  EXPECT_EQ(
      runBrimVale(home, {"eject-nvme"}).out,
      "=== Ejecting NVMe ===\nNVMe is not currently mounted at " + nvme + ". Nothing to eject.\n");
}

}  // namespace
}  // namespace brimvale::e2e
