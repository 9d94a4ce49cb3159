// The application's run loop as engines see it: repeating timers that fire
// on the loop thread, and slow work handed to worker threads whose results
// come back to the loop by posting.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace brimvale::platform {

class Scheduler {
 public:
  using TimerId = std::uint64_t;
  virtual ~Scheduler() = default;

  // Fires `fire` on the loop thread every `interval`. `tolerance` is how late
  // a firing may be when that saves work; firings never come early. Returns
  // an id for cancel().
  virtual TimerId scheduleRepeating(std::string name, std::chrono::milliseconds interval,
                                    std::chrono::milliseconds tolerance,
                                    std::function<void()> fire) = 0;
  // Stops the timer; unknown or already cancelled ids are ignored.
  virtual void cancel(TimerId id) = 0;
  // Runs `work` on a worker thread; the function it returns (when not empty)
  // then runs on the loop thread. Work must not touch loop-owned state.
  // Continuations still queued when the loop stops are dropped, and work
  // still running at quit is abandoned with the process.
  virtual void runInBackground(std::function<std::function<void()>()> work) = 0;
};

}  // namespace brimvale::platform
