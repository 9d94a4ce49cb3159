#include "junk/junk_controller.h"

#include "junk/junk_settings.h"

namespace brimvale::junk {

JunkController::JunkController(platform::UserDefaults& defaults, platform::Scheduler& loop,
                               JunkClipboardWatcher* watcher, JunkHotKeys* hotKeys,
                               std::function<void()> sweep)
    : defaults_(defaults),
      loop_(loop),
      watcher_(watcher),
      hotKeys_(hotKeys),
      sweep_(std::move(sweep)) {}

JunkController::~JunkController() { stop(); }

void JunkController::refresh() {
  const JunkSettings settings(defaults_);
  if (!settings.enabledLocally()) {
    stop();
    return;
  }
  if (!sweepTimer_) {
    sweep_();
    sweepTimer_ = loop_.scheduleRepeating("junk.expiry-sweep", kSweepInterval, kSweepTolerance,
                                          [this] { sweep_(); });
  }
  if (watcher_ && settings.autoWatch())
    watcher_->start();
  else if (watcher_)
    watcher_->stop();
  if (hotKeys_) hotKeys_->apply();
}

void JunkController::stop() {
  if (watcher_) watcher_->stop();
  if (hotKeys_) hotKeys_->releaseAll();
  if (sweepTimer_) loop_.cancel(*sweepTimer_);
  sweepTimer_.reset();
}

}  // namespace brimvale::junk
