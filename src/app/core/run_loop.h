// The application's run loop: one thread (the caller of run()) owns all
// engine state; repeating timers fire on it; slow work runs on a small pool
// of worker threads and posts its result back; SIGINT and SIGTERM stop it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "platform/scheduler.h"

namespace brimvale::app {

class RunLoop final : public platform::Scheduler {
 public:
  explicit RunLoop(unsigned workerThreads = 2);
  // Worker threads still busy are not waited for: they hold their own
  // reference to the shared queue, and whatever they post is dropped.
  ~RunLoop() override;
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  TimerId scheduleRepeating(std::string name, std::chrono::milliseconds interval,
                            std::chrono::milliseconds tolerance,
                            std::function<void()> fire) override;
  void cancel(TimerId id) override;
  void runInBackground(std::function<std::function<void()>()> work) override;

  // Queues `task` for the loop thread. Safe from any thread.
  void post(std::function<void()> task);
  // Runs until stop() or SIGINT/SIGTERM; returns the signal that stopped it
  // (0 for stop()). May be called again after it returns.
  int run();
  // Safe from any thread and from loop tasks.
  void stop();
  // Ends run() as if `signal` had arrived, so whoever runs the loop cancels
  // as for Ctrl-C. Safe from any thread.
  void interrupt(int signal);

 private:
  struct Core;
  struct Timer;
  void arm(std::shared_ptr<Timer> timer);
  void waitForSignal();

  std::shared_ptr<Core> core_;
  std::map<TimerId, std::shared_ptr<Timer>> timers_;
  TimerId lastId_ = 0;
};

}  // namespace brimvale::app
