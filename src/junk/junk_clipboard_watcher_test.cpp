#include "junk/junk_clipboard_watcher.h"

#include <gtest/gtest.h>

#include <deque>

#include "junk/recording_scrap_sink.h"
#include "platform/testing/fake_clipboard.h"
#include "platform/testing/fake_scheduler.h"
#include "platform/testing/memory_user_defaults.h"

namespace brimvale::junk {
namespace {

using platform::testing::FakeClipboard;
using platform::testing::FakeScheduler;
using platform::testing::MemoryDefaults;
using testing::RecordingScrapSink;

struct Fixture {
  explicit Fixture(bool notifies) { clipboard.notifies = notifies; }
  void runPosted() {
    while (!posted.empty()) {
      auto task = std::move(posted.front());
      posted.pop_front();
      task();
    }
  }
  // A change is noticed either through the posted notification or the tick.
  void letItNotice() {
    runPosted();
    for (auto& [id, timer] : loop.timers) timer.fire();
  }
  FakeClipboard clipboard;
  RecordingScrapSink sink;
  FakeScheduler loop;
  MemoryDefaults defaults;
  std::deque<std::function<void()>> posted;
  JunkClipboardWatcher watcher{
      clipboard, sink, loop,
      [this](std::function<void()> task) { posted.push_back(std::move(task)); }, defaults};
};

TEST(JunkClipboardWatcher, CapturesChangesWhetherNotifiedOrTicking) {
  for (const bool notifies : {true, false}) {
    SCOPED_TRACE(notifies ? "notified" : "ticking");
    Fixture f(notifies);
    f.clipboard.offer({"UTF8_STRING"}, "there before watching");
    f.watcher.start();
    // Only the platform without notifications gets the 0.5 s tick.
    ASSERT_EQ(f.loop.timers.size(), notifies ? 0u : 1u);
    if (!notifies) {
      EXPECT_EQ(f.loop.timers.begin()->second.interval, kWatchTick);
    }
    f.letItNotice();
    EXPECT_TRUE(f.sink.scraps.empty());
    f.clipboard.offer({"UTF8_STRING"}, "copied");
    f.letItNotice();
    f.letItNotice();  // no new change: no second capture
    ASSERT_EQ(f.sink.scraps.size(), 1u);
    EXPECT_EQ(f.sink.scraps[0].plainText, "copied");

    // Copy back does not come back as a scrap.
    ASSERT_TRUE(f.watcher.copyBack({.text = "from the board"}));
    f.letItNotice();
    EXPECT_EQ(f.sink.scraps.size(), 1u);

    f.watcher.stop();
    EXPECT_TRUE(f.loop.timers.empty());
    f.clipboard.offer({"UTF8_STRING"}, "after stop");
    f.letItNotice();
    EXPECT_EQ(f.sink.scraps.size(), 1u);
  }
}

}  // namespace
}  // namespace brimvale::junk
