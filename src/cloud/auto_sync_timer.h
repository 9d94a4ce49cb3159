// The repeating "auto-sync.timer" of the running application: one tick of
// the auto-sync policies a minute, never two at once.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "cloud/auto_sync_manager.h"
#include "platform/scheduler.h"

namespace brimvale::cloud {

class AutoSyncTimer {
 public:
  static constexpr std::chrono::seconds kInterval{60};

  AutoSyncTimer(platform::Scheduler& scheduler, AutoSyncManager& manager,
                std::chrono::milliseconds interval = std::chrono::milliseconds(kInterval));
  ~AutoSyncTimer();
  AutoSyncTimer(const AutoSyncTimer&) = delete;
  AutoSyncTimer& operator=(const AutoSyncTimer&) = delete;

  void start();
  void stop();
  // A look at the folders has not finished queuing its files yet.
  [[nodiscard]] bool busy() const { return *inFlight_; }

 private:
  void fire();

  platform::Scheduler& scheduler_;
  AutoSyncManager& manager_;
  std::chrono::milliseconds interval_;
  std::optional<platform::Scheduler::TimerId> timer_;
  // A slow scan (many files, a busy disk) may outlast the minute; the next
  // firing then waits for it rather than queuing the same files twice.
  std::shared_ptr<bool> inFlight_ = std::make_shared<bool>(false);
};

}  // namespace brimvale::cloud
