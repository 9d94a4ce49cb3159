#include "cloud/schedule_timer.h"

#include <algorithm>

namespace brimvale::cloud {

std::optional<std::time_t> templateDue(const ScheduledTemplate& job, std::time_t now) {
  const std::time_t reference = std::max(job.createdAt, job.lastScheduledRun.value_or(0));
  return dueRun(job.schedule, reference, now);
}

ScheduleTimer::ScheduleTimer(platform::Scheduler& scheduler,
                             std::function<std::vector<ScheduledTemplate>()> templates,
                             StartRun startRun, WallClock clock, std::chrono::milliseconds interval)
    : scheduler_(scheduler),
      templates_(std::move(templates)),
      startRun_(std::move(startRun)),
      clock_(std::move(clock)),
      interval_(interval) {}

ScheduleTimer::~ScheduleTimer() { stop(); }

void ScheduleTimer::start() {
  if (timer_) return;
  timer_ = scheduler_.scheduleRepeating(
      "schedules.timer", interval_,
      std::min<std::chrono::milliseconds>(std::chrono::seconds(5), interval_ / 2),
      [this] { tick(); });
}

void ScheduleTimer::stop() {
  if (!timer_) return;
  scheduler_.cancel(*timer_);
  timer_.reset();
}

void ScheduleTimer::tick() {
  const std::time_t now = clock_();
  for (const auto& job : templates_()) {
    if (const auto slot = templateDue(job, now)) startRun_(job.id, *slot);
  }
}

}  // namespace brimvale::cloud
