// Tests only: a scheduler whose background work runs on threads and whose
// results run on the test's own thread, when the test lets them (runUntil).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/scheduler.h"

namespace brimvale::testing {

// A run loop for tests: background work on threads, results run by runUntil().
class TestLoop : public platform::Scheduler {
 public:
  TimerId scheduleRepeating(std::string, std::chrono::milliseconds, std::chrono::milliseconds,
                            std::function<void()>) override {
    return 0;
  }
  void cancel(TimerId) override {}
  void runInBackground(std::function<std::function<void()>()> work) override {
    auto q = queue_;
    std::thread([q, work] {
      auto next = work();
      if (next) q->push(std::move(next));
    }).detach();
  }
  void post(std::function<void()> task) { queue_->push(std::move(task)); }
  // Runs posted tasks until `done` holds; false after a minute.
  bool runUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      auto task = queue_->pop(giveUp);
      if (!task) return false;
      task();
    }
    return true;
  }

 private:
  struct Queue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> tasks;
    void push(std::function<void()> t) {
      std::lock_guard l(m);
      tasks.push_back(std::move(t));
      cv.notify_one();
    }
    std::function<void()> pop(std::chrono::steady_clock::time_point until) {
      std::unique_lock l(m);
      if (!cv.wait_until(l, until, [&] { return !tasks.empty(); })) return {};
      auto t = std::move(tasks.front());
      tasks.pop_front();
      return t;
    }
  };
  std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
};

}  // namespace brimvale::testing
