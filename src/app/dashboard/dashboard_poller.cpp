#include "app/dashboard/dashboard_poller.h"

namespace brimvale::app {

StatePoller::StatePoller(const web::EventStream& events, std::chrono::milliseconds interval)
    : events_(events), interval_(interval) {}

StatePoller::~StatePoller() { stop(); }

void StatePoller::add(std::function<void()> look) { looks_.push_back(std::move(look)); }

void StatePoller::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
      if (events_.watchers() == 0) continue;
      lock.unlock();
      for (const auto& look : looks_) look();
      lock.lock();
    }
  });
}

void StatePoller::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace brimvale::app
