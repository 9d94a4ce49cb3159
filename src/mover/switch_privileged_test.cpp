#include "mover/switch_privileged.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/temp_folder.h"

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

TEST(AdminSessionInvocation, EscapesTheCommandForTheScript) {
  ProcessInvocation run = adminSessionInvocation("/bin/ln -sfh 'a\"b\\c' 'l'");
  EXPECT_EQ(run.path, "/usr/bin/osascript");
  EXPECT_EQ(run.args, (std::vector<std::string>{
                          "-e",
                          "do shell script \"/bin/ln -sfh 'a\\\"b\\\\c' 'l'\" with administrator "
                          "privileges"}));
}

TEST(PkexecInvocation, RunsTheHelperWithLinkTargetPairs) {
  ProcessInvocation run = pkexecInvocation("/usr/bin/pkexec", "/opt/bv/brimvale",
                                           {{"/srv/a b", "/V/N/x"}, {"/srv/c", "/V/N/y"}});
  EXPECT_EQ(run.path, "/usr/bin/pkexec");
  EXPECT_EQ(run.args, (std::vector<std::string>{"/opt/bv/brimvale", "relink-privileged", "/srv/a b",
                                                "/V/N/x", "/srv/c", "/V/N/y"}));
}

#ifndef __APPLE__

TEST(PrivilegedRelinker, ReportsAFailedHelperWithItsOutput) {
  PrivilegedRelinker relink = makePrivilegedRelinker(
      [](const ProcessInvocation&) {
        ProcessResult r;
        r.outcome = ProcessOutcome::kExited;
        r.exitCode = 126;
        r.err = "Not authorized";
        return r;
      },
      "/usr/bin/pkexec", "/opt/bv/brimvale");
  auto result = relink({{"/srv/one", "/V/N/one"}});
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().detail.find("exited with 126"), std::string::npos);
  EXPECT_NE(result.error().detail.find("Not authorized"), std::string::npos);
}
#endif

TEST(RelinkPrivileged, RepointsLinksAndRefusesWhatIsNotALinkPair) {
  testing::TempFolder tmp("bv-relink-priv");
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
