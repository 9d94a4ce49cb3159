#include "app/core/in_use_choice.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "testing/base/temp_folder.h"
#include "testing/platform/fake_launcher.h"

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

}  // namespace
}  // namespace brimvale::app
