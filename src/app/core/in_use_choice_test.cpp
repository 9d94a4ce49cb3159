#include "app/core/in_use_choice.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "platform/testing/fake_launcher.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

using platform::testing::FakeLauncher;
using platform::testing::FakeProcesses;

TEST(InUseAction, AsksOnlyOnATerminalWithoutAnOptionThatDecides) {
  struct Case {
    const char* name;
    MoveOptions options;
    bool interactive;
    bool anyUsers;
    InUseAction action;
  } cases[] = {
      {"nobody uses the folder", {.quitApps = true}, true, false, InUseAction::kGoOn},
      {"terminal, no option", {}, true, true, InUseAction::kAsk},
      {"no terminal, no option: as before", {}, false, true, InUseAction::kGoOn},
      {"--quit-apps without a terminal", {.quitApps = true}, false, true, InUseAction::kQuit},
      {"--continue on a terminal", {.continueAnyway = true}, true, true, InUseAction::kGoOn},
      {"--yes on a terminal", {.yes = true}, true, true, InUseAction::kGoOn},
      {"--yes --quit-apps", {.yes = true, .quitApps = true}, true, true, InUseAction::kQuit},
      {"--dry-run changes nothing",
       {.dryRun = true, .quitApps = true},
       true,
       true,
       InUseAction::kGoOn},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(inUseAction(c.options, c.interactive, c.anyUsers), c.action);
  }
}

// Given a terminal answer, then "q" asks the programs to quit and goes on,
// "c" goes on without asking them, and anything else stops with nothing moved.
TEST(SettleFolderUsers, FollowsTheAnswerOnTheTerminal) {
  struct Case {
    const char* answer;
    bool goesOn;
    bool signalled;
    const char* says;
  } cases[] = {
      {"q\n", true, true,
       "Sending quit signal and waiting for apps to exit (≈ 1.5s)…\n"
       "Rechecking which apps still have files open…\n"
       "Quit: vim (pid 40000).\n"
       "No app uses files in this folder any more.\n"},
      {"Quit\n", true, true, "Quit: vim (pid 40000)."},
      {"c\n", true, false, "[N]o "},
      {"\n", false, false, "Nothing was moved; your folder is untouched.\n"},
      {"", false, false, "Nothing was moved; your folder is untouched.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    testing::TempFolder folder("bv-in-use");
    FakeProcesses procs;
    FakeLauncher launcher(procs);
    const int vim = procs.start("/usr/bin/vim");
    procs.identities[vim] = {"t", static_cast<std::uint32_t>(getuid())};  // this user's program
    platform::AppPlatform host;
    std::ostringstream out, err;
    std::istringstream in(c.answer);
    MoverCommandContext mc{StatePaths::forHome(folder.path()),
                           host,
                           nullptr,
                           "Test Mac",
                           out,
                           err,
                           in,
                           true,
                           &launcher};
    const std::vector<mover::FolderInUseEntry> users{{"/usr/bin/vim", "vim", {}, {vim}}};
    EXPECT_EQ(settleFolderUsers(mc, {}, folder.path().string(), users), c.goesOn);
    EXPECT_EQ(procs.signalsTo(vim), c.signalled ? std::vector<int>{SIGTERM} : std::vector<int>{});
    EXPECT_NE(out.str().find(c.says), std::string::npos) << out.str();
  }
}

}  // namespace
}  // namespace brimvale::app
