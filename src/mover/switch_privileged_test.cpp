#include "mover/switch_privileged.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/base/temp_folder.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

TEST(AdminShellCommand, QuotesEveryArgumentAndJoinsTheLinks) {
  const std::vector<LinkUpdate> updates{
      {"/Applications/It's.app", "/Volumes/New/BRIM-A/Apps/It's.app"},
      {"/Applications/B.app", "/Volumes/New/BRIM-A/Apps/B.app"},
  };
  EXPECT_EQ(adminShellCommand(updates),
            "/bin/ln -sfh '/Volumes/New/BRIM-A/Apps/It'\\''s.app' '/Applications/It'\\''s.app' "
            "&& /usr/bin/xattr -w '" +
                std::string(kRelocatedAttribute) +
                "' '/Volumes/New/BRIM-A/Apps/It'\\''s.app' '/Applications/It'\\''s.app' && "
                "/bin/ln -sfh '/Volumes/New/BRIM-A/Apps/B.app' '/Applications/B.app' && "
                "/usr/bin/xattr -w '" +
                std::string(kRelocatedAttribute) +
                "' '/Volumes/New/BRIM-A/Apps/B.app' '/Applications/B.app'");
}

#ifndef __APPLE__

#endif

TEST(RelinkPrivileged, RepointsLinksAndRefusesWhatIsNotALinkPair) {
  brimvale::testing::TempFolder tmp("bv-relink-priv");
  const fs::path oldCopy = tmp.file("old/x", "old");
  const fs::path newCopy = tmp.file("new/x", "new");
  const fs::path link = tmp.link("apps/x", oldCopy);
  const fs::path plain = tmp.file("apps/plain", "data");
  const DiagnosticsLog diagnostics(tmp / "diagnostics.log");
  const struct {
    const char* name;
    std::vector<std::string> args;
    int exit;
    fs::path linkTarget;
  } cases[] = {
      {"odd argument count", {link.string()}, 2, oldCopy},
      {"relative target", {link.string(), "new/x"}, 2, oldCopy},
      {"a plain file is never replaced", {plain.string(), newCopy.string()}, 2, oldCopy},
      {"a link pair", {link.string(), newCopy.string()}, 0, newCopy},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream err;
    EXPECT_EQ(relinkPrivileged(c.args, err, FileOperations::real(), diagnostics), c.exit);
    EXPECT_EQ(fs::read_symlink(link), c.linkTarget);
    EXPECT_EQ(c.exit == 0, err.str().empty()) << err.str();
  }
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(plain)));
}

}  // namespace
}  // namespace brimvale::mover
