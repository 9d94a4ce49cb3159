#include "junk/junk_clipboard_watcher.h"

#include "junk/junk_settings.h"

namespace brimvale::junk {

JunkClipboardWatcher::JunkClipboardWatcher(platform::Clipboard& clipboard, ScrapSink& sink,
                                           platform::Scheduler& loop, PostToLoop post,
                                           platform::UserDefaults& defaults)
    : clipboard_(clipboard),
      loop_(loop),
      post_(std::move(post)),
      defaults_(defaults),
      capture_(clipboard, sink) {}

JunkClipboardWatcher::~JunkClipboardWatcher() { stop(); }

void JunkClipboardWatcher::start() {
  if (watching_) return;
  watching_ = true;
  lastSeen_ = clipboard_.changeCount();
  std::weak_ptr<int> alive = alive_;
  const bool notified = clipboard_.setOnChange([post = post_, this, alive] {
    post([this, alive] {
      if (alive.lock()) check();
    });
  });
  if (!notified)
    tick_ = loop_.scheduleRepeating("junk.clipboard-watch", kWatchTick, kWatchTickTolerance,
                                    [this] { check(); });
}

void JunkClipboardWatcher::stop() {
  if (!watching_) return;
  watching_ = false;
  (void)clipboard_.setOnChange({});
  if (tick_) loop_.cancel(*tick_);
  tick_.reset();
}

void JunkClipboardWatcher::check() {
  if (!watching_) return;
  const std::int64_t count = clipboard_.changeCount();
  if (count == lastSeen_) return;
  lastSeen_ = count;
  capture_.capture(JunkSource::kClipboard, maxFiles());
}

CaptureOutcome JunkClipboardWatcher::captureNow() {
  lastSeen_ = clipboard_.changeCount();
  return capture_.capture(JunkSource::kHotkey, maxFiles());
}

bool JunkClipboardWatcher::copyBack(const platform::ClipboardOffer& offer) {
  const auto count = clipboard_.write(offer);
  if (!count) return false;
  lastSeen_ = *count;
  return true;
}

int JunkClipboardWatcher::maxFiles() {
  return static_cast<int>(JunkSettings(defaults_).maxFilesPerScrap());
}

}  // namespace brimvale::junk
