// Saves what the user copies: on every clipboard change (announced by the
// system, or seen by comparing the change count every 0.5 s where the system
// announces nothing) one capture runs on the loop thread. Also the capture
// hot key's "capture now" and copy back, which must not capture itself.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "junk/junk_capture.h"
#include "platform/clipboard.h"
#include "platform/scheduler.h"
#include "platform/user_defaults.h"

namespace brimvale::junk {

inline constexpr std::chrono::milliseconds kWatchTick{500};
inline constexpr std::chrono::milliseconds kWatchTickTolerance{150};

// Queues a task for the loop thread; safe from any thread.
using PostToLoop = std::function<void(std::function<void()>)>;

class JunkClipboardWatcher {
 public:
  // Everything passed in must outlive the watcher, which lives and is used
  // on the loop thread. `defaults` gives `JunkMaxFilesPerScrap` at each capture.
  JunkClipboardWatcher(platform::Clipboard& clipboard, ScrapSink& sink, platform::Scheduler& loop,
                       PostToLoop post, platform::UserDefaults& defaults);
  ~JunkClipboardWatcher();
  JunkClipboardWatcher(const JunkClipboardWatcher&) = delete;
  JunkClipboardWatcher& operator=(const JunkClipboardWatcher&) = delete;

  // What the clipboard holds when watching starts is not captured. Starting
  // twice or stopping while stopped does nothing.
  void start();
  void stop();
  [[nodiscard]] bool watching() const { return watching_; }
  // Captures the clipboard as it is now, with source "hotkey"; works whether
  // or not the watcher runs.
  CaptureOutcome captureNow();
  // Puts `offer` on the clipboard and remembers the change count it made, so
  // the watcher leaves it alone. False when the system refused the write.
  bool copyBack(const platform::ClipboardOffer& offer);
  // One look at the change count, capturing when it moved (the tick).
  void check();

 private:
  int maxFiles();

  platform::Clipboard& clipboard_;
  platform::Scheduler& loop_;
  PostToLoop post_;
  platform::UserDefaults& defaults_;
  JunkCapture capture_;
  bool watching_ = false;
  std::int64_t lastSeen_ = 0;
  std::optional<platform::Scheduler::TimerId> tick_;
  // Tasks posted from the clipboard's thread run only while this lives.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace brimvale::junk
