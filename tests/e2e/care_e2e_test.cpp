// brimvale care and home against the real service in a temporary home: old
// caches, logs and Trash items are really freed, the amount is reported and
// remembered, and "only move, never delete" keeps the Trash and says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <set>

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

  // The preview names, largest first, what the run then deletes.
  ProcessResult preview = sandbox.brimvale({"care", "--preview", "--json", "--sort", "size"});
  ASSERT_EQ(preview.exitCode, 0) << preview.describe() << preview.out << preview.err;
  const auto previewed = nlohmann::json::parse(preview.out, nullptr, false);
  ASSERT_TRUE(previewed.contains("items")) << preview.out;
  std::set<std::string> paths;
  std::int64_t previous = std::numeric_limits<std::int64_t>::max();
  for (const auto& item : previewed["items"]) {
    paths.insert(item["path"].get<std::string>());
    EXPECT_LE(item["bytes"].get<std::int64_t>(), previous) << preview.out;
    previous = item["bytes"].get<std::int64_t>();
  }
  EXPECT_TRUE(paths.contains(oldTrash.string())) << preview.out;
  EXPECT_FALSE(paths.contains(freshTrash.string())) << preview.out;
  EXPECT_GE(previewed["totalBytes"].get<std::int64_t>(), kWritten);
  EXPECT_TRUE(fs::exists(oldTrash)) << "the preview changed nothing";

  ProcessResult run = sandbox.brimvale({"care", "--yes"});
  ASSERT_EQ(run.exitCode, 0) << run.describe() << run.out << run.err;
  for (const auto& path : paths) EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
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

// Given a saved preview with one item unticked, then one item grown, one
// gone and one new, then the run clears only what was shown and is unchanged.
TEST(CareE2e, ARunFromAPreviewClearsOnlyThePreviewedItemsThatStillQualify) {
  CareHome sandbox;
  const fs::path h = sandbox.home.path();
  const fs::path cleared = h / ".cache/pip/wheels";
  const fs::path unticked = h / ".cache/yarn/v6";
  const fs::path grows = h / ".cache/go-build/00";
  const fs::path vanishes = h / ".cache/ccache/old";
  for (const fs::path& folder : {cleared, unticked, grows}) {
    writeAgedFile(folder / "part", noise(100'000), 40);
  }
  writeAgedFile(vanishes, noise(1000), 40);
  brimvale::testing::settle(h);
  ProcessResult preview = sandbox.brimvale({"care", "--preview", "--json"});
  ASSERT_EQ(preview.exitCode, 0) << preview.describe() << preview.out << preview.err;
  auto saved = nlohmann::json::parse(preview.out);
  auto& items = saved["items"];
  ASSERT_EQ(items.size(), 4u) << preview.out;
  items.erase(std::ranges::find_if(
      items, [&](const nlohmann::json& item) { return item["path"] == unticked.string(); }));
  const fs::path file = sandbox.home.state() / "saved preview.json";
  std::ofstream(file) << saved.dump();

  writeAgedFile(grows / "more", noise(100'000), 40);
  fs::remove(vanishes);
  const fs::path added = h / ".cache/pip/new";
  writeAgedFile(added, noise(1000), 40);
  brimvale::testing::settle(h);

  ProcessResult run = sandbox.brimvale({"care", "--from-preview", file.string(), "--yes"});
  ASSERT_EQ(run.exitCode, 0) << run.describe() << run.out << run.err;
  EXPECT_FALSE(fs::exists(cleared));
  for (const fs::path& kept : {unticked, grows, added}) EXPECT_TRUE(fs::exists(kept)) << kept;
  EXPECT_NE(run.out.find("Zozad Evev deleted 1 item of the preview"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Gone since the preview: " + vanishes.string() + "."), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Grown since the preview, so left as it is: " + grows.string() + "."),
            std::string::npos)
      << run.out;
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
