#include "junk/junk_controller.h"

#include <gtest/gtest.h>

#include "junk/recording_scrap_sink.h"
#include "testing/platform/fake_clipboard.h"
#include "testing/platform/fake_scheduler.h"
#include "testing/platform/memory_user_defaults.h"

namespace brimvale::junk {
namespace {

using platform::testing::FakeClipboard;
using platform::testing::FakeHotKeys;
using platform::testing::FakeScheduler;
using platform::testing::MemoryDefaults;

TEST(JunkController, RunsOnlyWhileEnabledOnThisMachine) {
  FakeClipboard clipboard;
  testing::RecordingScrapSink sink;
  FakeScheduler loop;
  MemoryDefaults defaults;
  FakeHotKeys platformKeys;
  JunkClipboardWatcher watcher(
      clipboard, sink, loop, [](std::function<void()> t) { t(); }, defaults);
  JunkHotKeys keys(platformKeys, defaults, [](const std::string&) {}, {});
  int sweeps = 0;
  JunkController controller(defaults, loop, &watcher, &keys, [&] { ++sweeps; });

  struct Step {
    const char* name;
    std::optional<bool> enabled;
    std::optional<bool> autoWatch;
    bool running;
    bool watching;
    int sweeps;  // in total so far
  };
  const Step steps[] = {
      {"off by default", std::nullopt, std::nullopt, false, false, 0},
      {"enabled: sweep at once", true, std::nullopt, true, true, 1},
      {"refresh again: no second sweep", true, std::nullopt, true, true, 1},
      {"auto watch off", true, false, true, false, 1},
      {"disabled", false, true, false, false, 1},
      {"enabled again: sweeps again", true, true, true, true, 2},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    if (s.enabled) {
      ASSERT_TRUE(defaults.setBool("JunkEnabledLocally", *s.enabled));
    }
    if (s.autoWatch) {
      ASSERT_TRUE(defaults.setBool("JunkAutoWatch", *s.autoWatch));
    }
    controller.refresh();
    EXPECT_EQ(controller.running(), s.running);
    EXPECT_EQ(watcher.watching(), s.watching);
    EXPECT_EQ(platformKeys.held.size(), s.running ? 3u : 0u);
    EXPECT_EQ(sweeps, s.sweeps);
    EXPECT_EQ(loop.timers.size(), s.running ? 1u : 0u);
  }
  // The hourly sweep.
  ASSERT_EQ(loop.timers.size(), 1u);
  loop.timers.begin()->second.fire();
  EXPECT_EQ(sweeps, 3);
}

}  // namespace
}  // namespace brimvale::junk
