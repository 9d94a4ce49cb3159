#include "common/state/path_policy.h"

#include <gtest/gtest.h>

#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

// Given a home with an app cache folder, a drive folder beside it and links
// planted where folders were, each path gets the verdict of the table.
TEST(PathPolicy, AllowsInsideItsRootsAndRefusesEverythingElse) {
  TempFolder t;
  const fs::path home = t.folder("home");
  const fs::path wf = t.folder("drive/BRIM-Test");
  t.folder("home/Documents/work");
  t.folder("home/Projects");
  t.folder("home/.brimvale/quarantine/apps");
  t.folder("home/.brimvale/state");
  t.folder("home/.ssh");
  t.folder("home/.config/Slack/Cache");
  t.folder("outside/data");
  t.folder("home2/data");
  t.link("home/.pnpm-store", home / "Documents");  // a cache folder that is a link to a user folder
  t.link("home/.Trash", wf / "Projects-Archive");  // trash linked onto the drive
  t.link("home/escape", t.path() / "outside");     // a link out of the home folder
  t.link("home/.config/evil-cache", "/etc");       // a "safe folder" that leads to /etc
  t.link("home/file-link", home / "Projects");     // a link as the final component
  t.folder("drive/BRIM-Test/Projects-Archive/old");
  t.link("drive/BRIM-Test/to-home", home / "Projects");  // a link on the drive back into the home

  PathPolicy policy(
      PathPolicy::rootsFor(home, wf, {home / ".config/Slack", home / ".config/evil-cache"}));
  struct Case {
    fs::path path;
    std::optional<PathRefusalReason> refused;
    PathRoot root = PathRoot::kHome;
  } cases[] = {
      {home / "Documents/work", {}, PathRoot::kHome},
      {home / "Documents/work/", {}, PathRoot::kHome},
      {home.string() + "//Documents/./work", {}, PathRoot::kHome},
      {home / "file-link", {}, PathRoot::kHome},  // the link itself may go; its target is untouched
      {home / ".config/Slack/Cache/x", {}, PathRoot::kSafeFolder},
      {home / ".brimvale/quarantine/apps/A.app", {}, PathRoot::kQuarantine},
      {wf / "Projects-Archive/old", {}, PathRoot::kWorkingFolder},
      {home, PathRefusalReason::kHomeItself},
      {home.string() + "/", PathRefusalReason::kHomeItself},
      {wf, PathRefusalReason::kManagedRoot},
      {home / ".brimvale/quarantine", PathRefusalReason::kManagedRoot},
      {home / ".config/Slack", PathRefusalReason::kManagedRoot},
      {home / ".brimvale/state/status.json", PathRefusalReason::kProtected},
      {home / ".brimvale", PathRefusalReason::kProtected},
      {home / ".ssh/id_rsa", PathRefusalReason::kProtected},
      {home / ".pnpm-store/work", PathRefusalReason::kThroughLink},
      {home / ".Trash/old", PathRefusalReason::kThroughLink},
      {home / "escape/data", PathRefusalReason::kThroughLink},
      {home / ".config/evil-cache/passwd", PathRefusalReason::kThroughLink},
      {wf / "to-home/x", PathRefusalReason::kThroughLink},
      {t.path() / "outside/data", PathRefusalReason::kOutsideRoots},
      {t.path() / "home2/data", PathRefusalReason::kOutsideRoots},  // shares a name prefix
      {"/", PathRefusalReason::kSystemFolder},
      {"/etc", PathRefusalReason::kSystemFolder},
      {"/etc/passwd", PathRefusalReason::kSystemFolder},
      {"/usr/lib/x", PathRefusalReason::kSystemFolder},
      {"/lib64", PathRefusalReason::kSystemFolder},
      {"relative/path", PathRefusalReason::kNotAbsolute},
      {"", PathRefusalReason::kNotAbsolute},
      {home / "Documents/../../outside", PathRefusalReason::kNotAbsolute},
  };
  // Checked both ways: alone, and by name within its folder (each case
  // twice, so the folder's kept buffers are reused too).
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string());
    auto verdict = policy.check(c.path);
    PathPolicy::FolderCheck folder(c.path.parent_path());
    for (int twice = 0; twice < 2; ++twice) {
      auto refused = policy.refusalOf(folder, c.path.filename().native());
      ASSERT_EQ(refused.has_value(), !verdict.has_value());
      if (refused) {
        EXPECT_EQ(refused->reason, verdict.error().reason);
        EXPECT_EQ(refused->resolved, verdict.error().resolved);
        EXPECT_EQ(refused->sentence(), verdict.error().sentence());
      }
    }
    if (c.refused) {
      ASSERT_FALSE(verdict.has_value());
      EXPECT_EQ(verdict.error().reason, *c.refused);
      EXPECT_TRUE(verdict.error().sentence().ends_with("Nothing was changed."))
          << verdict.error().sentence();
    } else {
      ASSERT_TRUE(verdict.has_value()) << verdict.error().sentence();
      EXPECT_EQ(verdict->root, c.root);
      EXPECT_FALSE(verdict->path.string().ends_with("/"));
    }
  }
}

TEST(PathPolicy, ASystemFolderAsHomeGivesNoHomeRoot) {
  const std::pair<const char*, PathRefusalReason> cases[] = {
      {"/", PathRefusalReason::kOutsideRoots},
      {"/etc", PathRefusalReason::kSystemFolder},
      {"/usr", PathRefusalReason::kSystemFolder},
  };
  for (const auto& [home, reason] : cases) {
    SCOPED_TRACE(home);
    PathPolicy policy(PathPolicy::rootsFor(home));
    auto verdict = policy.check(fs::path(home) / "anything");
    ASSERT_FALSE(verdict.has_value());
    EXPECT_EQ(verdict.error().reason, reason);
  }
}

TEST(PathPolicy, ExtraRootsAreTakenOnlyWhenTheyAreNotSystemFolders) {
  TempFolder t;
  PathPolicyRoots roots = PathPolicy::rootsFor(t.folder("home"));
  roots.extraRoots = {t.folder("data"), "/etc", "/"};
  PathPolicy policy(roots);
  EXPECT_TRUE(policy.check(t.path() / "data/projects").has_value());
  EXPECT_FALSE(policy.check("/etc/hosts").has_value());
}

}  // namespace
}  // namespace brimvale
