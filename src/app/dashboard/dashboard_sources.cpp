#include "app/dashboard/dashboard_sources.h"

namespace brimvale::app {

JobThread::~JobThread() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) thread_.join();
}

bool JobThread::start(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  if (running_.exchange(true)) return false;
  if (thread_.joinable()) thread_.join();
  thread_ = std::thread([this, work = std::move(work)] {
    work();
    running_ = false;
  });
  return true;
}

}  // namespace brimvale::app
