#include "apps/relocated_app_registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include "common/state/paths.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

constexpr std::time_t kNow = 1'780'000'000;

std::string idFor(int n) {
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", n);
  return text;
}

class RelocatedAppRegistryTest : public ::testing::Test {
 protected:
  RelocatedAppRegistryTest()
      : store_(
            StatePaths::forHome(home_.path()).appMovesFolder,
            [this](const std::string& line) { logged_.push_back(line); }, [] { return kNow; }),
        registry_(store_, [this](const std::string& line) { logged_.push_back(line); }) {}

  // A record of `name` moved from /Applications to `drive`, committed at `completed`.
  AppMoveManifest saved(int n, const std::string& name, AppMovePhase phase,
                        const std::string& drive = "/Volumes/Fast",
                        std::optional<std::time_t> completed = kNow - 100) {
    AppMoveManifest m;
    m.id = idFor(n);
    m.originalPath = "/Applications/" + name + ".app";
    m.nvmePath = drive + "/BRIM-Mac/Apps/" + name + ".app";
    m.displayName = name;
    m.bundleID = "com.example." + name;
    m.srcSizeKB = 1000 + n;
    m.tierAtMove = 2;
    m.startedAt = kNow - 500;
    m.completedAt = completed;
    m.phase = phase;
    store_.save(m);
    return m;
  }
  bool onDisk(int n) const { return fs::exists(store_.fileFor(idFor(n))); }

  TempFolder home_;
  std::vector<std::string> logged_;
  AppManifestStore store_;
  RelocatedAppRegistry registry_;
};

TEST_F(RelocatedAppRegistryTest, ListsEveryCommittedRelocationByName) {
  const AppMoveManifest zed = saved(1, "Zed", AppMovePhase::kDone);
  saved(2, "Copying", AppMovePhase::kCopying);
  saved(3, "Gone", AppMovePhase::kFailed);
  saved(4, "Stopped", AppMovePhase::kCancelled);
  saved(5, "Waiting", AppMovePhase::kWaitingForDrive);
  saved(6, "Atlas", AppMovePhase::kDone);
  // Moved back since: the record stays done, but the app is home again.
  for (const auto& [n, outcome] : {std::pair{7, "restored_by_user_at_2026-12-01T10-00-00Z"},
                                   std::pair{8, "kept_internal_at_2026-12-01T10-00-00Z"}}) {
    AppMoveManifest home = saved(n, "Home" + std::to_string(n), AppMovePhase::kDone);
    home.statusMessage = outcome;
    store_.save(home);
  }
  registry_.rebuild();
  ASSERT_EQ(registry_.entries().size(), 2u);
  EXPECT_EQ(registry_.entries()[0].displayName, "Atlas");
  EXPECT_EQ(
      registry_.entries()[1],
      (RelocatedAppEntry{zed.id, "/Applications/Zed.app", "/Volumes/Fast/BRIM-Mac/Apps/Zed.app",
                         "com.example.Zed", "Zed", 1001, 2, kNow - 500, kNow - 100}));
  EXPECT_TRUE(logged_.empty());
}

}  // namespace
}  // namespace brimvale::apps
