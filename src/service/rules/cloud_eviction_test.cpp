#include "service/rules/cloud_eviction.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using platform::EvictionTool;

const std::string kStandIn = std::string(BRIMVALE_STANDINS_DIR) + "/eviction_tool";

void writeFile(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "some downloaded content\n";
}

TEST(CloudEviction, PicksTheToolByTreeAndFallsBackToTheOther) {
  struct Case {
    const char* name;
    std::string path;
    bool brctl, fpctl;
    std::optional<EvictionTool> tool;
  };
  brimvale::testing::ContextInTempHome home("");
  const std::string h = home.home().string();
  const std::string icloud = h + "/Library/Mobile Documents/com~apple~CloudDocs/x";
  const std::string provider = h + "/Library/CloudStorage/Dropbox/x";
  const Case cases[] = {
      {"iCloud prefers brctl", icloud, true, true, EvictionTool::kBrctl},
      {"iCloud without brctl", icloud, false, true, EvictionTool::kFileProviderCtl},
      {"provider prefers fileproviderctl", provider, true, true, EvictionTool::kFileProviderCtl},
      {"Documents prefers brctl", h + "/Documents/a", true, true, EvictionTool::kBrctl},
      {"look-alike of Desktop", h + "/Desktopper", true, true, std::nullopt},
      {"no tool installed", icloud, false, false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto tools = platform::makeToolCloudEviction(
        {c.brctl ? kStandIn : "/nonexistent/brctl", c.fpctl ? kStandIn : "/nonexistent/fp", ""},
        runProcess);
    EXPECT_EQ(evictionToolFor(c.path, home.home(), *tools), c.tool);
  }
}

class EvictRootTest : public ::testing::Test {
 protected:
  EvictRootTest()
      : home_(
            "CLOUD_EVICT_FAIL_BREAKER_LIMIT=10\n"
            "EXCLUDES=(\"*.iso\" \"~/Library/CloudStorage/Dropbox/kept\")\n") {
    root_ = home_.home() / "Library/CloudStorage/Dropbox";
    fs::create_directories(root_);
    home_.fake().cloudTools.fileproviderctl = kStandIn;
    unsetenv("EVICT_FPCTL_SUPPORTED");
  }
  EvictionCounters evict() {
    ServiceContext& ctx = home_.load();
    Guards guards(home_.home(), *ctx.platform.files);
    EvictionCounters counters;
    evictRoot(ctx, guards, root_.string(), counters);
    return counters;
  }
  void failing(const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i) writeFile(root_ / (prefix + std::to_string(10 + i)));
  }
  brimvale::testing::ContextInTempHome home_;
  fs::path root_;
};

// Excluded files are passed over without counting.
TEST_F(EvictRootTest, AnInUseFileResetsTheRunOfFailures) {
  failing("a", 9);
  writeFile(root_ / "b-open");
  home_.fake().openPaths.insert((root_ / "b-open").string());
  failing("c", 9);
  writeFile(root_ / "sub/keep-ok");
  writeFile(root_ / "film-ok.iso");  // excluded by name, and by folder below
  writeFile(root_ / "kept/notes-ok");
  std::ofstream(root_ / "empty");  // nothing local: already cloud-only
  const EvictionCounters c = evict();
  EXPECT_EQ(c.skippedOther, 18u);
  EXPECT_EQ(c.skippedInUse, 1u);
  EXPECT_EQ(c.evicted, 1u);
  EXPECT_NE(home_.out().str().find("skip (in use): " + (root_ / "b-open").string() + "\n"),
            std::string::npos);
}

}  // namespace
}  // namespace brimvale::service
