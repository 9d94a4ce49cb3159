#include "app/host/junk_runtime.h"

namespace brimvale::app {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kSettingsInterval{5000};
constexpr milliseconds kSettingsTolerance{1000};

}  // namespace

JunkRuntime::JunkRuntime(const StatePaths& paths, platform::UserDefaults& defaults, RunLoop& loop,
                         AppLog& log)
    : defaults_(defaults),
      loop_(loop),
      log_(log),
      store_(paths.state, junk::JunkSettings(defaults), junk::junkSystemClock(), log.sink()) {}

JunkRuntime::~JunkRuntime() { stop(); }

void JunkRuntime::start() {
  if (auto loaded = store_.load(); !loaded)
    log_.write("The scrap board could not be read; its file is left as it is. " +
               loaded.error().message());
  refresh();
  settingsTimer_ = loop_.scheduleRepeating("junk.settings", kSettingsInterval, kSettingsTolerance,
                                           [this] { refresh(); });
}

void JunkRuntime::stop() {
  if (settingsTimer_) loop_.cancel(*settingsTimer_);
  settingsTimer_.reset();
  if (controller_) controller_->stop();
}

void JunkRuntime::refresh() {
  if (desktop_ && !desktop_->connected()) dropDesktop();
  if (junk::JunkSettings(defaults_).enabledLocally() && !desktopTried_) connectDesktop();
  if (!controller_) {
    controller_ = std::make_unique<junk::JunkController>(
        defaults_, loop_, watcher_.get(), hotKeys_.get(), [this] {
          if (auto swept = store_.sweep(junk::junkSystemClock()()); !swept)
            log_.write("The scrap board's expiry sweep failed; nothing was removed. " +
                       swept.error().message());
        });
  }
  controller_->refresh();
}

void JunkRuntime::dropDesktop() {
  log_.write(
      "The X display closed, so the scrap board stopped watching the clipboard; the scraps are "
      "safe and still expire on time. It watches again once a desktop session is back.");
  if (controller_) controller_->stop();
  controller_.reset();
  hotKeys_.reset();
  watcher_.reset();
  desktop_.reset();
  desktopTried_ = false;
}

void JunkRuntime::connectDesktop() {
  desktopTried_ = true;
  auto opened = platform::X11Clipboard::open("");
  if (!opened) {
    log_.write(
        "The scrap board cannot watch the clipboard or use hot keys: " + opened.error().message() +
        " Scraps still expire on time; start Brimvale inside your desktop session to "
        "capture copies.");
    return;
  }
  desktop_ = std::move(*opened);
  watcher_ = std::make_unique<junk::JunkClipboardWatcher>(
      *desktop_, store_, loop_, [this](std::function<void()> task) { loop_.post(std::move(task)); },
      defaults_);
  hotKeys_ = std::make_unique<junk::JunkHotKeys>(
      *desktop_, defaults_, log_.sink(),
      junk::JunkHotKeys::Handlers{
          {junk::JunkHotKeyAction::kCapture,
           [this] { loop_.post([this] { (void)watcher_->captureNow(); }); }},
          {junk::JunkHotKeyAction::kOpen,
           [this] {
             loop_.post([this] {
               const auto count = store_.items().size();
               log_.write("Open the Rade Diriv: " + std::to_string(count) +
                          (count == 1 ? " scrap" : " scraps") +
                          " on the board; `brimvale junk list` shows them.");
             });
           }},
          {junk::JunkHotKeyAction::kNewNote,
           [this] {
             loop_.post([this] { log_.write("New note: add it with `brimvale junk note`."); });
           }},
      });
  // The controller was made without the desktop; it is made again with it.
  if (controller_) controller_->stop();
  controller_.reset();
}

}  // namespace brimvale::app
