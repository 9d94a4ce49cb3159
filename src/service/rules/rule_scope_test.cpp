#include "service/rules/rule_scope.h"

#include <gtest/gtest.h>

#include "testing/base/temp_folder.h"
#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;

class RuleScopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::make_unique<ContextInTempHome>("NVMe=\"" + drive_.path().string() +
                                                "\"\nAPP_CACHE_PATHS=(\"$HOME/Library/Application "
                                                "Support/Slack\" \"$HOME/.ssh\" \"$HOME\")\n");
    ServiceContext& ctx = home_->load();
    base_ = ctx.cfg().base();
    fs::create_directories(base_);
    for (const char* folder : {"Downloads", ".ssh", "Library/Application Support/Slack/Cache",
                               ".brimvale/quarantine/apps", "Projects"}) {
      fs::create_directories(h() / folder);
    }
    outside_.folder("log");
    fs::create_directory_symlink(outside_.path(), h() / "Old Stuff");
    fs::create_directory_symlink(h() / "Projects", h() / "Downloads-link");
    scope_ = std::make_unique<RuleScope>(ctx);
  }
  fs::path h() const { return home_->home(); }
  fs::path base() const { return base_; }

  brimvale::testing::TempFolder drive_{"bv-scope-drive"};
  // Outside the home folder: where a planted link leads (never a real system folder).
  brimvale::testing::TempFolder outside_{"bv-scope-outside"};
  std::unique_ptr<ContextInTempHome> home_;
  std::unique_ptr<RuleScope> scope_;
  fs::path base_;
};

TEST_F(RuleScopeTest, RuleSourcesMustBeOrdinaryFoldersInsideHomeOrTheDrive) {
  fs::create_directories(base() / "Downloads-Archive");
  const struct {
    std::string source;
    std::string refusal;  // a part of the sentence; empty: allowed
  } cases[] = {
      {(h() / "Downloads").string(), ""},
      {(h() / "Downloads").string() + "/", ""},
      {(base() / "Downloads-Archive").string(), ""},
      {"/", "system folder"},
      {"/etc/ssh", "system folder"},
      {drive_.path().string(), "outside your home folder"},
      {base().string(), "manages as a whole"},
      {(h() / ".brimvale/quarantine/apps").string(), "quarantine"},
      {(h() / "Old Stuff/log").string(),
       "symbolic link that leads to " + (outside_ / "log").string()},
      {(h() / "Downloads-link").string(),
       "symbolic link that leads to " + (h() / "Projects").string()},
      {"relative/path", "not a full path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const auto refusal = scope_->sourceRefusal(c.source);
    if (c.refusal.empty()) {
      EXPECT_FALSE(refusal) << *refusal;
    } else {
      ASSERT_TRUE(refusal);
      EXPECT_NE(refusal->find(c.refusal), std::string::npos) << *refusal;
      EXPECT_TRUE(refusal->ends_with("Nothing was changed.")) << *refusal;
    }
  }
}

TEST_F(RuleScopeTest, ArchivesGoOnlyIntoFoldersInsideTheWorkingFolder) {
  fs::create_directories(drive_.path() / "elsewhere");
  fs::create_directory_symlink(drive_.path() / "elsewhere", base() / "Linked-Archive");
  for (const char* ok : {"Downloads-Archive", "Media/Movies", "Projects-Archive/"}) {
    SCOPED_TRACE(ok);
    EXPECT_FALSE(scope_->destinationRefusal(ok));
  }
  for (const char* bad : {"", "..", "Media/../../elsewhere", "/etc", "Linked-Archive"}) {
    SCOPED_TRACE(bad);
    const auto refusal = scope_->destinationRefusal(bad);
    ASSERT_TRUE(refusal);
    EXPECT_NE(refusal->find("Archives go only into a folder inside Brimvale's drive folder " +
                            base().string()),
              std::string::npos);
  }
}

TEST_F(RuleScopeTest, CacheCleaningTakesApplicationFoldersButNotCredentialsOrHome) {
  const fs::path slack = h() / "Library/Application Support/Slack";
  EXPECT_FALSE(scope_->appFolderRefusal(slack.string()))
      << "app data is protected from moves, not from cache cleaning";
  EXPECT_TRUE(scope_->appFolderRefusal((h() / ".ssh").string()));
  EXPECT_TRUE(scope_->appFolderRefusal(h().string()));
  EXPECT_TRUE(scope_->appFolderRefusal((h() / "Old Stuff").string()));
  EXPECT_TRUE(scope_->cachePolicy().check(slack / "Cache/blob").has_value());
  EXPECT_FALSE(scope_->policy().check(slack / "Cache/blob").has_value())
      << "rules never reach into app data";
}

}  // namespace
}  // namespace brimvale::service
