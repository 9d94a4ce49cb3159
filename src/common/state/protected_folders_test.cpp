#include "common/state/protected_folders.h"

#include <gtest/gtest.h>

namespace brimvale {
namespace {

TEST(AppDataDenylist, BlocksTheFolderAndWhatIsBelowItOnly) {
  AppDataDenylist list("/Users/me");
  struct Case {
    const char* path;
    const char* blockedBy;  // nullptr: allowed
  } cases[] = {
      {"/Users/me/Library/Mail/V10", "Apple Mail"},
      {"/Users/me/Library/Mail", "Apple Mail"},
      {"/Users/me/Library", nullptr},
      {"/Users/me/Library/Application Support/Codex", nullptr},
      {"/Users/me/Library/Application Support/Code/User", "Visual Studio Code"},
      {"/Users/me/.brimvale", "Brimvale state"},
      {"/Users/other/Library/Mail", nullptr},
      {"/Users/me/.ssh/id_ed25519", "SSH keys"},
      {"/Users/me/.sshfs-mounts", nullptr},
      {"/Users/me/.config/chromium/Default", "Chromium profile"},
      {"/Users/me/.config", nullptr},
      {"/Users/me/.local/share/keyrings", "Login keyring"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto v = list.verdict(c.path);
    if (c.blockedBy) {
      ASSERT_TRUE(v);
      EXPECT_EQ(v->displayName, c.blockedBy);
    } else {
      EXPECT_FALSE(v);
    }
  }
}

}  // namespace
}  // namespace brimvale
