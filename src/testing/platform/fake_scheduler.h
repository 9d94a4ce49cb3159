// A run loop for unit tests: timers are recorded and fired by hand, and
// background work runs at once on the calling thread, continuation included.
#pragma once

#include <map>
#include <string>

#include "platform/scheduler.h"

namespace brimvale::platform::testing {

class FakeScheduler final : public Scheduler {
 public:
  struct Timer {
    std::string name;
    std::chrono::milliseconds interval;
    std::chrono::milliseconds tolerance;
    std::function<void()> fire;
  };

  TimerId scheduleRepeating(std::string name, std::chrono::milliseconds interval,
                            std::chrono::milliseconds tolerance,
                            std::function<void()> fire) override {
    timers[++lastId] = Timer{std::move(name), interval, tolerance, std::move(fire)};
    return lastId;
  }
  void cancel(TimerId id) override { timers.erase(id); }
  void runInBackground(std::function<std::function<void()>()> work) override {
    ++backgroundRuns;
    if (auto then = work()) then();
  }

  std::map<TimerId, Timer> timers;  // the live ones
  TimerId lastId = 0;
  int backgroundRuns = 0;
};

}  // namespace brimvale::platform::testing
