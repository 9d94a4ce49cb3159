// brimvale care and home against the real service in a temporary home: old
// caches, logs and Trash items are really freed, the amount is reported and
// remembered, and "only move, never delete" keeps the Trash and says so.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "e2e_harness.h"
#include "sandbox_files.h"
#include "testing/base/test_file.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

// Incompressible bytes, so what the disk frees is what was written.
std::string noise(std::size_t n) {
  std::string bytes(n, '\0');
  std::uint32_t x = 2463534242u;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<char>(x);
  }
  return bytes;
}

// A home whose service program is the real one, configured without a drive.
struct CareHome {
  TempHome home;

  explicit CareHome(const std::string& extraConfig = {}) {
    home.writeConfig(
        "# Brimvale configuration\nNVMe=\"/Volumes/NVMe\"\nLOW_SPACE_WARN_GB=40\n"
        "LOW_SPACE_CRITICAL_GB=15\nRULES=()\nAPP_CACHE_PATHS=()\n" +
        extraConfig);
    fs::create_symlink(BRIM_VALE_PATH, home.path() / ".brimvale" / "brim-vale");
  }
  ProcessResult brimvale(std::vector<std::string> args) const {
    return runProcess({.path = BRIMVALE_PATH,
                       .args = std::move(args),
                       .envAdditions = {{"HOME", home.path().string()}},
                       .deadline = std::chrono::minutes(10)});
  }
  nlohmann::json settings() const {
    return nlohmann::json::parse(readFile(home.state() / "user-defaults.json").value_or("{}"),
                                 nullptr, false);
  }
};

TEST(CareE2e, FreesOldCachesLogsAndTrashAndReportsWhatItFreed) {
  CareHome sandbox;
  const fs::path h = sandbox.home.path();
  writeAgedFile(h / ".cache/yarn/v6/old package.tgz", noise(3'000'000), 90);
  writeAgedFile(h / ".cache/pip/http/wheel.bin", noise(2'000'000), 40);
  writeAgedFile(h / ".cache/thumbnails/large/Mail photo.png", noise(500'000), 10);
  const fs::path oldTrash =
      writeTrashedFile(h, "Old \"quarterly\" report.pdf", noise(4'000'000), 60);
  const fs::path freshTrash = writeTrashedFile(h, "Fresh note.txt", "keep me\n", 2);
  constexpr std::int64_t kWritten = 9'500'000;
  brimvale::testing::settle(h);  // what was written moments ago counts as in use

  ProcessResult plan = sandbox.brimvale({"care", "--plan"});
  ASSERT_EQ(plan.exitCode, 0) << plan.describe() << plan.out << plan.err;
  EXPECT_TRUE(fs::exists(oldTrash)) << "showing the plan changed nothing";

  ProcessResult run = sandbox.brimvale({"care", "--yes"});
  ASSERT_EQ(run.exitCode, 0) << run.describe() << run.out << run.err;
  EXPECT_FALSE(fs::exists(h / ".cache/yarn/v6"));
  EXPECT_FALSE(fs::exists(h / ".cache/pip/http"));
  EXPECT_FALSE(fs::exists(h / ".cache/thumbnails/large"));
  EXPECT_FALSE(fs::exists(oldTrash));
  EXPECT_FALSE(fs::exists(h / ".local/share/Trash/info/Old \"quarterly\" report.pdf.trashinfo"));
  EXPECT_TRUE(fs::exists(freshTrash)) << "a Trash item younger than 30 days stays";

  const auto settings = sandbox.settings();
  const std::int64_t freed = settings.value("SmartCareLastRunFreedBytes", std::int64_t{0});
  EXPECT_GE(freed, kWritten);
  EXPECT_EQ(settings.value("SmartCareLastRunCoverage", ""), "caches,devcaches,syslog,trash");
  EXPECT_EQ(readFile(sandbox.home.state() / "cumulative-saved-bytes"),
            std::to_string(freed) + "\n");
}

TEST(CareE2e, OnlyMoveNeverDeleteKeepsTheTrashAndSaysHowMuchItHolds) {
  CareHome sandbox("DISABLE_DELETE=1\n");
  const fs::path oldTrash =
      writeTrashedFile(sandbox.home.path(), "Old holiday videos.zip", noise(52'000'000), 45);

  ProcessResult plan = sandbox.brimvale({"care", "--plan"});
  ASSERT_EQ(plan.exitCode, 0) << plan.describe() << plan.out << plan.err;
  EXPECT_EQ(plan.out.find("Trash"), std::string::npos) << plan.out;

  ProcessResult run = sandbox.brimvale({"care", "--yes"});
  ASSERT_EQ(run.exitCode, 0) << run.describe() << run.out << run.err;
  EXPECT_TRUE(fs::exists(oldTrash));
  EXPECT_NE(run.out.find("I left your old Trash alone because “only move, never delete” is on"),
            std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace brimvale::e2e
