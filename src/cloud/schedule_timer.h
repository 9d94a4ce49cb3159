// The minute timer that starts scheduled transfers: each template whose next
// run has come is started once, however many of its slots went by while the
// computer slept or the application was not running.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cloud/schedule.h"
#include "common/base/timestamps.h"
#include "platform/scheduler.h"

namespace brimvale::cloud {

// What the timer needs to know of a transfer job that carries a schedule.
struct ScheduledTemplate {
  std::string id;
  Schedule schedule;
  std::time_t createdAt = 0;
  std::optional<std::time_t> lastScheduledRun;
};

// The slot due at `now`, counted from the later of the last scheduled run
// and the template's creation; nothing when none has come yet.
[[nodiscard]] std::optional<std::time_t> templateDue(const ScheduledTemplate& job, std::time_t now);

class ScheduleTimer {
 public:
  static constexpr std::chrono::seconds kInterval{60};
  // Starts an instance of template `id` for `slot`; the owner of the jobs
  // enqueues it and sets the template's lastScheduledRun to `slot`.
  using StartRun = std::function<void(const std::string& id, std::time_t slot)>;

  ScheduleTimer(platform::Scheduler& scheduler,
                std::function<std::vector<ScheduledTemplate>()> templates, StartRun startRun,
                WallClock clock = systemClock(),
                std::chrono::milliseconds interval = std::chrono::milliseconds(kInterval));
  ~ScheduleTimer();
  ScheduleTimer(const ScheduleTimer&) = delete;
  ScheduleTimer& operator=(const ScheduleTimer&) = delete;

  void start();
  void stop();
  // One firing: every due template started once.
  void tick();

 private:
  platform::Scheduler& scheduler_;
  std::function<std::vector<ScheduledTemplate>()> templates_;
  StartRun startRun_;
  WallClock clock_;
  std::chrono::milliseconds interval_;
  std::optional<platform::Scheduler::TimerId> timer_;
};

}  // namespace brimvale::cloud
