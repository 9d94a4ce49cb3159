#include "platform/linux/linux_app_relocation_tools.h"

#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/base/temp_folder.h"
#include "testing/platform/standin_tool.h"

namespace brimvale::platform {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TempFolder;
using testing::StandinTool;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Tools {
  std::vector<std::string> logged;
  std::unique_ptr<AppRelocationTools> tools;
  explicit Tools(LinuxAppToolPaths paths)
      : tools(makeLinuxAppRelocationTools(
            std::move(paths), [this](const std::string& line) { logged.push_back(line); },
            runProcess)) {}
};

bool hasAttribute(const fs::path& p, const char* name) {
  return lgetxattr(p.c_str(), name, nullptr, 0) >= 0;
}

TEST(LinuxAppRelocationTools, ClearsAQuarantineBroughtFromAMacThroughoutTheBundle) {
  TempFolder dir;
  const fs::path app = dir.folder("X.app");
  const std::vector<fs::path> marked{app, dir.folder("X.app/Contents/MacOS"),
                                     dir.file("X.app/Contents/MacOS/x"),
                                     dir.file("X.app/Contents/Deep/Deeper/data")};
  for (const auto& p : marked) {
    if (setxattr(p.c_str(), "user.com.apple.quarantine", "0081;", 5, 0) != 0) {
      GTEST_SKIP() << "the file system of " << dir.path() << " keeps no user attributes";
    }
  }
  ASSERT_EQ(setxattr(marked[2].c_str(), "user.other", "keep", 4, 0), 0);
  Tools t({});
  EXPECT_FALSE(t.tools->hasDownloadQuarantine(app.string()));
  t.tools->clearDownloadQuarantine(app.string());
  for (const auto& p : marked) {
    SCOPED_TRACE(p);
    EXPECT_FALSE(hasAttribute(p, "user.com.apple.quarantine"));
  }
  EXPECT_TRUE(hasAttribute(marked[2], "user.other"));
}

TEST(LinuxAppRelocationTools, RelocationMarkIsSetOnWhatTheLinkLeadsTo) {
  TempFolder dir;
  const fs::path copy = dir.folder("drive/Apps/X.app");
  const fs::path link = dir.link("Applications/X.app", copy);
  Tools t({});
  const std::error_code ec = t.tools->setRelocationMark(link.string(), "5F0C-id");
  if (ec == std::errc::operation_not_supported) {
    GTEST_SKIP() << "the file system of " << dir.path() << " keeps no user attributes";
  }
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(t.tools->relocationMark(copy.string()), "5F0C-id");
  EXPECT_EQ(t.tools->relocationMark(link.string()), "5F0C-id");
  EXPECT_FALSE(hasAttribute(link, "user.brimvale.relocated"))
      << "only what the link leads to is marked";
  EXPECT_EQ(t.tools->relocationMark(dir.folder("Other.app").string()), std::nullopt);
}

TEST(LinuxAppRelocationTools, RunsTheAdministratorCommandThroughPkexec) {
  TempFolder dir;
  const fs::path made = dir / "made it";
  const std::string touch = "/usr/bin/touch '" + made.string() + "'";
  const std::string passthrough = BRIMVALE_STANDINS_DIR "/pkexec_passthrough";
  const StandinTool refusing(dir, "pkexec");
  refusing.reply("", 127);
  struct Case {
    const char* name;
    std::string pkexec, command;
    PrivilegedOutcome outcome;
    bool ran;
    std::string detail;  // a part of it
  };
  const Case cases[] = {
      {"granted", passthrough, touch, PrivilegedOutcome::kSuccess, true, ""},
      {"command fails", passthrough, touch + " && echo 'oops' >&2 && (exit 3)",
       PrivilegedOutcome::kFailed, true,
       "The administrator command failed (exit 3) and may not have finished its work: oops."},
      {"command fakes the status line", passthrough, "echo __BVX__:0; false",
       PrivilegedOutcome::kFailed, false, "(exit 1)"},
      {"prompt dismissed", BRIMVALE_STANDINS_DIR "/pkexec_dismissed", touch,
       PrivilegedOutcome::kCancelled, false, ""},
      {"not authorised", refusing.path(), touch, PrivilegedOutcome::kFailed, false,
       "Administrator access wasn't granted (not authorised, or no way to ask), so nothing was "
       "changed."},
      {"no pkexec", "", touch, PrivilegedOutcome::kFailed, false,
       "Administrator access isn't available on this computer (pkexec is not installed), so "
       "nothing was changed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(made);
    Tools t({.pkexec = c.pkexec});
    const PrivilegedResult r = t.tools->runPrivileged(c.command);
    EXPECT_EQ(r.outcome, c.outcome) << r.detail;
    EXPECT_TRUE(contains(r.detail, c.detail)) << r.detail;
    EXPECT_EQ(fs::exists(made), c.ran);
  }
  EXPECT_EQ(refusing.arguments(),
            (std::vector<std::string>{"/bin/sh", "-c", touch + "; echo \"__BVX__:$?\""}));
}

}  // namespace
}  // namespace brimvale::platform
