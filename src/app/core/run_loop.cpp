#include "app/core/run_loop.h"

#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include "common/base/stop_point.h"

namespace brimvale::app {

// Shared with the worker threads, so a worker finishing after the loop is
// gone still has somewhere to post (its result is then never run).
struct RunLoop::Core {
  asio::io_context io;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> jobs;
  bool closing = false;
  std::atomic<int> stopSignal{0};
  std::atomic<int> interrupted{0};  // interrupt()'s signal: the real one stays armed
  // Installed from construction, so a signal during start-up is kept and
  // ends the first run() at once instead of killing the process mid-way.
  asio::signal_set signals{io, SIGINT, SIGTERM};
};

struct RunLoop::Timer {
  Timer(asio::io_context& io, std::chrono::milliseconds every, std::function<void()> f)
      : timer(io), interval(every), fire(std::move(f)) {}
  asio::steady_timer timer;
  std::chrono::milliseconds interval;
  std::function<void()> fire;
  bool cancelled = false;
};

RunLoop::RunLoop(unsigned workerThreads) : core_(std::make_shared<Core>()) {
  waitForSignal();
  for (unsigned i = 0; i < workerThreads; ++i) {
    std::thread([core = core_] {
      for (;;) {
        std::function<void()> job;
        {
          std::unique_lock lock(core->mutex);
          core->wake.wait(lock, [&] { return core->closing || !core->jobs.empty(); });
          if (core->closing) return;
          job = std::move(core->jobs.front());
          core->jobs.pop_front();
        }
        job();
      }
    }).detach();
  }
}

RunLoop::~RunLoop() {
  std::error_code ignored;
  core_->signals.cancel(ignored);
  for (auto& [id, timer] : timers_) timer->cancelled = true;
  {
    std::lock_guard lock(core_->mutex);
    core_->closing = true;
    core_->jobs.clear();
  }
  core_->wake.notify_all();
}

platform::Scheduler::TimerId RunLoop::scheduleRepeating(std::string,
                                                        std::chrono::milliseconds interval,
                                                        std::chrono::milliseconds,
                                                        std::function<void()> fire) {
  // Firing on time always satisfies the tolerance, so it is not needed to
  // place the deadline.
  const TimerId id = ++lastId_;
  auto timer = std::make_shared<Timer>(core_->io, interval, std::move(fire));
  // A run that quits once idle does at start what each timer would do in its time.
  timer->timer.expires_after(quitWhenIdle() ? std::chrono::milliseconds(0) : interval);
  timers_[id] = timer;
  arm(timer);
  return id;
}

void RunLoop::arm(std::shared_ptr<Timer> timer) {
  timer->timer.async_wait([this, timer](const std::error_code& ec) {
    if (ec || timer->cancelled) return;
    // The next deadline follows the previous one, not the end of the work,
    // so a slow tick does not make the timer drift.
    timer->timer.expires_at(timer->timer.expiry() + timer->interval);
    timer->fire();
    if (!timer->cancelled) arm(timer);
  });
}

void RunLoop::cancel(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->cancelled = true;
  it->second->timer.cancel();
  timers_.erase(it);
}

void RunLoop::runInBackground(std::function<std::function<void()>()> work) {
  {
    std::lock_guard lock(core_->mutex);
    if (core_->closing) return;
    core_->jobs.push_back([core = core_, work = std::move(work)] {
      if (auto then = work()) asio::post(core->io, std::move(then));
    });
  }
  core_->wake.notify_one();
}

void RunLoop::post(std::function<void()> task) { asio::post(core_->io, std::move(task)); }

void RunLoop::waitForSignal() {
  core_->signals.async_wait([core = core_.get()](const std::error_code& ec, int signal) {
    if (ec) return;
    core->stopSignal = signal;
    core->io.stop();
  });
}

int RunLoop::run() {
  if (int pending = core_->stopSignal.exchange(0)) {
    waitForSignal();
    return pending;
  }
  core_->io.restart();
  auto guard = asio::make_work_guard(core_->io);
  core_->io.run();
  // A signal stops the loop from inside the handler; listen again for the
  // next run.
  if (core_->stopSignal != 0) waitForSignal();
  if (const int signal = core_->stopSignal.exchange(0)) return signal;
  return core_->interrupted.exchange(0);
}

void RunLoop::stop() { core_->io.stop(); }

void RunLoop::interrupt(int signal) {
  asio::post(core_->io, [core = core_.get(), signal] {
    core->interrupted = signal;
    core->io.stop();
  });
}

}  // namespace brimvale::app
