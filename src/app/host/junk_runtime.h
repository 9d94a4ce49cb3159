// The scrap board inside `brimvale run`: its store, the desktop's clipboard
// and hot keys, the watcher and the controller that runs them while the
// board is enabled on this machine. Settings are read again every few
// seconds, so `brimvale junk settings` takes effect without a restart.
#pragma once

#include <memory>
#include <optional>

#include "app/core/app_log.h"
#include "app/core/run_loop.h"
#include "common/state/paths.h"
#include "junk/junk_clipboard_watcher.h"
#include "junk/junk_controller.h"
#include "junk/junk_hot_keys.h"
#include "junk/junk_store.h"
#include "platform/linux/x11_clipboard.h"
#include "platform/user_defaults.h"

namespace brimvale::app {

class JunkRuntime {
 public:
  // Everything passed in must outlive the runtime.
  JunkRuntime(const StatePaths& paths, platform::UserDefaults& defaults, RunLoop& loop,
              AppLog& log);
  ~JunkRuntime();
  JunkRuntime(const JunkRuntime&) = delete;
  JunkRuntime& operator=(const JunkRuntime&) = delete;

  void start();
  void stop();

 private:
  void refresh();
  // Connects to the desktop's X display once the board is enabled; without
  // one the board still expires its scraps, and the reason is logged once.
  void connectDesktop();
  // After the session's X server ended: everything that used it goes, and
  // the next refresh tries to connect again.
  void dropDesktop();

  platform::UserDefaults& defaults_;
  RunLoop& loop_;
  AppLog& log_;
  junk::JunkStore store_;
  std::unique_ptr<platform::X11Clipboard> desktop_;
  bool desktopTried_ = false;
  std::unique_ptr<junk::JunkClipboardWatcher> watcher_;
  std::unique_ptr<junk::JunkHotKeys> hotKeys_;
  std::unique_ptr<junk::JunkController> controller_;
  std::optional<platform::Scheduler::TimerId> settingsTimer_;
};

}  // namespace brimvale::app
