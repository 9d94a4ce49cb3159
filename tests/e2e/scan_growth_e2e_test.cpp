// `brimvale scan` keeps each scan's folder sizes, and `scan --compare` says what grew since a
// kept scan (dated back by rewriting its file) or since a saved `scan --json` output.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "app/core/saved_scans.h"
#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "testing/base/text_checks.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::contains;

struct ScanHome {
  TempHome home{brimvale::testing::StateFolder::kCreated};
  fs::path kept = home.paths().state / "scans";

  ScanHome() {
    home.writeConfig("NVMe=\"" + (home.path() / "drive").string() + "\"\n");
    fs::create_symlink(BRIM_VALE_PATH, home.paths().serviceProgram);
    grow("Downloads", "a", 1'000'000);
    grow("Documents", "a", 1'000'000);
  }
  void grow(const std::string& folder, const std::string& name, std::size_t bytes) const {
    fs::create_directories(home / folder);
    std::ofstream(home / folder / name) << std::string(bytes, 'x');
  }
  [[nodiscard]] ProcessResult scan(std::vector<std::string> args) const {
    args.insert(args.begin(), "scan");
    return runApp(home, std::move(args));
  }
  [[nodiscard]] std::vector<fs::path> keptScans() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(kept)) files.push_back(entry.path());
    return files;
  }
};

TEST(ScanGrowthE2E, CompareWithAScanKeptDaysAgoListsTheFolderThatGrew) {
  ScanHome h;
  const ProcessResult first = h.scan({});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  ASSERT_EQ(h.keptScans().size(), 1U);
  const ProcessResult tooSoon = h.scan({"--compare"});
  EXPECT_EQ(tooSoon.exitCode, 1);
  EXPECT_TRUE(contains(tooSoon.err, "Your files were not touched")) << tooSoon.err;
  EXPECT_EQ(h.keptScans().size(), 1U) << "nothing was measured";

  // The first scan, dated eight days back, as it would be had it run then.
  const fs::path file = h.keptScans().front();
  std::string lines = readFile(file).value();
  const std::time_t then = std::time(nullptr) - 8 * 86400;
  const std::string started = R"("timestamp":")";
  lines.replace(lines.find(started) + started.size(), 20, isots(then));
  fs::remove(file);
  ASSERT_TRUE(writeFileAtomically(app::savedScanPath(h.kept, then), lines).has_value());
  h.grow("Downloads", "b", 3'000'000);

  const ProcessResult compared = h.scan({"--compare"});
  ASSERT_EQ(compared.exitCode, 0) << compared.err;
  EXPECT_TRUE(contains(compared.out, "What grew most since " + localMinute(then) + ":"))
      << compared.out;
  EXPECT_TRUE(contains(compared.out, "Downloads folder  " + (h.home / "Downloads").string()))
      << compared.out;
  EXPECT_FALSE(contains(compared.out, "Documents folder")) << "Documents did not change";
  EXPECT_EQ(h.keptScans().size(), 2U) << "the comparing scan is kept too";
}

TEST(ScanGrowthE2E, CompareWithASavedJsonOutputAndRefuseADamagedOne) {
  ScanHome h;
  const ProcessResult saved = h.scan({"--json"});
  ASSERT_EQ(saved.exitCode, 0) << saved.err;
  const fs::path file = h.home / "before.json";
  std::ofstream(file) << saved.out;
  h.grow("Documents", "b", 2'000'000);
  fs::remove(h.home / "Downloads" / "a");

  const ProcessResult compared = h.scan({"--compare", file.string(), "--json"});
  ASSERT_EQ(compared.exitCode, 0) << compared.err;
  const auto doc = nlohmann::json::parse(compared.out);
  ASSERT_EQ(doc["grew"].size(), 1U) << compared.out;
  EXPECT_EQ(doc["grew"][0]["path"], (h.home / "Documents").string());
  EXPECT_GT(doc["grew"][0]["growthBytes"].get<std::int64_t>(), 1'900'000);
  ASSERT_EQ(doc["shrank"].size(), 1U) << compared.out;
  EXPECT_EQ(doc["shrank"][0]["path"], (h.home / "Downloads").string());
  EXPECT_EQ(doc["baseline"], file.string());

  const std::size_t keptBefore = h.keptScans().size();
  std::ofstream(file) << saved.out.substr(0, saved.out.size() / 2) << "\n{\"pa";
  const ProcessResult damaged = h.scan({"--compare", file.string()});
  EXPECT_EQ(damaged.exitCode, 1);
  EXPECT_TRUE(damaged.out.empty()) << damaged.out;
  EXPECT_TRUE(contains(damaged.err, "couldn't be read")) << damaged.err;
  EXPECT_EQ(h.keptScans().size(), keptBefore) << "nothing was measured";
}

}  // namespace
}  // namespace brimvale::e2e
