#include "service/rules/cloud_eviction.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "service/dispatch.h"
#include "testing/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using platform::EvictionTool;

const std::string kStandIn = std::string(BRIMVALE_STANDINS_DIR) + "/eviction_tool";

void writeFile(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "some downloaded content\n";
}

TEST(CloudEviction, ListsRootsInOrderWithProviderLabels) {
  brimvale::testing::ContextInTempHome home("");
  const fs::path h = home.home();
  fs::create_directories(h / "Library/Mobile Documents/com~apple~CloudDocs/Documents");
  for (const char* name :
       {"OneDrive-Personal", "Box-Work", "Dropbox (Team)", "GoogleDrive-a@b.c", "pCloud"}) {
    fs::create_directories(h / "Library/CloudStorage" / name);
  }
  ServiceContext& ctx = home.load();
  ASSERT_EQ(runService(ctx, {"list-cloud-roots"}), 0);
  const std::string cs = (h / "Library/CloudStorage").string();
  EXPECT_EQ(home.out().str(),
            "iCloud Drive\t" + (h / "Library/Mobile Documents/com~apple~CloudDocs").string() +
                "\n" + "iCloud · ~/Documents\t" + (h / "Documents").string() + "\n" +
                "Box (Work)\t" + cs + "/Box-Work\n" + "Dropbox\t" + cs + "/Dropbox (Team)\n" +
                "Google Drive (a@b.c)\t" + cs + "/GoogleDrive-a@b.c\n" + "OneDrive (Personal)\t" +
                cs + "/OneDrive-Personal\n" + "pCloud\t" + cs + "/pCloud\n");
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
      {"provider without fileproviderctl", provider, true, false, EvictionTool::kBrctl},
      {"Documents prefers brctl", h + "/Documents/a", true, true, EvictionTool::kBrctl},
      {"Documents folder itself", h + "/Documents", true, true, EvictionTool::kBrctl},
      {"look-alike of Desktop", h + "/Desktopper", true, true, std::nullopt},
      {"elsewhere", h + "/Music", true, true, std::nullopt},
      {"no tool installed", icloud, false, false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto tools = platform::makeToolCloudEviction(
        {c.brctl ? kStandIn : "/nonexistent/brctl", c.fpctl ? kStandIn : "/nonexistent/fp", ""});
    EXPECT_EQ(evictionToolFor(c.path, home.home(), *tools), c.tool);
  }
}

class EvictRootTest : public ::testing::Test {
 protected:
  EvictRootTest() : home_("CLOUD_EVICT_FAIL_BREAKER_LIMIT=10\n") {
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

TEST_F(EvictRootTest, AnInUseFileResetsTheRunOfFailures) {
  failing("a", 9);
  writeFile(root_ / "b-open");
  home_.fake().openPaths.insert((root_ / "b-open").string());
  failing("c", 9);
  writeFile(root_ / "sub/keep-ok");
  std::ofstream(root_ / "empty");  // nothing local: already cloud-only
  const EvictionCounters c = evict();
  EXPECT_EQ(c.skippedOther, 18u);
  EXPECT_EQ(c.skippedInUse, 1u);
  EXPECT_EQ(c.evicted, 1u);
  EXPECT_EQ(c.alreadyCloudOnly, 1u);
  EXPECT_GT(c.bytesFreed, 0u);
  EXPECT_EQ(home_.out().str().find("circuit-breaker"), std::string::npos);
  EXPECT_NE(home_.out().str().find("skip (in use): " + (root_ / "b-open").string() + "\n"),
            std::string::npos);
}

TEST_F(EvictRootTest, TenConsecutiveFailuresAbortTheRoot) {
  failing("a", 10);
  writeFile(root_ / "z-ok");  // after the breaker: never reached
  const EvictionCounters c = evict();
  EXPECT_EQ(c.skippedOther, 10u);
  EXPECT_EQ(c.evicted, 0u);
  EXPECT_NE(home_.out().str().find(
                "circuit-breaker: 10 consecutive eviction failures — aborting " + root_.string() +
                ".\n  Likely cause: fileproviderctl's behaviour changed on this Linux version, "
                "or the provider\n  has restrictions we don't model. Other Free Up Space steps "
                "were unaffected.\n"),
            std::string::npos);
}

TEST_F(EvictRootTest, UnsupportedToolStopsBeforeTouchingFiles) {
  setenv("EVICT_FPCTL_SUPPORTED", "no", 1);
  writeFile(root_ / "keep-ok");
  const EvictionCounters c = evict();
  unsetenv("EVICT_FPCTL_SUPPORTED");
  EXPECT_EQ(c.evicted, 0u);
  EXPECT_EQ(home_.out().str(),
            "skip (" + root_.string() +
                "): fileproviderctl does not advertise an 'evict' subcommand on this Linux "
                "version.\n  → To evict manually, right-click the folder in the file manager and "
                "choose Remove Download.\n");
}

TEST(CloudEviction, OptimizeCloudExitCodes) {
  brimvale::testing::ContextInTempHome home("");
  const fs::path h = home.home();
  fs::create_directories(h / "Library/CloudStorage/Dropbox");
  fs::create_directories(h / "Documents");
  const std::string dropbox = (h / "Library/CloudStorage/Dropbox").string();
  struct Case {
    const char* name;
    const char* subcommand;
    std::string root;  // empty: none given
    bool toolInstalled;
    int exit;
    std::string says;
  };
  const Case cases[] = {
      {"no root", "optimize-cloud", "", false, 2, dropbox},
      {"missing folder", "optimize-icloud", (h / "nothing").string(), true, 2, "not a directory"},
      {"no tool", "optimize-cloud", dropbox, false, 3, "Your files are untouched"},
      {"not a cloud tree", "optimize-cloud", (h / "Documents").string(), true, 4,
       "is not under any cloud storage tree"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    home.out().str("");
    home.fake().cloudTools.brctl = c.toolInstalled ? kStandIn : "/nonexistent/brctl";
    ServiceContext& ctx = home.load();
    std::vector<std::string> args{c.subcommand};
    if (!c.root.empty()) args.push_back(c.root);
    EXPECT_EQ(runService(ctx, args), c.exit);
    EXPECT_NE(home.out().str().find(c.says), std::string::npos) << home.out().str();
  }
}

}  // namespace
}  // namespace brimvale::service
