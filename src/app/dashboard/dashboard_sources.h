// What every dashboard route works with: the state paths, this computer's
// platform and tools, and the one-at-a-time thread a long job runs on.
#pragma once

#include <atomic>
#include <functional>
#include <istream>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "app/core/mover_session.h"
#include "common/state/paths.h"
#include "platform/app_platform.h"
#include "platform/platform.h"

namespace brimvale::app {

struct DashboardSources {
  StatePaths paths;
  platform::AppPlatform& platform;
  std::string rsyncPath;     // handed to the service
  std::string snapshotTool;  // empty: none
  platform::MountTable& mounts;
  platform::ProcessLauncher& launcher;
  std::string computerName;
};

// The context a route runs a folder-mover command in, as the command line
// would: nothing is asked, no other program is signalled, and the copies and
// their tools run through the application's launcher.
[[nodiscard]] MoverCommandContext moverContextFor(const DashboardSources& sources,
                                                  std::ostream& out, std::ostream& err,
                                                  std::istream& noAnswers);

// One long job at a time of one kind (a clean-up, a move), run on its own
// thread with what it prints turned into events.
class JobThread {
 public:
  ~JobThread();
  // False when one is still running; `work` is not started then.
  [[nodiscard]] bool start(std::function<void()> work);

 private:
  std::mutex mutex_;
  std::thread thread_;
  std::atomic<bool> running_{false};
};

}  // namespace brimvale::app
